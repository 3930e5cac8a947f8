#include "link/winserial.h"

namespace {

constexpr UINT kCommEvent = WM_APP + 1;

// A write of a few bytes at 9600 baud takes milliseconds; one that has not
// finished after this long never will.
constexpr DWORD kWriteTimeoutMs = 2000;

QString systemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = n ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
    if (text) LocalFree(text);
    if (s.isEmpty()) s = QStringLiteral("system error");
    return QStringLiteral("%1 (error %2)").arg(s).arg(error);
}

} // namespace

WinSerial::WinSerial(QObject* parent) : QObject(parent) {
    m_wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static const wchar_t* const className = L"OrvantWinSerial";
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &WinSerial::windowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = className;
        return RegisterClassW(&wc) != 0;
    }();
    if (registered)
        m_window = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    if (m_window) SetWindowLongPtrW(m_window, GWLP_USERDATA, LONG_PTR(this));
}

WinSerial::~WinSerial() {
    close();
    // Messages still queued for the window go with it.
    if (m_window) DestroyWindow(m_window);
    CloseHandle(m_wait.hEvent);
    CloseHandle(m_ioEvent);
}

LRESULT CALLBACK WinSerial::windowProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message == kCommEvent) {
        if (auto* self = reinterpret_cast<WinSerial*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
            self->onCommEvent();
        return 0;
    }
    return DefWindowProcW(window, message, wp, lp);
}

void CALLBACK WinSerial::onSignalled(void* self, BOOLEAN) {
    // A thread pool thread: only hand over to the GUI thread.
    PostMessageW(static_cast<WinSerial*>(self)->m_window, kCommEvent, 0, 0);
}

void WinSerial::watch() {
    if (m_watch || !m_window) return;
    RegisterWaitForSingleObject(&m_watch, m_wait.hEvent, &WinSerial::onSignalled, this, INFINITE,
                                WT_EXECUTEONLYONCE);
}

void WinSerial::unwatch() {
    if (!m_watch) return;
    // Returns once no callback runs any more.
    UnregisterWaitEx(m_watch, INVALID_HANDLE_VALUE);
    m_watch = nullptr;
}

bool WinSerial::setError(DWORD error) {
    m_error = systemText(error);
    return false;
}

bool WinSerial::open(const QString& name, const comport::LineSettings& line, bool dtr, bool rts,
                     int inBufferSize, int outBufferSize) {
    close();
    // The \\.\ form also reaches COM10 and above.
    const std::wstring path = (QStringLiteral("\\\\.\\") + name).toStdWString();
    m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) return setError(GetLastError());

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Reads return at once with what is queued; writes have no driver timeout.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetupComm(m_handle, DWORD(inBufferSize), DWORD(outBufferSize)) ||
        !GetCommState(m_handle, &dcb) || !SetCommTimeouts(m_handle, &timeouts)) {
        const DWORD error = GetLastError();
        close();
        return setError(error);
    }
    dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(m_handle, &dcb) || !setLine(line)) {
        const DWORD error = GetLastError();
        close();
        return setError(error);
    }
    PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    if (!SetCommMask(m_handle, EV_RXCHAR)) {
        const DWORD error = GetLastError();
        close();
        return setError(error);
    }
    if (!m_window) {
        close();
        return setError(ERROR_INVALID_WINDOW_HANDLE);
    }
    arm();
    return isOpen();
}

