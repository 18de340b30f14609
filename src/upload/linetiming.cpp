#include "upload/linetiming.h"

#include <algorithm>

std::chrono::microseconds linetiming::transmitTime(qint64 characters)
{
    const qint64 bits = std::max<qint64>(0, characters) * kLineFormat.bitsPerCharacter();
    return std::chrono::microseconds((bits * 1'000'000 + kLineFormat.baudRate - 1) /
                                     kLineFormat.baudRate);
}

std::chrono::milliseconds linetiming::pollWait(qint64 queuedCharacters)
{
    const auto whole = std::chrono::ceil<std::chrono::milliseconds>(transmitTime(queuedCharacters));
    return std::clamp(whole, std::chrono::milliseconds(1), kMaxPollWait);
}
