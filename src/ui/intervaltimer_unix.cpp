// The reply timer on Linux: a timerfd, which wakes the event loop within
// microseconds of its expiry (Qt rounds its timers to whole milliseconds
// and wakes up to a couple of them late).
#include "ui/intervaltimer.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// The kernel wakes a sleeping process a few tenths of a millisecond after its
// timer expires, more on a busy machine. The timer is armed this much early
// and the last stretch is waited out awake, so each period ends on time.
constexpr auto kLead = std::chrono::microseconds(1000);

timespec toTimespec(std::chrono::nanoseconds d) {
    return {static_cast<time_t>(d.count() / 1000000000), static_cast<long>(d.count() % 1000000000)};
}

} // namespace

class IntervalTimerPrivate {
public:
    explicit IntervalTimerPrivate(IntervalTimer* q);
    ~IntervalTimerPrivate();

    void update();
    bool armed = false;

private:
    void onExpired();

    IntervalTimer* q;
    // The monotonic clock never expires early, and a clock change cannot shorten a wait.
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    uint64_t m_periods = 0; // expirations since the timer was last set
};

IntervalTimerPrivate::IntervalTimerPrivate(IntervalTimer* q) : q(q) {
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0) qFatal("orvant-address: no timer: %s", strerror(errno));
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier, &QSocketNotifier::activated, q, [this] { onExpired(); });
}

IntervalTimerPrivate::~IntervalTimerPrivate() {
    delete m_notifier;
    if (m_fd >= 0) ::close(m_fd);
}

void IntervalTimerPrivate::update() {
    itimerspec setting{};
    armed = q->m_enabled && q->m_interval > 0;
    m_periods = 0;
    if (armed) {
        const std::chrono::nanoseconds period = std::chrono::milliseconds(q->m_interval);
        const auto lead = period > 2 * kLead ? std::chrono::nanoseconds(kLead) : period / 2;
        setting.it_value = toTimespec(period - lead);
        setting.it_interval = toTimespec(period);
    }
    timerfd_settime(m_fd, 0, &setting, nullptr);
}

void IntervalTimerPrivate::onExpired() {
    uint64_t expirations = 0;
    // Nothing to read: the period was restarted after the fd became ready.
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations) return;
    m_periods += expirations;
    const auto due = q->m_periodStart + m_periods * std::chrono::milliseconds(q->m_interval);
    // Never early: the rest of the lead, at most a millisecond, is spent here.
    while (std::chrono::steady_clock::now() < due) {
    }
    // Periods missed while the loop was busy make one event, as a timer's do.
    emit q->Timer();
}

IntervalTimer::IntervalTimer(QObject* parent)
    : QObject(parent), d(std::make_unique<IntervalTimerPrivate>(this)) {}

IntervalTimer::~IntervalTimer() = default;

bool IntervalTimer::isRunning() const {
    return d->armed;
}

void IntervalTimer::update() {
    d->update();
}
