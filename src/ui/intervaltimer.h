#pragma once

#include <QObject>
#include <QTimer>
#ifdef Q_OS_WIN
#include "ui/wintimer.h"
#endif

// A timer control: it fires every Interval() milliseconds while Enabled()
// and the interval is above zero; an interval of 0 means no events.
// Setting the interval restarts the period, so a wait that sets it is
// ended by the first notification of a whole new period.
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    explicit IntervalTimer(QObject* parent = nullptr);

    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int Interval() const { return m_interval; }
    void setInterval(int ms);

    // Whether events are being raised now.
    bool isRunning() const { return m_timer.isActive(); }

signals:
    void Timer();

private:
    void update();

#ifdef Q_OS_WIN
    WinTimer m_timer;
#else
    QTimer m_timer;
#endif
    bool m_enabled = true;
    int m_interval = 0;
};
