#pragma once
// Time arithmetic of the serial line: how long queued characters need on the wire, and how long
// a pass of the sending loop may sleep without letting the line fall idle.

#include <chrono>

#include <QtGlobal>

#include "platform/serial/serialport.h"

class LineTiming {
public:
    explicit LineTiming(const LineSettings &settings);

    std::chrono::microseconds transmitTime(qint64 characters) const;

    // A pass sleeps for the whole milliseconds the queue still needs, at least 1 ms and at most
    // kMaxPollWait. It wakes at most about a millisecond after the queue has emptied, while the
    // UART's hardware FIFO (16 characters, 1.4 ms at 115 200 baud) still keeps the line busy.
    std::chrono::milliseconds pollWait(qint64 queuedCharacters) const;

    static constexpr std::chrono::milliseconds kMaxPollWait{5};

private:
    qint64 m_bitsPerCharacter;
    qint64 m_baudRate;
};
