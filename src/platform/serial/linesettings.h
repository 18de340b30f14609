#pragma once
// The line format and handshake of a port; the same on every system. A port sets one format
// only, kLineFormat, and refuses any other: LineSettings can describe others so that a request
// for one is answered.

#include <QtGlobal>

enum class Parity { None, Even, Odd };

struct LineSettings {
    qint32 baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    int stopBits = 1;

    // Bits on the wire for one character: start bit, data, parity and stop bits.
    constexpr int bitsPerCharacter() const
    {
        return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits;
    }
    bool operator==(const LineSettings &) const = default;
};

enum class Handshaking { None, XonXoff, RtsCts };

// What every port sets: 115 200 baud, 7 data bits, no parity, 2 stop bits, with RTS/CTS
// handshaking.
inline constexpr LineSettings kLineFormat{115200, Parity::None, 7, 2};
inline constexpr Handshaking kHandshake = Handshaking::RtsCts;
