#pragma once
// The serial room: a COM port as the upload sees it, the same on every system. May include Qt
// Core and platform/operatorerror.h; each system's own calls live in a folder of their own
// (posix/ for Linux, windows/ for Windows); outside this room only the simulated drivers, the
// tests, the benchmark and the tools reach into them, and systemports.h gives the program the
// ports of the system it was built for.
//
// What the upload needs of a serial port: choose it by number, check its line format, open it, hand
// it text, ask how much is still waiting to go out, learn when everything has reached the device,
// and close it.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "platform/operatorerror.h"
#include "platform/serial/linesettings.h"

// Whether the device lets characters through, as its CTS line says.
enum class ClearToSend { Unknown, On, Off };

// How far delivered() can see the characters go: to the device itself, or only into a USB
// device whose driver reports neither CTS nor what it still holds (a CDC-ACM device, which may
// be a USB-to-serial bridge with a buffer and a CTS line of its own that the host never sees).
enum class DeliveryReach { Device, UsbDevice };

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Selects the port (COM1 is 1) that the next open() uses.
    virtual void setPortNumber(qint16 number) = 0;
    // Every port sets one line format, kLineFormat with kHandshake, the one the upload uses;
    // these refuse any other before the port is touched.
    void setLineSettings(const LineSettings &settings) const
    {
        if (settings != kLineFormat)
            refuseOtherFormat();
    }
    void setHandshaking(Handshaking handshaking) const
    {
        if (handshaking != kHandshake)
            refuseOtherFormat();
    }

    virtual void open() = 0;
    // Opening without waiting, where the system's open may take long (a Bluetooth port connects
    // inside CreateFile()): startOpen() returns true once the port is open as open() leaves it,
    // false while the opening goes on; opened() then tells, without waiting, whether it has
    // finished, and throws what open() would have. abandonOpen() gives it up; the port is
    // closed once the system's call returns. By default, open() at once.
    virtual bool startOpen()
    {
        open();
        return true;
    }
    virtual bool opened() { return isOpen(); }
    virtual void abandonOpen() noexcept {}
    virtual bool isOpen() const = 0;

    // Characters handed to output() that have not left the port's transmit queue yet; 0 exactly
    // when everything handed over has gone out of the queue. Whatever the device sent meanwhile
    // is read and dropped here: input left unread makes the driver hold the device off (RTS
    // low), and a device that honours that stops taking data too.
    virtual qint64 queuedCount() = 0;

    // Queues all of data and returns without waiting for it to be sent.
    virtual void output(const QByteArray &data) = 0;

    // Whether everything handed over has left the transmitter itself, the hardware's buffers
    // included, with the device still connected. Never blocks; throws when the port was lost.
    virtual bool delivered() = 0;

    // The device's CTS line; Unknown where the driver reports no modem lines.
    virtual ClearToSend clearToSend() = 0;

    // What delivered() means on the open port.
    virtual DeliveryReach deliveryReach() const { return DeliveryReach::Device; }

    // While the port waits for the operating system to take more: what the event loop can wait
    // on until it does (a descriptor that turns writable, or an event that is signalled when a
    // write completes); otherwise -1.
    virtual qintptr wakeHandle() const { return -1; }

    // Drops what the port itself still holds, and returns how many characters that was; what
    // the operating system has keeps going out.
    virtual qint64 dropHeld() noexcept = 0;

    // Drops whatever is still queued and closes the port at once. Does nothing when closed.
    virtual void discardAndClose() noexcept = 0;

    // Where a close the system has not finished yet will keep the port after the program ends:
    // what the operator should know, and do, about it; empty when there is none.
    virtual QString closeUnfinished() { return {}; }

    // How messages name the port, e.g. "COM1 (/dev/ttyUSB0)".
    virtual QString describe() const = 0;

private:
    [[noreturn]] void refuseOtherFormat() const
    {
        throw OperatorError(QStringLiteral("%1: only 115200 baud, 7 data bits, no parity, 2 stop "
                                           "bits with RTS/CTS handshaking can be set.")
                                .arg(describe()));
    }
};
