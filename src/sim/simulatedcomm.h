#pragma once
// A Windows serial driver and the device behind it, simulated on a clock the caller provides,
// answering the Win32 calls as the drivers do:
// - Serial16550 (serial.sys): a write stays pending until its last byte has gone into the
//   UART's 16-byte FIFO, which cbOutQue does not count; FlushFileBuffers() returns once the
//   writes before it have completed.
// - UsbAdapter (a USB adapter's driver): a write completes once its bytes are in the driver's
//   4 KiB buffer, which cbOutQue counts and which feeds the adapter's 512-byte chip, which it
//   does not; FlushFileBuffers() returns once the driver's buffer is empty.
// - WinePty (Wine's serial layer over a pseudo-terminal): cbOutQue is always 0; a write stays
//   pending while the pseudo-terminal's 22 KB are full or held off, while its reader keeps
//   reading what it holds at 11 520 characters a second; GetCommModemStatus() is not supported
//   and fCtsHold never set; FlushFileBuffers() returns at once; the settings read back are the
//   pseudo-terminal's (8 data bits, RTS simply on), and SetCommState() fails with
//   ERROR_INVALID_PARAMETER for 7 data bits, the settings in force all the same (glibc's
//   tcsetattr() under Wine); a second open succeeds.
// The device holds data off with CTS in windows of time, can echo what it takes (then the
// driver's RTS handshaking stops it once the 4 KiB input buffer is nearly full, until the input
// is purged), and can be unplugged at any instant, after which every call fails. Every
// character that leaves the wire is recorded with the settings in force at that moment.

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include <QList>

#include "platform/serial/windows/comm.h"
#include "sim/deviceschedule.h"

class SimulatedComm final : public Comm {
public:
    enum class Driver { Serial16550, UsbAdapter, WinePty };
    using ClockSource = std::function<Clock::time_point()>;

    struct WireCharacter {
        char byte;
        CommSettings settings;
    };

    SimulatedComm(Driver driver, ClockSource clock);

    // Times are measured from the most recent open().
    void holdOff(Clock::duration from, Clock::duration until) { m_schedule.holdOff(from, until); }
    void unplugAt(Clock::duration at) { m_schedule.unplugAt(at); }

    Driver driver() const { return m_driver; }
    QByteArray received();
    const QList<WireCharacter> &wire();
    bool isOpen() const { return m_open; }

    // Faults and devices to arrange.
    bool missing = false;          // nothing has this COM number
    bool openedElsewhere = false;  // another program has the port open
    bool refusesSevenBits = false; // SetCommState() fails for 7 data bits
    bool keepsEightBits = false;   // SetCommState() succeeds but keeps 8 data bits
    bool echoes = false;           // the device sends back every character it takes
    // What the last program left in the driver, which GetCommState() reads back until the port
    // sets its own. Drivers built on Microsoft's serial sample refuse XonChar equal to XoffChar
    // and limits beyond the input buffer with ERROR_INVALID_PARAMETER (IOCTL_SERIAL_SET_CHARS
    // and IOCTL_SERIAL_SET_HANDFLOW in its ioctl.c).
    std::optional<CommSettings> leftover;
    // What a driver answers for a call it does not support: FlushFileBuffers() on a KMDF driver
    // without a flush handler of its own fails with ERROR_INVALID_FUNCTION (Microsoft's page
    // "Handling an IRP that the framework does not support"); virtual ports answer the status
    // calls (ClearCommError(), GetCommModemStatus()) with ERROR_INVALID_FUNCTION,
    // ERROR_NOT_SUPPORTED or ERROR_INVALID_PARAMETER. 0: the call is supported.
    CommError flushRefusedWith = 0;
    CommError statusRefusedWith = 0;

    // What the port did.
    int settingsChangedInFlight = 0;
    int cutAtClose = 0; // characters still on their way at close
    int mostQueued = 0; // the most bytes cbOutQue counted at once
    int purges = 0;

    static constexpr Handle kHandle = 0x5c;
    static constexpr double kPtyReadRate = 11520;
    static constexpr int kInputBuffer = 4096;

    CommError open(const QString &path, Handle &handle) override;
    void close(Handle handle) override;
    CommError getState(Handle handle, CommSettings &settings) override;
    CommError setState(Handle handle, const CommSettings &settings) override;
    CommError setTimeouts(Handle handle) override;
    CommError write(Handle handle, const QByteArray &data,
                    std::unique_ptr<CommWrite> &started) override;
    CommError clearError(Handle handle, CommStatus &status) override;
    CommError modemStatus(Handle handle, bool &clearToSend) override;
    CommError purge(Handle handle, bool output, bool input) override;
    std::unique_ptr<CommFlush> flush(Handle handle) override;
    bool underWine() const override { return m_driver == Driver::WinePty; }
    QString errorText(CommError error) const override;
    Clock::time_point now() const override { return m_clock(); }

private:
    void advance();
    void send(double characters, bool held);
    void fill(bool held);
    bool heldAt(Clock::time_point t) const { return m_schedule.heldAt(t); }
    bool throttled() const;
    double charactersPerSecond() const;
    CommError gone();
    bool inFlight() const { return !m_pending.empty() || !m_buffer.empty() || !m_hardware.empty(); }

    const Driver m_driver;
    const ClockSource m_clock;
    DeviceSchedule m_schedule;

    CommSettings m_settings;
    bool m_open = false;
    bool m_unplugged = false;
    Clock::time_point m_last;
    double m_credit = 0;
    std::deque<char> m_pending;  // the pending write's bytes the driver has not taken
    std::deque<char> m_buffer;   // the driver's buffer, or the pseudo-terminal's
    std::deque<char> m_hardware; // FIFO or chip
    int m_input = 0;
    quint64 m_writes = 0; // writes started; a write is done when its bytes are taken
    QList<WireCharacter> m_wire;
};
