#pragma once

// The reply timer's Windows half: a timer of the GUI thread's message queue.
#include "link/intervaltimer.h"

#include <qt_windows.h>

class IntervalTimerPrivate {
public:
    explicit IntervalTimerPrivate(IntervalTimer* q) : q(q) {}
    ~IntervalTimerPrivate() { stop(); }

    // Times a new period of q's interval, or stops.
    void start();
    void stop();
    bool isRunning() const { return m_id != 0; }

private:
    static void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD);
    // Stops the system timer, keeping the hold on the 1 ms timer.
    void kill();
    // Ends this timer's hold on the system's 1 ms timer, if it has one.
    void release();

    IntervalTimer* q;
    UINT_PTR m_id = 0;
    bool m_precise = false; // holds timeBeginPeriod(1)
    int m_ticks = 0;        // since the period was last set
};
