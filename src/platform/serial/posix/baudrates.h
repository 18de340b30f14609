#pragma once
// The termios speed constants for the baud rates a port can be set to.

#include <array>
#include <utility>

#include <termios.h>

inline constexpr std::array<std::pair<int, speed_t>, 12> kBaudRates{{
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {921600, B921600},
    {1000000, B1000000},
}};

// 0 where the rate has no constant.
inline constexpr speed_t speedForBaud(int baud)
{
    for (const auto &[rate, speed] : kBaudRates)
        if (rate == baud)
            return speed;
    return B0;
}

inline constexpr int baudForSpeed(speed_t speed)
{
    for (const auto &[rate, constant] : kBaudRates)
        if (constant == speed)
            return rate;
    return 0;
}
