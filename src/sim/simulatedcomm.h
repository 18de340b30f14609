#pragma once
// A Windows serial driver and the device behind it, simulated on a clock the caller provides,
// answering the Win32 calls as each family of drivers does:
// - Serial16550 (serial.sys; Microsoft's serial sample, write.c and openclos.c): a write stays
//   pending until its last byte has gone into the UART's 16-byte FIFO, which cbOutQue does not
//   count; CTS flow control is the driver's own (fCtsHold).
// - UsbSer (usbser.sys, CDC-ACM): a write completes when its USB transfer does, that is when
//   the device has taken it; the device holds data off by not taking it, whatever CTS says, and
//   CTS reads off for good, since the CDC serial-state notification carries no CTS bit and
//   usbser.sys is reported to derive it from DSR, which such a device may never send. Or the
//   device is a CDC-to-UART bridge (bridgeBuffer): it takes what fits in its buffer over USB,
//   completing the writes, and sends it on at the line's rate while its own CTS, which the host
//   never sees, lets it.
// - FtdiVcp (FTDI's VCP driver): a write completes once its bytes are in the driver's 4 KiB
//   buffer, which cbOutQue counts and which feeds the chip's 512 bytes, which it does not; a
//   write the device has held off for a second completes short, with what was taken; and
//   CloseHandle() hangs while the chip holds characters the device holds off (both as reported
//   by users of FTDI adapters), until the device takes them or the adapter is unplugged, even
//   past the end of the program that closed it. CTS reaches the driver only with the chip's
//   status packets: every 16 ms while the device sends, every 40 ms when it is idle (FTDI
//   AN232B-04); GetCommModemStatus() answers with the last one.
// - VirtualPort (a virtual or network COM port): as serial.sys, but ClearCommError() and
//   GetCommModemStatus() are not supported (ERROR_NOT_SUPPORTED).
// - Bluetooth (a Bluetooth serial port, RFCOMM): as serial.sys, but CreateFile() connects to the
//   device first, for kBluetoothConnect, and fails with ERROR_SEM_TIMEOUT when the device is out
//   of reach. CreateFile() returns when it is done whether or not its caller still waits: an
//   open given up on opens all the same, and holds the port until its thread closes it.
// Windows lists the ports in `ports` (Comm::listPorts()), which a test changes as adapters come
// and go or their drivers fail.
// - WinePty (Wine's serial layer over a pseudo-terminal): cbOutQue is always 0; a write stays
//   pending while the pseudo-terminal's 22 KB are full or held off, while its reader keeps
//   reading what it holds at 11 520 characters a second; GetCommModemStatus() is not supported
//   and fCtsHold never set; the settings read back are the pseudo-terminal's (8 data bits, RTS
//   simply on), and SetCommState() fails with ERROR_INVALID_PARAMETER for 7 data bits, the
//   settings in force all the same (glibc's tcsetattr() under Wine); a second open succeeds.
// The device holds data off in windows of time, can echo what it takes (then the driver's RTS
// handshaking stops it once the 4 KiB input buffer is nearly full, until the input is purged),
// and can be unplugged at any instant, after which every call fails with the code a removed
// device gives it: a pending write completes with ERROR_OPERATION_ABORTED, ClearCommError()
// fails with ERROR_BAD_COMMAND, GetCommModemStatus() with ERROR_GEN_FAILURE, PurgeComm() with
// ERROR_DEVICE_NOT_CONNECTED, a new open with ERROR_FILE_NOT_FOUND (WinePty: ERROR_NOT_READY for
// all). Every character that leaves the wire is recorded with the settings in force at that
// moment.

#include <memory>
#include <optional>
#include <vector>

#include <QList>

#include "platform/serial/windows/comm.h"
#include "sim/simulatedline.h"

class SimulatedComm final : public Comm, public SimulatedLine {
public:
    enum class Driver { Serial16550, UsbSer, FtdiVcp, VirtualPort, Bluetooth, WinePty };
    using Clock = SimulatedLine::Clock; // both bases name one: the same steady_clock

    struct WireCharacter {
        char byte;
        CommSettings settings;
    };

