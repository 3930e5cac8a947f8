// The reply timer on Linux: a timerfd, which wakes the event loop within
// microseconds of its expiry (Qt rounds its timers to whole milliseconds
// and wakes up to a couple of them late).
#include "intervaltimer_p.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

// The kernel wakes a sleeping process some tens of microseconds after its
// timer expires, milliseconds on a busy machine. A period that a wait is on
// is therefore armed early by a lead learned from recent wake-ups, and the
// loop stays awake, reading the port, from there to the deadline. The lead
// is never longer than this, so a loaded machine costs little CPU.
constexpr nanoseconds kMaxLead = microseconds(1000);
// Until wake-ups have been seen.
constexpr nanoseconds kFirstLead = microseconds(250);

timespec toTimespec(nanoseconds d) {
    return {static_cast<time_t>(d.count() / 1000000000), static_cast<long>(d.count() % 1000000000)};
}

} // namespace

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

void IntervalTimerPrivate::arm(Clock::time_point at, nanoseconds period) {
    itimerspec setting{};
    setting.it_value = toTimespec(at.time_since_epoch());
    setting.it_interval = toTimespec(period);
    // An absolute expiry: the time spent getting here does not lengthen the period.
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &setting, nullptr);
    m_alarm = at;
}

void IntervalTimerPrivate::start() {
    ++m_generation;
    const nanoseconds period = std::chrono::milliseconds(q->Interval());
    m_due = q->periodStart() + period;
    m_first = true;
    m_armed = true;
    arm(m_due - std::min(lead(), period / 2), period);
}

void IntervalTimerPrivate::stop() {
    ++m_generation;
    m_armed = false;
    const itimerspec off{};
    timerfd_settime(m_fd, 0, &off, nullptr);
}

void IntervalTimerPrivate::onExpired() {
    uint64_t expirations = 0;
    // Nothing to read: the timer was set again after the fd became ready.
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations) return;
    const nanoseconds period = std::chrono::milliseconds(q->Interval());
    // The kernel woke us this late past the last expiry.
    m_alarm += (expirations - 1) * period;
    learn(Clock::now() - m_alarm);
    m_alarm += period;
    if (m_first) {
        m_first = false;
        // No wait is on the periods after the first: they sleep to their end.
        m_due += (expirations - 1) * period;
        arm(m_due + period, period);
        // Awake up to the deadline, the loop reads the port as bytes come;
        // one more pass after it reads what came in its last instant, so the
        // reply is judged with every byte that arrived in time. A stretch
        // spent asleep or spinning would leave those for the next attempt.
        const QPointer<IntervalTimer> alive(q);
        const quint64 generation = m_generation;
        while (Clock::now() < m_due) {
            QCoreApplication::processEvents();
            if (!alive || generation != m_generation) return;
        }
        QCoreApplication::processEvents();
        if (!alive || generation != m_generation) return;
    } else {
        m_due += expirations * period;
    }
    // Periods missed while the loop was busy make one event, as a timer's do.
    emit q->Timer();
}

void IntervalTimerPrivate::learn(nanoseconds late) {
    m_late[m_lateCount++ % m_late.size()] = std::max(late, nanoseconds(0));
}

// Three recent wake-ups in four came within it.
nanoseconds IntervalTimerPrivate::lead() const {
    const size_t n = std::min(m_lateCount, m_late.size());
    if (n == 0) return kFirstLead;
    std::array<nanoseconds, 16> sorted = m_late;
    std::sort(sorted.begin(), sorted.begin() + n);
    return std::min(sorted[n * 3 / 4], kMaxLead);
}
