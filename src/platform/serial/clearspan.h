#pragma once
// How long a device's CTS has been on without a break, as a port sees it from one look to the
// next. A USB serial adapter's chip sends whenever CTS is on, so once CTS has been seen on for
// as long as the chip's largest buffer takes on the wire, the chip has had the time to send
// everything it held, whether or not its driver can see into it.

#include <chrono>
#include <optional>

#include "platform/serial/serialport.h"

class ClearSpan {
public:
    using Clock = std::chrono::steady_clock;

    // The largest transmit buffer of a USB serial adapter's chip that its driver may not see:
    // 4 KiB per channel on FTDI's FT2232H (its datasheet, DS_FT2232H); PL2303 and CH341 chips
    // hold less.
    static constexpr long long kAdapterBuffer = 4096;

    void reset() { m_since.reset(); }

    // Looks at CTS once more (Unknown counts as on); true once it has been on for as long as
    // kAdapterBuffer characters take at characterTime each, and lag longer.
    bool lasted(ClearToSend cts, Clock::time_point now, std::chrono::nanoseconds characterTime,
                std::chrono::nanoseconds lag = {})
    {
        if (cts == ClearToSend::Off) {
            m_since.reset();
            return false;
        }
        if (!m_since)
            m_since = now;
        return now - *m_since >= kAdapterBuffer * characterTime + lag;
    }

private:
    std::optional<Clock::time_point> m_since;
};
