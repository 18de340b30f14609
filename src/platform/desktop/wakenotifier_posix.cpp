#include "platform/desktop/qteventloop.h"

#include <optional>

#include <QCoreApplication>
#include <QSocketNotifier>

// Qt's own dispatcher waits: it polls the window system's connection, its wake-up descriptor
// (posted events, among them the D-Bus thread's calls from a screen reader), its timers and the
// notifiers together. With events pending it handles them and returns at once; otherwise it
// blocks until one arrives, and the timer bounds the wait. The notifier's activation, when the
// port's descriptor turns writable, is an event too.
void waitForWindowOrWake(QTimer &wakeUp, std::chrono::milliseconds maxWait, qintptr wake)
{
    std::optional<QSocketNotifier> watch;
    if (wake >= 0)
        watch.emplace(wake, QSocketNotifier::Write);
    wakeUp.start(maxWait);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wakeUp.stop();
}
