#pragma once

#include "link/comport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <qt_windows.h>
#include <vector>

// What the system writes into while an overlapped operation runs.
struct OverlappedOp {
    OverlappedOp() = default;
    OverlappedOp(const OverlappedOp&) = delete;
    OverlappedOp& operator=(const OverlappedOp&) = delete;
    ~OverlappedOp() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    OVERLAPPED ov{};
    DWORD mask = 0; // WaitCommEvent's events
    QByteArray buffer;
};

// Operations whose end nobody waits for any more. The system writes an
// operation's status (and a wait's events) into it until it has ended,
// whether it was cancelled or its handle closed, so each is freed only once
// it has ended; one still running when this goes is left to the system.
class AbandonedOps {
public:
    AbandonedOps() = default;
    AbandonedOps(const AbandonedOps&) = delete;
    AbandonedOps& operator=(const AbandonedOps&) = delete;
    // Gives the running ones a moment to end.
    ~AbandonedOps();
    // Beyond a few dozen still running, the oldest is cancelled on port and
    // left to the system.
    void keep(std::unique_ptr<OverlappedOp> op, HANDLE port);
    // Frees those that have ended.
    void reap();
    size_t size() const { return m_ops.size(); }

private:
    std::vector<std::unique_ptr<OverlappedOp>> m_ops;
};

// A Windows COM port with overlapped I/O whose completions are waited for
// through their events, never through a completion port: an overlapped
// WaitCommEvent(EV_RXCHAR) stays pending, and when it completes, whatever
// the driver has queued is read at once. The completion reaches the GUI
// thread as a message to a window of its own: Qt's cross-thread events
// (QWinEventNotifier) arrive hundreds of milliseconds late under Wine.
// Every wait has a bound, a wait after a cancel included.
class WinSerial : public QObject {
    Q_OBJECT
public:
    explicit WinSerial(QObject* parent = nullptr);
    ~WinSerial() override;

    // Opens a port by its Windows name ("COM3"), and fails unless the port
    // is also being listened to. On failure errorString() says why, in the
    // system's words, with the number of the call that failed.
    bool open(const QString& name, const comport::LineSettings& line, bool dtr, bool rts,
              int inBufferSize, int outBufferSize);
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    bool setLine(const comport::LineSettings& line);
    void close();

    // Returns once the driver has taken all the bytes, or fails within 2 s.
    bool write(const QByteArray& bytes);

    QString errorString() const { return m_error; }
    DWORD errorCode() const { return m_errorCode; } // GetLastError()'s number behind it

    // For tests: the next look at the receive queue fails with this error,
    // as it does once an adapter is pulled.
    void failNextRead(DWORD error) { m_plantedReadError = error; }

signals:
    void received(const QByteArray& bytes);
    // The port failed while open (adapter removed); it is still open.
    void failed(const QString& reason);

private:
    bool arm();
    void onCommEvent();
    bool readQueued();
    bool prepare(std::unique_ptr<OverlappedOp>& op);
    bool finish(std::unique_ptr<OverlappedOp>& op, DWORD timeoutMs, DWORD* transferred);
    bool fail(DWORD error);
    bool failOpen(DWORD error);
    bool setError(DWORD error);
    bool watch();
    void unwatch();
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wp, LPARAM lp);
    static void CALLBACK onSignalled(void* self, BOOLEAN timedOut);

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::unique_ptr<OverlappedOp> m_wait;  // the pending WaitCommEvent
    std::unique_ptr<OverlappedOp> m_ended; // the one before
    AbandonedOps m_givenUp;             // waits given up, and any cancel that did not end in time
    std::unique_ptr<OverlappedOp> m_io; // one read or write at a time
    bool m_waiting = false;
    bool m_opening = false;     // failures end the open rather than the port
    bool m_rearmPosted = false; // arm() handed its next turn to the message loop
    HWND m_window = nullptr;
    DWORD m_windowError = 0;
    HANDLE m_watch = nullptr; // the thread pool's wait on m_wait's event
    QString m_error;
    DWORD m_errorCode = 0;
    DWORD m_plantedReadError = 0;
};
