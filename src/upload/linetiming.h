#pragma once
// Time arithmetic of the serial line at its one format (kLineFormat): how long queued characters
// need on the wire, and how long a pass of the sending loop may sleep without letting the line
// fall idle.

#include <chrono>

#include <QtGlobal>

#include "platform/serial/serialport.h"

namespace linetiming {

inline constexpr std::chrono::milliseconds kMaxPollWait{8};

std::chrono::microseconds transmitTime(qint64 characters);

// A pass sleeps until the counted queue has had its time on the wire, rounded up to the
// millisecond, at least 1 ms and at most kMaxPollWait: one wake a line. It wakes less than a
// millisecond after the count has reached 0, while the characters that no count sees (a UART's
// 16-character FIFO, 1.4 ms at 115 200 baud) still keep the line busy.
std::chrono::milliseconds pollWait(qint64 queuedCharacters);

} // namespace linetiming
