#include "ui/intervaltimer.h"

#ifdef Q_OS_LINUX
#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX

namespace {

// The kernel wakes a sleeping process a few tenths of a millisecond after its
// timer expires, more on a busy machine. The timer is armed this much early
// and the last stretch is waited out awake, so each period ends on time.
constexpr auto kLead = std::chrono::microseconds(1000);

timespec toTimespec(std::chrono::nanoseconds d) {
    return {static_cast<time_t>(d.count() / 1000000000), static_cast<long>(d.count() % 1000000000)};
}

} // namespace

IntervalTimer::IntervalTimer(QObject* parent) : QObject(parent) {
    // The monotonic clock never expires early, and a clock change cannot shorten a wait.
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0) qFatal("orvant-address: no timer: %s", strerror(errno));
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &IntervalTimer::onExpired);
}

IntervalTimer::~IntervalTimer() {
    delete m_notifier;
    if (m_fd >= 0) ::close(m_fd);
}

bool IntervalTimer::isRunning() const {
    return m_armed;
}

void IntervalTimer::update() {
    itimerspec setting{};
    m_armed = m_enabled && m_interval > 0;
    m_periods = 0;
    if (m_armed) {
        const std::chrono::nanoseconds period = std::chrono::milliseconds(m_interval);
        const auto lead = period > 2 * kLead ? std::chrono::nanoseconds(kLead) : period / 2;
        setting.it_value = toTimespec(period - lead);
        setting.it_interval = toTimespec(period);
    }
    timerfd_settime(m_fd, 0, &setting, nullptr);
}

void IntervalTimer::onExpired() {
    uint64_t expirations = 0;
    // Nothing to read: the period was restarted after the fd became ready.
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations) return;
    m_periods += expirations;
    const auto due = m_periodStart + m_periods * std::chrono::milliseconds(m_interval);
    // Never early: the rest of the lead, at most a millisecond, is spent here.
    while (std::chrono::steady_clock::now() < due) {
    }
    // Periods missed while the loop was busy make one event, as a timer's do.
    emit Timer();
}

#else

IntervalTimer::IntervalTimer(QObject* parent) : QObject(parent) {
    // Coarse timers may fire up to 5 % early; a reply wait must never be short.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &decltype(m_timer)::timeout, this, &IntervalTimer::Timer);
}

IntervalTimer::~IntervalTimer() = default;

bool IntervalTimer::isRunning() const {
    return m_timer.isActive();
}

void IntervalTimer::update() {
    if (m_enabled && m_interval > 0)
        m_timer.start(m_interval);
    else
        m_timer.stop();
}

#endif

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
