#include "platform/desktop/qteventloop.h"

#include <QSocketNotifier>

std::unique_ptr<QObject> watchForWake(qintptr wake)
{
    return std::make_unique<QSocketNotifier>(wake, QSocketNotifier::Write);
}