bool WinSerial::setLine(const comport::LineSettings& line) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handle, &dcb)) return setError(GetLastError());
    dcb.BaudRate = DWORD(line.baud);
    dcb.ByteSize = BYTE(line.dataBits);
    switch (line.parity) {
    case QSerialPort::EvenParity:
        dcb.Parity = EVENPARITY;
        break;
    case QSerialPort::OddParity:
        dcb.Parity = ODDPARITY;
        break;
    case QSerialPort::MarkParity:
        dcb.Parity = MARKPARITY;
        break;
    case QSerialPort::SpaceParity:
        dcb.Parity = SPACEPARITY;
        break;
    default:
        dcb.Parity = NOPARITY;
        break;
    }
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits = line.stopBits == QSerialPort::TwoStop          ? TWOSTOPBITS
                   : line.stopBits == QSerialPort::OneAndHalfStop ? ONE5STOPBITS
                                                                  : ONESTOPBIT;
    // Raw bytes both ways: no handshake, nothing dropped or replaced.
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(m_handle, &dcb)) return setError(GetLastError());
    return true;
}

void WinSerial::close() {
    if (m_handle == INVALID_HANDLE_VALUE) return;
    unwatch();
    if (m_waiting) {
        // The pending wait writes into m_wait until it is cancelled.
        CancelIoEx(m_handle, &m_wait);
        DWORD n = 0;
        GetOverlappedResult(m_handle, &m_wait, &n, TRUE);
        m_waiting = false;
    }
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    ResetEvent(m_wait.hEvent);
}

void WinSerial::arm() {
    // A wait that completes at once is handled here; one that pends ends in
    // onCommEvent() when its event is set.
    while (isOpen()) {
        m_mask = 0;
        ResetEvent(m_wait.hEvent);
        if (!WaitCommEvent(m_handle, &m_mask, &m_wait)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                m_waiting = true;
                watch();
                // Bytes that came in before the wait began do not end it.
                readQueued();
                return;
            }
            fail(error);
            return;
        }
        if (!readQueued()) return;
    }
}

void WinSerial::onCommEvent() {
    if (!isOpen() || !m_waiting) return;
    // The wait fired once; the next pending wait registers anew.
    unwatch();
    DWORD n = 0;
    if (!GetOverlappedResult(m_handle, &m_wait, &n, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            watch();
            return;
        }
        m_waiting = false;
        // Wine ends a pending wait this way when the port is written to;
        // a port that is really gone fails in readQueued() or arm() next.
        if (error != ERROR_OPERATION_ABORTED) {
            fail(error);
            return;
        }
    }
    m_waiting = false;
    if (readQueued()) arm();
}

bool WinSerial::readQueued() {
    DWORD errors = 0;
    COMSTAT status{};
    // A removed adapter fails here even when its last wait ended cleanly.
    if (!ClearCommError(m_handle, &errors, &status)) {
        fail(GetLastError());
        return false;
    }
    if (status.cbInQue == 0) return true;
    QByteArray bytes(qsizetype(status.cbInQue), '\0');
    OVERLAPPED io{};
    io.hEvent = m_ioEvent;
    DWORD got = 0;
    if (!ReadFile(m_handle, bytes.data(), status.cbInQue, &got, &io)) {
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(m_handle, &io, &got, TRUE)) {
            fail(GetLastError());
            return false;
        }
    }
    bytes.truncate(qsizetype(got));
    if (!bytes.isEmpty()) emit received(bytes);
    // A receiver may have closed the port.
    return isOpen();
}

bool WinSerial::write(const QByteArray& bytes) {
    if (!isOpen()) return false;
    OVERLAPPED io{};
    io.hEvent = m_ioEvent;
    DWORD written = 0;
    if (!WriteFile(m_handle, bytes.constData(), DWORD(bytes.size()), &written, &io)) {
        if (GetLastError() != ERROR_IO_PENDING) return setError(GetLastError());
        if (WaitForSingleObject(m_ioEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(m_handle, &io);
            GetOverlappedResult(m_handle, &io, &written, TRUE);
            return setError(ERROR_TIMEOUT);
        }
        if (!GetOverlappedResult(m_handle, &io, &written, FALSE)) return setError(GetLastError());
    }
    if (written != DWORD(bytes.size())) return setError(ERROR_WRITE_FAULT);
    return true;
}

void WinSerial::fail(DWORD error) {
    setError(error);
    emit failed(m_error);
}
