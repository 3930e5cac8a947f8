#pragma once

#include <QObject>
#include <chrono>
#include <memory>

class IntervalTimerPrivate;

// A timer control: it fires every Interval() milliseconds while Enabled()
// and the interval is above zero; an interval of 0 means no events.
// Setting the interval restarts the period, so a wait that sets it is
// ended by the first notification of a whole new period, never before the
// period is over. Each system keeps its own clock behind it
// (intervaltimer_unix.cpp, intervaltimer_win.cpp).
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
    // Starts the clock over from m_periodStart, or stops it.
    void update();

    std::unique_ptr<IntervalTimerPrivate> d;
    bool m_enabled = true;
    int m_interval = 0;
    std::chrono::steady_clock::time_point m_periodStart;
};
