#include "ui/intervaltimer.h"

void IntervalTimer::setEnabled(bool enabled) {
    m_enabled = enabled;
    m_periodStart = std::chrono::steady_clock::now();
    update();
}

void IntervalTimer::setInterval(int ms) {
    m_interval = ms < 0 ? 0 : ms;
    m_periodStart = std::chrono::steady_clock::now();
    update();
}
