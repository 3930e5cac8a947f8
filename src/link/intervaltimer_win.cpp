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
    kill();
    const int ms = q->Interval();
    // Without a 1 ms system timer, WM_TIMER comes up to a 15.6 ms tick late.
    // The system-wide 1 ms timer costs a laptop's battery: it is held while
    // waits follow each other, and given back once a whole period has passed
    // with no new one set.
    if (!m_precise) timeBeginPeriod(1);
    m_precise = true;
    m_ticks = 0;
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
    kill();
    release();
}

void IntervalTimerPrivate::kill() {
    if (!m_id) return;
    // Also drops a WM_TIMER of this timer that is still queued.
    KillTimer(nullptr, m_id);
    running().remove(m_id);
    m_id = 0;
}

void CALLBACK IntervalTimerPrivate::onTimer(HWND, UINT, UINT_PTR id, DWORD) {
    if (IntervalTimerPrivate* timer = running().value(id)) {
        if (++timer->m_ticks >= 2) timer->release();
        emit timer->q->Timer();
    }
}
