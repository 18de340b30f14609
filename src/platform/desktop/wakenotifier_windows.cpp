#include "platform/desktop/qteventloop.h"

#include <algorithm>

#include <windows.h>

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

bool sleepOutsideEvents(std::chrono::microseconds, qintptr)
{
    return false;
}
