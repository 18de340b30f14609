#include "platform/desktop/qteventloop.h"

#include <QCoreApplication>

QtEventLoop::QtEventLoop()
{
    m_wakeUp.setSingleShot(true);
    m_wakeUp.setTimerType(Qt::PreciseTimer);
}

void QtEventLoop::processEvents(std::chrono::milliseconds maxWait, qintptr wake)
{
    const auto start = now();
    if (maxWait <= std::chrono::milliseconds::zero()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        m_eventsAt = start;
        return;
    }
    if (const auto eventsDue = m_eventsAt + kEventsEvery; start < eventsDue) {
        const auto sleep = std::chrono::duration_cast<std::chrono::microseconds>(
            std::min<Clock::duration>(maxWait, eventsDue - start));
        if (sleepOutsideEvents(sleep, wake))
            return;
    }
    if (waitForEventsOrWake(maxWait, wake)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        m_eventsAt = now();
        return;
    }
    // With events pending this handles them and returns at once; otherwise it blocks until one
    // arrives, and the timer bounds the wait. The notifier's activation is an event too.
    const std::unique_ptr<QObject> watch = wake >= 0 ? watchForWake(wake) : nullptr;
    m_wakeUp.start(maxWait);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    m_wakeUp.stop();
    m_eventsAt = now();
}
