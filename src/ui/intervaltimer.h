#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#if defined(Q_OS_LINUX)
class QSocketNotifier;
#elif defined(Q_OS_WIN)
#include "ui/wintimer.h"
#else
#include <QTimer>
#endif

// A timer control: it fires every Interval() milliseconds while Enabled()
// and the interval is above zero; an interval of 0 means no events.
// Setting the interval restarts the period, so a wait that sets it is
// ended by the first notification of a whole new period.
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    explicit IntervalTimer(QObject* parent = nullptr);
    ~IntervalTimer() override;

    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int Interval() const { return m_interval; }
    void setInterval(int ms);

    // Whether events are being raised now.
    bool isRunning() const;

    // When the running period began, on the steady clock; the benchmarks
    // measure against it how late each wait ends.
    std::chrono::steady_clock::time_point periodStart() const { return m_periodStart; }

signals:
    void Timer();

private:
    void update();

#ifdef Q_OS_LINUX
    // Qt rounds its timers to whole milliseconds and wakes up to a couple of
    // them late; a timerfd wakes the event loop within microseconds.
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    bool m_armed = false;
    uint64_t m_periods = 0; // expirations since the timer was last set
    void onExpired();
#elif defined(Q_OS_WIN)
    WinTimer m_timer;
#else
    QTimer m_timer;
#endif
    bool m_enabled = true;
    int m_interval = 0;
    std::chrono::steady_clock::time_point m_periodStart;
};
