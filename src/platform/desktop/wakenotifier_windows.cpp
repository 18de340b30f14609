#include "platform/desktop/qteventloop.h"

#include <QCoreApplication>

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION // synchapi.h of Windows 10, version 1803
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// The wait of Qt's dispatcher on Windows is MsgWaitForMultipleObjectsEx on the thread's message
// queue, where everything for the window arrives (Qt's posted events, timers, input, UI
// Automation's WM_GETOBJECT). This is that same wait with two handles added: a waitable timer
// for the time asked, and the port's event, signalled when a write completes. A plain timeout
// lasts whole 15.6 ms ticks, longer than a line takes on the wire; a timer created with
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10, version 1803 and later,
// "CreateWaitableTimerExW" on learn.microsoft.com) keeps to the time asked. A QWinEventNotifier
// would register a thread-pool wait for the port's handle, and one made and destroyed around every
// wait, a few hundred times a second, can be signalled from the pool just as it is destroyed.
void waitForWindowOrWake(QTimer &, std::chrono::milliseconds maxWait, qintptr wake)
{
    static const HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    HANDLE handles[2] = {};
    DWORD count = 0;
    DWORD timeout = DWORD(maxWait.count());
    LARGE_INTEGER due{};
    due.QuadPart = -qint64(maxWait.count()) * 10'000; // relative, in 100 ns
    if (timer && ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        handles[count++] = timer;
        timeout = INFINITE;
    }
    if (wake >= 0)
        handles[count++] = reinterpret_cast<HANDLE>(wake);
    // MWMO_INPUTAVAILABLE: messages already in the queue end the wait too, not only new ones.
    const DWORD woke = ::MsgWaitForMultipleObjectsEx(count, count ? handles : nullptr, timeout,
                                                     QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    // A timer that fired is spent; one still pending is stopped, each a call to the kernel (to
    // wineserver under Wine), so only where needed.
    if (count > 0 && handles[0] == timer && woke != WAIT_OBJECT_0)
        ::CancelWaitableTimer(timer);
    if (woke == WAIT_OBJECT_0 + count)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}
