#pragma once

#include "link/comport.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <qt_windows.h>

// A Windows COM port with overlapped I/O whose completions are waited for
// through their events, never through a completion port: an overlapped
// WaitCommEvent(EV_RXCHAR) stays pending, and when it completes, whatever
// the driver has queued is read at once. The completion reaches the GUI
// thread as a message to a window of its own: Qt's cross-thread events
// (QWinEventNotifier) arrive hundreds of milliseconds late under Wine.
class WinSerial : public QObject {
    Q_OBJECT
public:
    explicit WinSerial(QObject* parent = nullptr);
    ~WinSerial() override;

    // Opens a port by its Windows name ("COM3"). On failure errorString()
    // says why, in the system's words.
    bool open(const QString& name, const comport::LineSettings& line, bool dtr, bool rts,
              int inBufferSize, int outBufferSize);
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    bool setLine(const comport::LineSettings& line);
    void close();

    // Returns once the driver has taken all the bytes.
    bool write(const QByteArray& bytes);

    QString errorString() const { return m_error; }

signals:
    void received(const QByteArray& bytes);
    // The port failed while open (adapter removed); it is still open.
    void failed(const QString& reason);

private:
    void arm();
    void onCommEvent();
    bool readQueued();
    void fail(DWORD error);
    bool setError(DWORD error);
    void watch();
    void unwatch();
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wp, LPARAM lp);
    static void CALLBACK onSignalled(void* self, BOOLEAN timedOut);

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    HANDLE m_ioEvent = nullptr;
    OVERLAPPED m_wait{};
    DWORD m_mask = 0;
    bool m_waiting = false;
    HWND m_window = nullptr;
    HANDLE m_watch = nullptr; // the thread pool's wait on m_wait.hEvent
    QString m_error;
};
