#include "platform/desktop/qteventloop.h"

#include <algorithm>

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION // synchapi.h of Windows 10, version 1803
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// One wait for the window's messages (Qt's posted events, timers and input all arrive as
// messages) and the port's event handle together, on this thread. A QWinEventNotifier would
// register a thread-pool wait for the handle, and one made and destroyed around every wait, a
// few hundred times a second, can be signalled from the pool just as it is destroyed.
bool waitForEventsOrWake(std::chrono::milliseconds maxWait, qintptr wake)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(wake);
    ::MsgWaitForMultipleObjectsEx(wake >= 0 ? 1 : 0, wake >= 0 ? &handle : nullptr,
                                  DWORD(std::max<qint64>(0, maxWait.count())), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
    return true;
}

std::unique_ptr<QObject> watchForWake(qintptr)
{
    return nullptr; // waitForEventsOrWake() waits for the handle itself
}

// A plain Sleep() lasts whole 15.6 ms ticks, longer than a line takes on the wire; a waitable
// timer created with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10, version 1803 and later)
// keeps to the time asked. Without one the event loop's own wait is used.
bool sleepOutsideEvents(std::chrono::microseconds time, qintptr wake)
{
    static const HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!timer)
        return false;
    LARGE_INTEGER due{};
    due.QuadPart = -qint64(time.count()) * 10; // relative, in 100 ns
    if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        return false;
    const HANDLE handles[2] = {timer, reinterpret_cast<HANDLE>(wake)};
    ::WaitForMultipleObjects(wake >= 0 ? 2 : 1, handles, FALSE, INFINITE);
    return true;
}
