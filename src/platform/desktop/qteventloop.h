#pragma once
// The real event queue: handles pending events of the UI thread, or sleeps in the event loop
// until an event, the wake-up timer or a descriptor turning writable arrives, so a waiting
// upload costs no CPU.

#include <QTimer>

#include "platform/desktop/eventloop.h"

class QtEventLoop final : public EventLoop {
public:
    QtEventLoop();

    void processEvents(std::chrono::milliseconds maxWait, int writable = -1) override;
    Clock::time_point now() const override { return Clock::now(); }

private:
    QTimer m_wakeUp;
};
