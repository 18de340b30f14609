#pragma once
// The real event queue: handles pending events of the UI thread, or sleeps in the event loop
// until an event, the wake-up timer or the port's wake handle arrives, so a waiting upload
// costs no CPU.

#include <memory>

#include <QObject>
#include <QTimer>

#include "platform/desktop/eventloop.h"

class QtEventLoop final : public EventLoop {
public:
    QtEventLoop();

    void processEvents(std::chrono::milliseconds maxWait, qintptr wake = -1) override;
    Clock::time_point now() const override { return Clock::now(); }

private:
    QTimer m_wakeUp;
};

// An object whose activation, an event of the loop, comes when wake does: a descriptor turning
// writable (QSocketNotifier) or an event handle being signalled (QWinEventNotifier). Each
// system has its own (wakenotifier_posix.cpp, wakenotifier_windows.cpp).
std::unique_ptr<QObject> watchForWake(qintptr wake);
