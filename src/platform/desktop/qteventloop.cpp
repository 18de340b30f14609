#include "platform/desktop/qteventloop.h"

#include <QCoreApplication>

QtEventLoop::QtEventLoop()
{
    m_wakeUp.setSingleShot(true);
    m_wakeUp.setTimerType(Qt::PreciseTimer);
}

void QtEventLoop::processEvents(std::chrono::milliseconds maxWait, qintptr wake)
{
    if (maxWait <= std::chrono::milliseconds::zero()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    waitForWindowOrWake(m_wakeUp, maxWait, wake);
}
