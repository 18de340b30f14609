#include "platform/desktop/qteventloop.h"

#include <windows.h>

#include <QWinEventNotifier>

std::unique_ptr<QObject> watchForWake(qintptr wake)
{
    return std::make_unique<QWinEventNotifier>(reinterpret_cast<HANDLE>(wake));
}

bool sleepOutsideEvents(std::chrono::microseconds, qintptr)
{
    return false;
}
