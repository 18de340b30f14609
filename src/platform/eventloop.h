#pragma once
// The window's event queue as the upload sees it: a way to handle pending events from inside a
// long action, and the clock that paces it.

#include <chrono>

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~EventLoop() = default;

    // Handles the pending window events. When none are pending, waits up to maxWait for one.
    virtual void processEvents(std::chrono::milliseconds maxWait) = 0;
    virtual Clock::time_point now() const = 0;
};
