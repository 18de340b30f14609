#pragma once
// The sim room, test support: simulated serial drivers and a pseudo-terminal device, for the
// tests, the benchmark and the tools; the program never links it. May include platform/.
//
// A serial driver and the device behind it, simulated on a clock the caller provides (a test's
// fake clock or the benchmark's real one). It models what a pseudo-terminal cannot show:
// - Uart16550: a 4 KiB queue that TIOCOUTQ counts, feeding a 16-character FIFO that it does not;
//   TIOCSERGETLSR reports when the FIFO is empty.
// - UsbSerial (as ftdi_sio): a 4 KiB queue that TIOCOUTQ counts, feeding a 512-byte chip buffer
//   that it does not; tcdrain() waits on the chip; TIOCSERGETLSR answers from the chip's last
//   status packet, sampled every 16 ms (the latency timer), so it can be that old.
// - UsbSerialNoTxEmpty (as pl2303, ch341): as UsbSerial, but without TIOCSERGETLSR, and tcdrain()
//   returns once the queue is empty, whatever the chip still holds.
//   Neither can flush its queue: usb-serial drops it only at close.
// - CdcAcm: write buffers of 1 280 bytes, counted whole; no TIOCSERGETLSR; CTS always on.
// - PseudoTerminal: about 22 KB of buffer that TIOCOUTQ never counts (always 0); write() fails
//   with EAGAIN when it is full or held off (as tcflow(TCOOFF) does), while its reader keeps
//   reading what it holds; keeps 8 data bits and no parity whatever it is asked.
// Every driver answers setAttributes() as glibc's tcsetattr() does: EINVAL when the character
// size, parity or CREAD kept differ from those asked, with the settings in force all the same.
// The device holds data off with CTS in windows of time; with RTS/CTS off it loses what it was
// sent meanwhile. A device that echoes what it takes fills the 4 KiB input buffer; once that is
// nearly full the driver lowers RTS, and the device stops taking data until the input is read.
// close() with characters still on their way while the device holds off waits (closing_wait)
// until interrupted. The device can be unplugged at any instant: what was queued is lost, calls
// then fail with ENODEV and, once the kernel has hung the port up, with EIO. Every character
// that leaves the wire is recorded with the line settings in force at that moment.

#include <QList>

#include "platform/serial/posix/tty.h"
#include "sim/simulatedline.h"

class SimulatedTty final : public Tty, public SimulatedLine {
public:
    enum class Driver { Uart16550, UsbSerial, UsbSerialNoTxEmpty, CdcAcm, PseudoTerminal };
    using Clock = SimulatedLine::Clock; // both bases name one: the same steady_clock

    struct WireCharacter {
        char byte;
        speed_t speed;
        tcflag_t flags; // c_cflag
    };

    SimulatedTty(Driver driver, ClockSource clock);

    Driver driver() const { return m_driver; }
    // Every character that left the wire by now.
    const QList<WireCharacter> &wire();
    bool isOpen() const { return m_open; }

    // Faults and devices to arrange.
    int openError = 0;                // -errno for open() to return
    bool lockedElsewhere = false;     // another program holds flock()
    pid_t lockHolderPid = 0;          // the program /proc/locks names as holding it
    int opens = 0;                    // successful opens: each raises DTR and RTS
    int usbModemCallsWaitedFor = 0;   // TIOCMGETs on a USB adapter made on the caller's thread
    bool keepsEightBits = false;      // the driver refuses 7 data bits (a pty always does)
    bool closeIgnoresSignals = false; // the closing wait cannot be interrupted
    bool drainIgnoresSignals = false; // a tcdrain() goes on while the device holds off
    int othersQueue = 0;  // characters another program that has the port open has queued
    QByteArray usbDriver; // the usb-serial driver's name, if not the model's
    QByteArray release = "6.1.0-57-amd64"; // the kernel's

    // What the port did.
    int settingsChanged = 0;         // setAttributes() calls that changed anything
    int settingsChangedInFlight = 0; // line settings changed while characters were in flight
    int cutAtClose = 0;              // characters still queued or in the hardware at close
    int mostQueued = 0;              // the most characters the counted queue held at once
    int exclusiveSetAtClose = 0;     // closes that left TIOCEXCL set
    int flushes = 0;
    int closesInterrupted = 0; // closing waits ended by a signal
    int opensWhileClosing = 0; // open() while a close still held the tty lock

    static constexpr int kFd = 3;
    static constexpr std::chrono::milliseconds kLatencyTimer{16};

    int open(const QByteArray &path) override;
    std::unique_ptr<TtyCall> close(int fd) override;
    pid_t lockHolder(const QByteArray &) override { return lockHolderPid; }
    QByteArray kernelRelease() override { return release; }
    std::unique_ptr<TtyCall> aside(std::function<void()> work) override;
    int deviceNumber(int fd, dev_t &device) override;
    QByteArray driverName(dev_t device) override;
    int lock(int fd) override;
    int isExclusive(int fd, bool &exclusive) override;
    int setExclusive(int fd, bool exclusive) override;
    int getAttributes(int fd, termios &settings) override;
    int setAttributes(int fd, const termios &settings) override;
    qint64 write(int fd, const char *data, qint64 size) override;
    qint64 read(int fd, char *data, qint64 size) override;
    int queued(int fd, int &count) override;
    int transmitterEmpty(int fd, bool &empty) override;
    std::unique_ptr<TtyCall> drain(int fd) override;
    int modemLines(int fd, int &lines) override;
    std::unique_ptr<TtyCall> queryModemLines(int fd) override;
    int flushOutput(int fd) override;
    int hungUp(int fd, bool &hungUp) override;
    int watchable(int) const override { return -1; }
    Clock::time_point now() const override { return m_clock(); }

private:
    Line line() const override;
    bool playing() const override { return m_open || m_closing; }
    bool record(char c, bool held) override;
    void addEdges(std::vector<Clock::time_point> &edges, Clock::time_point now) const override;
    void reached(Clock::time_point edge) override;
    bool isUsb() const;
    int gone() const; // 0 while plugged in, else the errno a call fails with
    int step();       // advance(), then gone()
    void finishClose();

    const Driver m_driver;

    termios m_settings{};
    bool m_open = false;
    bool m_closing = false;
    bool m_exclusive = false;
    QList<WireCharacter> m_wire;
    // The chip's last status packet: when, and whether its transmitter was empty then.
    Clock::time_point m_statusAt;
    bool m_statusEmpty = true;
};
