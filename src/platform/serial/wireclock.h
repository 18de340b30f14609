#pragma once
// What the line itself allows: characters cannot leave faster than the baud rate. A port notes
// what it hands over, and the clock says how much of it cannot have left the wire yet; it
// stands in where a driver keeps no count (a pseudo-terminal, Wine over one) or stops counting
// before the line is done (a USB driver whose write completes with its USB transfer).

#include <algorithm>
#include <chrono>

#include "platform/serial/serialport.h"

class WireClock {
public:
    using Clock = std::chrono::steady_clock;

    // A 16550's transmit FIFO: the characters on their way that a UART's count leaves out, so
    // that the next line is there before the line falls idle.
    static constexpr qint64 kUncountedCharacters = 16;

    // Rounded up to the microsecond, so that the estimate never runs ahead of the wire.
    void start(const LineSettings &settings, Clock::time_point now)
    {
        const qint64 nanoseconds =
            qint64(settings.bitsPerCharacter()) * 1'000'000'000LL / std::max(1, settings.baudRate);
        m_characterTime = std::chrono::nanoseconds((nanoseconds + 999) / 1000 * 1000);
        m_freeAt = now;
    }

    void handedOver(qint64 characters, Clock::time_point now)
    {
        m_freeAt = std::max(m_freeAt, now) + characters * m_characterTime;
    }

    // Of what was handed over, the characters that cannot have left the wire by now.
    qint64 stillOnWire(Clock::time_point now) const
    {
        const auto ahead = m_freeAt - now;
        if (ahead <= Clock::duration::zero() || m_characterTime.count() <= 0)
            return 0;
        return (ahead + m_characterTime - std::chrono::nanoseconds(1)) / m_characterTime;
    }

    std::chrono::nanoseconds characterTime() const { return m_characterTime; }

private:
    std::chrono::nanoseconds m_characterTime{0};
    Clock::time_point m_freeAt{};
};
