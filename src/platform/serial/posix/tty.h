#pragma once
// The operating system's terminal calls that the serial port is built on, one method each. The
// kernel's version (KernelTty) makes the calls; SimulatedTty models how real drivers answer them
// (a 16550 UART, USB serial adapters with and without a view of their chip, a CDC-ACM device, a
// pseudo-terminal), so that the port's behaviour at the edges can be proven on a clock the test
// controls.
//
// Every call returns 0 or a count on success and -errno on failure, as the kernel does.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <sys/types.h>
#include <termios.h>

#include <QByteArray>

// A call under way on a thread of its own, since the kernel's version of it may block the
// caller for long: tcdrain() for as long as the device holds CTS low; close() for up to the
// port's closing_wait (30 s by default) on a port whose device holds CTS low, holding the tty
// lock meanwhile (tty_port_close_start() in drivers/tty/tty_port.c); TIOCMGET on ftdi_sio and
// cp210x, a USB control transfer to the adapter that can take up to its 5 s timeout
// (ftdi_get_modem_status() in drivers/usb/serial/ftdi_sio.c, cp210x_tiocmget() in
// drivers/usb/serial/cp210x.c). result() is empty until the call has returned, then what it
// returned: 0 or a count (the modem lines), or -errno. interrupt() ends the kernel's wait, after
// which a close finishes at once. Destroying it asks a call still waiting to end, and leaves it
// to finish on its own.
class TtyCall {
public:
    virtual ~TtyCall() = default;
    virtual std::optional<int> result() = 0;
    virtual void interrupt() = 0;
};

class Tty {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~Tty() = default;

    // A process that holds a flock() or a POSIX lock on the device at path, as /proc/locks lists
    // them by device and inode; 0 when none does, kUnnamedHolder when one does that the kernel
    // does not name to this process. Asked before open(), because every open of a tty raises DTR
    // and RTS.
    static constexpr pid_t kUnnamedHolder = -1;
    virtual pid_t lockHolder(const QByteArray &path) = 0;
    // The running kernel's release ("6.1.0-57-amd64"), as uname() gives it.
    virtual QByteArray kernelRelease() = 0;
    // Runs work on a thread of its own, where the kernel's version of the call may block.
    virtual std::unique_ptr<TtyCall> aside(std::function<void()> work) = 0;
    // Opens for reading and writing, without becoming the controlling terminal, non-blocking.
    virtual int open(const QByteArray &path) = 0;
    virtual std::unique_ptr<TtyCall> close(int fd) = 0;
    virtual int deviceNumber(int fd, dev_t &device) = 0; // fstat()'s st_rdev
    // The name of the kernel driver behind the port ("ftdi_sio", "pl2303"), from sysfs; empty
    // where none is named.
    virtual QByteArray driverName(dev_t device) = 0;
    virtual int lock(int fd) = 0;                         // flock(LOCK_EX | LOCK_NB)
    virtual int isExclusive(int fd, bool &exclusive) = 0; // TIOCGEXCL
    virtual int setExclusive(int fd, bool exclusive) = 0; // TIOCEXCL, TIOCNXCL
    virtual int getAttributes(int fd, termios &settings) = 0;
    virtual int setAttributes(int fd, const termios &settings) = 0; // TCSANOW
    virtual qint64 write(int fd, const char *data, qint64 size) = 0;
    virtual qint64 read(int fd, char *data, qint64 size) = 0;
    virtual int queued(int fd, int &count) = 0;            // TIOCOUTQ
    virtual int transmitterEmpty(int fd, bool &empty) = 0; // TIOCSERGETLSR, TIOCSER_TEMT
    virtual std::unique_ptr<TtyCall> drain(int fd) = 0;    // tcdrain()
    virtual int modemLines(int fd, int &lines) = 0;        // TIOCMGET
    // TIOCMGET on a descriptor of its own: its result is the lines, or -errno.
    virtual std::unique_ptr<TtyCall> queryModemLines(int fd) = 0;
    virtual int flushOutput(int fd) = 0;          // tcflush(TCOFLUSH)
    virtual int hungUp(int fd, bool &hungUp) = 0; // poll(): POLLHUP or POLLERR
    // The descriptor to watch for writability, or -1 where there is none to watch.
    virtual int watchable(int fd) const = 0;
    virtual Clock::time_point now() const = 0;
};
