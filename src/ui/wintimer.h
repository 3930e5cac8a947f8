#pragma once

#include <QObject>
#include <qt_windows.h>

// A periodic timer from the GUI thread's own message queue (WM_TIMER), for
// the reply wait on Windows. QTimer's precise timers run on another thread
// and reach the GUI thread as posted events, which Wine delivers hundreds of
// milliseconds late. The same calls as QTimer, as far as IntervalTimer uses it.
class WinTimer : public QObject {
    Q_OBJECT
public:
    explicit WinTimer(QObject* parent = nullptr) : QObject(parent) {}
    ~WinTimer() override { stop(); }

    void setTimerType(Qt::TimerType) {} // always as precise as the system allows
    void start(int ms);
    void stop();
    bool isActive() const { return m_id != 0; }

signals:
    void timeout();

private:
    static void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD);

    UINT_PTR m_id = 0;
};
