#pragma once
// What the upload needs of a serial port: choose it by number, set its line format and handshake,
// open it, hand it text, ask how much is still waiting to go out, learn when everything has
// reached the device, and close it. PosixSerialPort is the real one.

#include <QByteArray>
#include <QString>
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

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Selects the port (COM1 is 1) that the next open() uses.
    virtual void setPortNumber(qint16 number) = 0;
    virtual void setLineSettings(const LineSettings &settings) = 0;
    virtual void setHandshaking(Handshaking handshaking) = 0;

    virtual void open() = 0;
    virtual bool isOpen() const = 0;

    // Characters handed to output() that have not left the port's transmit queue yet; 0 exactly
    // when everything handed over has gone out of the queue.
    virtual qint64 queuedCount() = 0;

    // Queues all of data and returns without waiting for it to be sent.
    virtual void output(const QByteArray &data) = 0;

    // Whether everything handed over has left the transmitter itself, the hardware's buffers
    // included, with the device still connected. Never blocks; throws when the port was lost.
    virtual bool delivered() = 0;

    // While the port holds characters that the operating system would not take yet: a
    // descriptor that becomes writable when it takes more; otherwise -1.
    virtual int writableDescriptor() const { return -1; }

    // Drops what the port itself still holds; what the operating system has keeps going out.
    virtual void dropHeld() noexcept = 0;

    // Drops whatever is still queued and closes the port at once. Does nothing when closed.
    virtual void discardAndClose() noexcept = 0;

    // How messages name the port, e.g. "COM1 (/dev/ttyUSB0)".
    virtual QString describe() const = 0;
};
