#pragma once
// The real event queue: handles pending events of the UI thread, or sleeps in the event loop
// until an event, the wake-up timer or the port's wake handle arrives, so a waiting upload
// costs no CPU.
//
// A paced upload waits once a line, a few hundred times a second, and a pass of the window
// system's event loop costs about twice a plain sleep. So where the system can sleep precisely
// outside the event loop, the window's events are handled every kEventsEvery, and the waits in
// between are plain sleeps: a click or a repaint waits at most that long.

#include <memory>

#include <QObject>
#include <QTimer>

#include "platform/desktop/eventloop.h"

class QtEventLoop final : public EventLoop {
public:
    QtEventLoop();

    void processEvents(std::chrono::milliseconds maxWait, qintptr wake = -1) override;
    Clock::time_point now() const override { return Clock::now(); }

    static constexpr std::chrono::milliseconds kEventsEvery{50};

private:
    QTimer m_wakeUp;
    Clock::time_point m_eventsAt{}; // when the window's events were last handled
};

// Each system has its own of these (wakenotifier_posix.cpp, wakenotifier_windows.cpp).
//
// Waits until the window has an event, wake (-1: none) is ready or maxWait has passed, without
// handling anything; false where the system leaves that wait to the event loop and
// watchForWake().
bool waitForEventsOrWake(std::chrono::milliseconds maxWait, qintptr wake);
// An object whose activation, an event of the loop, comes when wake does: a descriptor turning
// writable (QSocketNotifier).
std::unique_ptr<QObject> watchForWake(qintptr wake);
// Sleeps without handling events, for `time` or until wake (-1: none) is ready; false where
// the system has no sleep that precise (Windows' Sleep() lasts whole 15.6 ms ticks).
bool sleepOutsideEvents(std::chrono::microseconds time, qintptr wake);
