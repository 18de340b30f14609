#include "platform/desktop/qteventloop.h"

#include <optional>

#include <QCoreApplication>
#include <QSocketNotifier>

QtEventLoop::QtEventLoop()
{
    m_wakeUp.setSingleShot(true);
    m_wakeUp.setTimerType(Qt::PreciseTimer);
}

void QtEventLoop::processEvents(std::chrono::milliseconds maxWait, int writable)
{
    if (maxWait <= std::chrono::milliseconds::zero()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // With events pending this handles them and returns at once; otherwise it blocks until one
    // arrives, and the timer bounds the wait. The notifier's activation is an event too.
    std::optional<QSocketNotifier> watch;
    if (writable >= 0)
        watch.emplace(qintptr(writable), QSocketNotifier::Write);
    m_wakeUp.start(maxWait);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    m_wakeUp.stop();
}
