#include "ui/intervaltimer.h"

IntervalTimer::IntervalTimer(QObject* parent) : QObject(parent) {
    // Coarse timers may fire up to 5 % early; a reply wait must never be short.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &decltype(m_timer)::timeout, this, &IntervalTimer::Timer);
}

void IntervalTimer::setEnabled(bool enabled) {
    m_enabled = enabled;
    update();
}

void IntervalTimer::setInterval(int ms) {
    m_interval = ms < 0 ? 0 : ms;
    update();
}

void IntervalTimer::update() {
    if (m_enabled && m_interval > 0)
        m_timer.start(m_interval);
    else
        m_timer.stop();
}
