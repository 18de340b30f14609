#pragma once
// An event loop on a fake clock: each pass advances the clock by the wait it was given and runs
// the test's script (drain the port, click Cancel, ...), and may run one before the time goes by
// (to act at the moment a line has been handed over). A loop that never ends fails instead
// of hanging the test.

#include <functional>
#include <stdexcept>

#include "platform/desktop/eventloop.h"

class FakeEventLoop final : public EventLoop {
public:
    void processEvents(std::chrono::milliseconds maxWait, qintptr = -1) override
    {
        if (++passes > kMaxPasses)
            throw std::runtime_error("the upload never ended");
        if (beforePass)
            beforePass();
        time += maxWait;
        if (onPass)
            onPass();
    }
    Clock::time_point now() const override { return time; }

    static constexpr int kMaxPasses = 1'000'000;
    std::function<void()> onPass;
    std::function<void()> beforePass; // before the pass's time goes by
    Clock::time_point time{};
    int passes = 0;
};
