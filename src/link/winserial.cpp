#include "link/winserial.h"

#include <algorithm>
#include <utility>

namespace {

constexpr UINT kCommEvent = WM_APP + 1;
constexpr UINT kRearm = WM_APP + 2;
constexpr UINT_PTR kRetryTimer = 1;

// A write of a few bytes at 9600 baud takes milliseconds; one that has not
// finished after this long never will. The cancel's grace counts towards it.
constexpr DWORD kWriteTimeoutMs = 2000;
// Reads take only what is already queued, so they end at once.
constexpr DWORD kReadTimeoutMs = 200;
// How long a cancelled operation gets to end before its memory is given up.
constexpr DWORD kCancelWaitMs = 200;
// Waits that complete at once, handled in one go before the message loop
// gets a turn.
constexpr int kImmediateTurns = 8;
// Wine cancels a pending wait as soon as it looks at a device whose modem
// lines it cannot read (a pseudo-terminal), every few milliseconds. Set up
// again at once, such waits kept the GUI thread busy for up to half of every
// reply wait, and the reply timer's message came late. After a cancel the
// next wait is set up this much later; what came in meanwhile is read then.
constexpr UINT kRetryAfterCancelMs = 20;
// Abandoned operations still running that are kept, not left to the system.
constexpr size_t kAbandonedKept = 32;

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

AbandonedOps::~AbandonedOps() {
    // By the clock: without the 1 ms system timer a Sleep(1) takes a whole tick.
    const ULONGLONG until = GetTickCount64() + kCancelWaitMs;
    for (reap(); !m_ops.empty() && GetTickCount64() < until; reap()) Sleep(1);
    for (auto& op : m_ops) static_cast<void>(op.release()); // the system may still write into it
}

void AbandonedOps::keep(std::unique_ptr<OverlappedOp> op, HANDLE port) {
    m_ops.push_back(std::move(op));
    reap();
    if (m_ops.size() <= kAbandonedKept) return;
    // Long given up: Wine can leave a wait so for good.
    CancelIoEx(port, &m_ops.front()->ov);
    if (!HasOverlappedIoCompleted(&m_ops.front()->ov)) static_cast<void>(m_ops.front().release());
    m_ops.erase(m_ops.begin());
}

void AbandonedOps::reap() {
    m_ops.erase(std::remove_if(m_ops.begin(), m_ops.end(),
                               [](const auto& op) { return HasOverlappedIoCompleted(&op->ov); }),
                m_ops.end());
}

WinSerial::WinSerial(QObject* parent) : QObject(parent) {
    static const wchar_t* const className = L"OrvantWinSerial";
    static const DWORD classError = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &WinSerial::windowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = className;
        return RegisterClassW(&wc) ? DWORD(0) : GetLastError();
    }();
    m_windowError = classError;
    if (!classError) {
        m_window = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
        if (!m_window) m_windowError = GetLastError();
    }
    if (m_window)
        SetWindowLongPtrW(m_window, GWLP_USERDATA, LONG_PTR(this));
    else if (!m_windowError)
        m_windowError = ERROR_INVALID_WINDOW_HANDLE;
}

WinSerial::~WinSerial() {
    close();
    // Messages still queued for the window go with it.
    if (m_window) DestroyWindow(m_window);
}

LRESULT CALLBACK WinSerial::windowProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    const bool retry = message == WM_TIMER && wp == kRetryTimer;
    if (message != kCommEvent && message != kRearm && !retry)
        return DefWindowProcW(window, message, wp, lp);
    auto* self = reinterpret_cast<WinSerial*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return 0;
    if (retry) KillTimer(window, kRetryTimer);
    if (message == kCommEvent)
        self->onCommEvent();
    else if (retry && self->isOpen() && !self->m_waiting)
        static_cast<void>(self->readQueued() && self->isOpen() && self->arm());
    else if (std::exchange(self->m_rearmPosted, false) && self->isOpen() && !self->m_waiting)
        self->arm();
    return 0;
}

void CALLBACK WinSerial::onSignalled(void* self, BOOLEAN) {
    // A thread pool thread: only hand over to the GUI thread.
    PostMessageW(static_cast<WinSerial*>(self)->m_window, kCommEvent, 0, 0);
}

bool WinSerial::watch() {
    if (m_watch) return true;
    if (!RegisterWaitForSingleObject(&m_watch, m_wait->ov.hEvent, &WinSerial::onSignalled, this,
                                     INFINITE, WT_EXECUTEONLYONCE)) {
        const DWORD error = GetLastError();
        m_watch = nullptr;
        return fail(error);
    }
    return true;
}

void WinSerial::unwatch() {
    if (!m_watch) return;
    // Returns once no callback runs any more; the callback only posts.
    UnregisterWaitEx(m_watch, INVALID_HANDLE_VALUE);
    m_watch = nullptr;
}

bool WinSerial::setError(DWORD error) {
    m_errorCode = error;
    m_error = systemText(error);
    return false;
}

bool WinSerial::failOpen(DWORD error) {
    close();
    return setError(error);
}

bool WinSerial::prepare(std::unique_ptr<OverlappedOp>& op) {
    if (!op) {
        auto made = std::make_unique<OverlappedOp>();
        made->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!made->ov.hEvent) return setError(GetLastError());
        op = std::move(made);
    }
    const HANDLE event = op->ov.hEvent;
    op->ov = OVERLAPPED{};
    op->ov.hEvent = event;
    return true;
}

