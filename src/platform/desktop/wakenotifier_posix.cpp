#include "platform/desktop/qteventloop.h"

#include <poll.h>

#include <QSocketNotifier>

bool waitForEventsOrWake(std::chrono::milliseconds, qintptr)
{
    return false;
}

std::unique_ptr<QObject> watchForWake(qintptr wake)
{
    return std::make_unique<QSocketNotifier>(wake, QSocketNotifier::Write);
}

bool sleepOutsideEvents(std::chrono::microseconds time, qintptr wake)
{
    pollfd watched{int(wake), POLLOUT, 0};
    const timespec span{time_t(time.count() / 1'000'000), long(time.count() % 1'000'000) * 1000};
    ::ppoll(&watched, wake >= 0 ? 1 : 0, &span, nullptr);
    return true;
}
