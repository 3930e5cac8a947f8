#include "ui/wintimer.h"

#include <QHash>
#include <timeapi.h>

namespace {

// Timer ids handed out by Windows, to the timers they belong to (GUI thread only).
QHash<UINT_PTR, WinTimer*>& running() {
    static QHash<UINT_PTR, WinTimer*> timers;
    return timers;
}

} // namespace

void WinTimer::start(int ms) {
    stop();
    // Without a 1 ms system timer, WM_TIMER comes up to a 15.6 ms tick late.
    timeBeginPeriod(1);
    m_id = SetCoalescableTimer(nullptr, 0, UINT(ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms),
                               &WinTimer::onTimer, TIMERV_NO_COALESCING);
    if (m_id)
        running().insert(m_id, this);
    else
        timeEndPeriod(1);
}

void WinTimer::stop() {
    if (!m_id) return;
    // Also drops a WM_TIMER of this timer that is still queued.
    KillTimer(nullptr, m_id);
    running().remove(m_id);
    m_id = 0;
    timeEndPeriod(1);
}

void CALLBACK WinTimer::onTimer(HWND, UINT, UINT_PTR id, DWORD) {
    if (WinTimer* timer = running().value(id)) emit timer->timeout();
}
