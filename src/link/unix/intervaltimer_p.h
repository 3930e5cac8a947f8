#pragma once

// The reply timer's Linux half: a timerfd on the steady clock.
#include "link/intervaltimer.h"

#include <QtGlobal>
#include <array>
#include <chrono>
#include <cstddef>

class QSocketNotifier;

class IntervalTimerPrivate {
public:
    explicit IntervalTimerPrivate(IntervalTimer* q);
    ~IntervalTimerPrivate();

    // Times a new period from q's period start, or stops.
    void start();
    void stop();
    bool isRunning() const { return m_armed; }

private:
    using Clock = std::chrono::steady_clock;
    using nanoseconds = std::chrono::nanoseconds;

    void arm(Clock::time_point at, nanoseconds period);
    void onExpired();
    void learn(nanoseconds late);
    nanoseconds lead() const;

    IntervalTimer* q;
    bool m_armed = false;
    // On CLOCK_MONOTONIC, steady_clock's own: it never expires early, and a
    // change of the wall clock cannot shorten a wait.
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    Clock::time_point m_due;   // the end of the period being timed
    Clock::time_point m_alarm; // the timerfd's next expiry
    bool m_first = false;      // the first period after a set: a wait is on it
    quint64 m_generation = 0;  // tells a stretch awake that the timer was set again
    // How late the kernel woke us past recent expiries, waits or not.
    std::array<nanoseconds, 16> m_late{};
    size_t m_lateCount = 0;
};
