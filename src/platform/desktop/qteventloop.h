#pragma once
// The real event queue: handles the pending events of the UI thread, or sleeps until the window
// has something (input, a repaint, a timer, a screen reader's question over D-Bus or UI
// Automation), the port's wake handle is ready or the time asked for has passed, in one wait,
// and then handles what came. So a waiting upload costs no CPU and answers a person or a screen
// reader at once, and it wakes for nothing else.

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

// Each system has its own (wakenotifier_posix.cpp, wakenotifier_windows.cpp): waits once until
// the window has an event, wake (-1: none) is ready or maxWait has passed, and handles the
// window's events if it has any. wakeUp is a single-shot precise timer it may use.
void waitForWindowOrWake(QTimer &wakeUp, std::chrono::milliseconds maxWait, qintptr wake);
