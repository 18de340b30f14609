#include "upload/linetiming.h"

#include <algorithm>

LineTiming::LineTiming(const LineSettings &settings)
    : m_bitsPerCharacter(settings.bitsPerCharacter()), m_baudRate(std::max(1, settings.baudRate))
{}

std::chrono::microseconds LineTiming::transmitTime(qint64 characters) const
{
    const qint64 bits = std::max<qint64>(0, characters) * m_bitsPerCharacter;
    return std::chrono::microseconds((bits * 1'000'000 + m_baudRate - 1) / m_baudRate);
}

std::chrono::milliseconds LineTiming::pollWait(qint64 queuedCharacters) const
{
    const auto whole = std::chrono::ceil<std::chrono::milliseconds>(transmitTime(queuedCharacters));
    return std::clamp(whole, std::chrono::milliseconds(1), kMaxPollWait);
}