bool WinSerial::finish(std::unique_ptr<OverlappedOp>& op, DWORD timeoutMs, DWORD* transferred) {
    if (WaitForSingleObject(op->ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(m_handle, &op->ov);
        WaitForSingleObject(op->ov.hEvent, kCancelWaitMs);
        m_givenUp.keep(std::move(op), m_handle); // freed at once if the cancel ended it
        return setError(ERROR_TIMEOUT);
    }
    if (!GetOverlappedResult(m_handle, &op->ov, transferred, FALSE))
        return setError(GetLastError());
    return true;
}

bool WinSerial::open(const QString& name, const comport::LineSettings& line, bool dtr, bool rts,
                     int inBufferSize, int outBufferSize) {
    close();
    if (!m_window) return setError(m_windowError);
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
        !GetCommState(m_handle, &dcb) || !SetCommTimeouts(m_handle, &timeouts))
        return failOpen(GetLastError());
    dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(m_handle, &dcb)) return failOpen(GetLastError());
    if (!setLine(line)) return failOpen(m_errorCode);
    PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    if (!SetCommMask(m_handle, EV_RXCHAR)) return failOpen(GetLastError());
    // A port that cannot be listened to is no use: its failures fail the open.
    m_opening = true;
    const bool armed = arm();
    m_opening = false;
    if (!armed) return failOpen(m_errorCode);
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
    m_rearmPosted = false;
    if (m_window) KillTimer(m_window, kRetryTimer);
    if (m_handle == INVALID_HANDLE_VALUE) return;
    unwatch();
    if (m_waiting) {
        CancelIoEx(m_handle, &m_wait->ov);
        WaitForSingleObject(m_wait->ov.hEvent, kCancelWaitMs);
        m_givenUp.keep(std::move(m_wait), m_handle);
        m_waiting = false;
    }
    // Closing the handle cancels the given-up waits; each is freed once it
    // has ended, the last ones when this object goes.
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_wait.reset();
    m_ended.reset();
    m_givenUp.reap();
}

bool WinSerial::arm() {
    // A wait that completes at once is handled here, one that pends ends in
    // onCommEvent(). A driver that keeps completing at once gets its next
    // turns from the message loop, so that input and timers come between.
    for (int turn = 0; turn < kImmediateTurns; ++turn) {
        if (!isOpen()) return true;
        // A fresh event for every wait, the last one's kept open: Wine may
        // set a wait's event after its end was seen, which must not look
        // like the end of the next wait.
        m_ended = std::move(m_wait);
        if (!prepare(m_wait)) return fail(m_errorCode);
        if (!WaitCommEvent(m_handle, &m_wait->mask, &m_wait->ov)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return fail(error);
            m_waiting = true;
            // Bytes that came in before the wait began do not end it.
            return watch() && readQueued();
        }
        if (!readQueued()) return false;
    }
    if (!PostMessageW(m_window, kRearm, 0, 0)) return fail(GetLastError());
    m_rearmPosted = true;
    return true;
}

void WinSerial::onCommEvent() {
    if (!isOpen() || !m_waiting) return;
    // The wait fired once; the next pending wait registers anew.
    unwatch();
    DWORD n = 0;
    if (!GetOverlappedResult(m_handle, &m_wait->ov, &n, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            // Its event is set, yet the wait has not ended: under load Wine
            // can leave a wait so for good, and watching it again would spin.
            // It is given up, and kept until it ends.
            m_givenUp.keep(std::move(m_wait), m_handle);
            m_waiting = false;
            if (readQueued() && isOpen()) arm();
            return;
        }
        m_waiting = false;
        if (error != ERROR_OPERATION_ABORTED) {
            fail(error);
            return;
        }
        // Wine cancels waits by itself (see kRetryAfterCancelMs); what came
        // before the cancel is read now, and a port that is really gone
        // fails here or in arm() next.
        if (!readQueued()) return;
        if (!SetTimer(m_window, kRetryTimer, kRetryAfterCancelMs, nullptr)) fail(GetLastError());
        return;
    }
    m_waiting = false;
    if (readQueued() && isOpen()) arm();
}

bool WinSerial::readQueued() {
    DWORD errors = 0;
    COMSTAT status{};
    // A removed adapter fails here even when its last wait ended cleanly.
    if (!ClearCommError(m_handle, &errors, &status)) return fail(GetLastError());
    if (const DWORD planted = std::exchange(m_plantedReadError, 0)) return fail(planted);
    if (status.cbInQue == 0) return true;
    if (!prepare(m_io)) return fail(m_errorCode);
    m_io->buffer = QByteArray(qsizetype(status.cbInQue), '\0');
    DWORD got = 0;
    if (!ReadFile(m_handle, m_io->buffer.data(), status.cbInQue, &got, &m_io->ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return fail(error);
        if (!finish(m_io, kReadTimeoutMs, &got)) return fail(m_errorCode);
    }
    const QByteArray bytes = m_io->buffer.left(qsizetype(got));
    if (!bytes.isEmpty()) emit received(bytes);
    return true;
}

bool WinSerial::write(const QByteArray& bytes) {
    if (!isOpen() || !prepare(m_io)) return false;
    // Held by the operation, which the driver reads from until it ends.
    m_io->buffer = bytes;
    DWORD written = 0;
    if (!WriteFile(m_handle, m_io->buffer.constData(), DWORD(bytes.size()), &written, &m_io->ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return setError(error);
        if (!finish(m_io, kWriteTimeoutMs - kCancelWaitMs, &written)) return false;
    }
    if (written != DWORD(bytes.size())) return setError(ERROR_WRITE_FAULT);
    return true;
}

bool WinSerial::fail(DWORD error) {
    setError(error);
    // During the open a failure is the open's, not a lost port.
    if (!m_opening) emit failed(m_error);
    return false;
}
