// The reply timer on Windows: a periodic timer from the GUI thread's own
// message queue (WM_TIMER). QTimer's precise timers run on another thread
// and reach the GUI thread as posted events, which Wine delivers hundreds of
// milliseconds late.
#include "intervaltimer_p.h"

#include <QHash>
#include <qt_windows.h>
#include <timeapi.h>
#include <utility>

namespace {

// Timer ids handed out by Windows, to the timers they belong to (GUI thread only).
QHash<UINT_PTR, IntervalTimerPrivate*>& running() {
    static QHash<UINT_PTR, IntervalTimerPrivate*> timers;
    return timers;
}

} // namespace

void IntervalTimerPrivate::start() {
    stop();
    const int ms = q->Interval();
    // Without a 1 ms system timer, WM_TIMER comes up to a 15.6 ms tick late.
    // Only the period just set ends a wait, and the system-wide 1 ms timer
    // costs a laptop's battery: it is held until that period has ended.
    timeBeginPeriod(1);
    m_precise = true;
    m_id = SetCoalescableTimer(nullptr, 0, UINT(ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms),
                               &IntervalTimerPrivate::onTimer, TIMERV_NO_COALESCING);
    if (m_id)
        running().insert(m_id, this);
    else
        release();
}

void IntervalTimerPrivate::release() {
    if (std::exchange(m_precise, false)) timeEndPeriod(1);
}

void IntervalTimerPrivate::stop() {
    if (!m_id) return;
    // Also drops a WM_TIMER of this timer that is still queued.
    KillTimer(nullptr, m_id);
    running().remove(m_id);
    m_id = 0;
    release();
}

void CALLBACK IntervalTimerPrivate::onTimer(HWND, UINT, UINT_PTR id, DWORD) {
    if (IntervalTimerPrivate* timer = running().value(id)) {
        timer->release();
        emit timer->q->Timer();
    }
}