    SimulatedComm(Driver driver, ClockSource clock);

    const QList<WireCharacter> &wire(); // every character that left the wire by now
    bool isOpen();                      // the port is open to the system, by anyone

    // Faults and devices to arrange.
    bool missing = false;          // nothing has this COM number
    bool openedElsewhere = false;  // another program has the port open
    bool refusesSevenBits = false; // SetCommState() fails for 7 data bits
    bool keepsEightBits = false;   // SetCommState() succeeds but keeps 8 data bits
    // What the last program left in the driver, which GetCommState() reads back until the port
    // sets its own. Drivers built on Microsoft's serial sample refuse XonChar equal to XoffChar
    // and limits beyond the input buffer with ERROR_INVALID_PARAMETER (IOCTL_SERIAL_SET_CHARS
    // and IOCTL_SERIAL_SET_HANDFLOW in its ioctl.c).
    std::optional<CommSettings> leftover;
    bool outOfReach = false;      // a Bluetooth device that does not answer the connection
    int bridgeBuffer = 0;         // UsbSer: the buffer of a CDC-to-UART bridge; 0: no bridge
    int chipBuffer = 512;         // FtdiVcp: the chip's transmit buffer (FT2232H: 4096)
    QList<CommPortEntry> ports;   // what Windows lists
    std::function<void()> opened; // called when an open succeeds
    static constexpr std::chrono::seconds kBluetoothConnect{3};
    // What a driver answers for a call it does not support: virtual ports answer the status
    // calls (ClearCommError(), GetCommModemStatus()) with ERROR_INVALID_FUNCTION,
    // ERROR_NOT_SUPPORTED or ERROR_INVALID_PARAMETER. 0: the calls are supported.
    CommError statusRefusedWith = 0;
    bool notSerial = false; // the name reaches a device that answers no serial call

    // What the port did.
    int settingsChangedInFlight = 0;
    int cutAtClose = 0; // characters still on their way at close
    int purges = 0;
    int shortWrites = 0; // writes that completed with fewer bytes than they were given
    int listings = 0;    // calls to listPorts()

    static constexpr Handle kHandle = 0x5c;

    std::unique_ptr<CommOpening> open(const QString &path) override;
    std::unique_ptr<CommClosing> close(Handle handle, const QString &path, bool purge,
                                       std::unique_ptr<CommWrite> write) override;
    bool closingInThisProgram(const QString &) override { return !closeDone(); }
    QList<CommPortEntry> listPorts() override
    {
        ++listings;
        return ports;
    }
    CommError getState(Handle handle, CommSettings &settings) override;
    CommError setState(Handle handle, const CommSettings &settings) override;
    CommError setTimeouts(Handle handle) override;
    CommError write(Handle handle, const QByteArray &data,
                    std::unique_ptr<CommWrite> &started) override;
    CommError clearError(Handle handle, CommStatus &status) override;
    CommError modemStatus(Handle handle, bool &clearToSend) override;
    bool reportsCts(const QString &) override { return m_driver != Driver::UsbSer; }
    CommError purge(Handle handle, bool output, bool input) override;
    bool underWine() const override { return m_driver == Driver::WinePty; }
    QString errorText(CommError error) const override;
    Clock::time_point now() const override { return m_clock(); }

private:
    void advance() override; // an open that has returned by now takes effect first
    Line line() const override;
    bool playing() const override { return m_open; }
    std::size_t bufferSize() const;
    std::size_t hardwareSize() const;
    bool record(char c, bool held) override;
    CommError gone(CommError asRemoved = commerror::kBadCommand);
    CommError openNow(Handle &handle);
    struct Opening;
    void settleOpenings();
    bool unpluggedBy(Clock::time_point t) const;
    bool closeDone() const;

    const Driver m_driver;

    CommSettings m_settings;
    bool m_open = false;
    bool m_closeHangs = false; // the last close hangs while the chip's characters are held off
    std::vector<std::shared_ptr<Opening>> m_openings; // CreateFile() calls not yet returned
    quint64 m_writes = 0; // writes started; a write is done when its bytes are taken
    QList<WireCharacter> m_wire;
};
