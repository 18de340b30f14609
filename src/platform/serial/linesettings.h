#pragma once
// The line format and handshake a port is opened with; the same on every system.

#include <QtGlobal>

enum class Parity { None, Even, Odd };

struct LineSettings {
    qint32 baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    int stopBits = 1;

    // Bits on the wire for one character: start bit, data, parity and stop bits.
    int bitsPerCharacter() const
    {
        return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits;
    }
    bool operator==(const LineSettings &) const = default;
};

enum class Handshaking { None, XonXoff, RtsCts };
