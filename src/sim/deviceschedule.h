#pragma once
// When a simulated device holds data off and when it is unplugged, in times from the most
// recent open() of its port; what both simulated drivers play their line by.

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

class DeviceSchedule {
public:
    using Clock = std::chrono::steady_clock;

    void holdOff(Clock::duration from, Clock::duration until)
    {
        m_holdOffs.push_back({from, until});
    }
    void unplugAt(Clock::duration at) { m_unplugAt = at; }
    void opened(Clock::time_point at) { m_openedAt = at; }

    bool heldAt(Clock::time_point t) const
    {
        return std::any_of(m_holdOffs.begin(), m_holdOffs.end(), [&](const Window &w) {
            return t >= m_openedAt + w.from && t < m_openedAt + w.until;
        });
    }
    std::optional<Clock::time_point> unplugTime() const
    {
        if (!m_unplugAt)
            return std::nullopt;
        return m_openedAt + *m_unplugAt;
    }
    // Every instant in (after, upTo] at which the device changes, then upTo, in order.
    std::vector<Clock::time_point> changes(Clock::time_point after, Clock::time_point upTo) const
    {
        std::vector<Clock::time_point> at{upTo};
        for (const Window &w : m_holdOffs)
            for (const Clock::duration edge : {w.from, w.until})
                at.push_back(m_openedAt + edge);
        if (const auto unplug = unplugTime())
            at.push_back(*unplug);
        std::sort(at.begin(), at.end());
        std::erase_if(at, [&](Clock::time_point t) { return t <= after || t > upTo; });
        at.erase(std::unique(at.begin(), at.end()), at.end());
        return at;
    }

private:
    struct Window {
        Clock::duration from;
        Clock::duration until;
    };
    std::vector<Window> m_holdOffs;
    std::optional<Clock::duration> m_unplugAt;
    Clock::time_point m_openedAt{};
};
