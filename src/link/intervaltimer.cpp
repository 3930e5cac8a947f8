#include "link/intervaltimer.h"

// The platform half, from link/unix or link/win: the build puts one of them
// on the include path.
#include "intervaltimer_p.h"

IntervalTimer::IntervalTimer(QObject* parent)
    : QObject(parent), d(std::make_unique<IntervalTimerPrivate>(this)) {}

IntervalTimer::~IntervalTimer() = default;

bool IntervalTimer::isRunning() const {
    return d->isRunning();
}

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

void IntervalTimer::update() {
    if (m_enabled && m_interval > 0)
        d->start();
    else
        d->stop();
}
