#pragma once
// The serial room's Linux calls: termios, UUCP lock files, COM numbers from sysfs. May include
// the serial room's shared headers. In the program only systemports_posix.cpp includes these; the
// sim room, the tests, the benchmark and the tools do too.
//
// The serial port on plain POSIX terminal calls, made through a Tty (the kernel's, or a
// simulated driver in tests), on the decisions of PortCore. COMn is turned into a device by a
// port mapping at every open.
//
// What it guarantees:
// - Other programs' ports are left alone: their locks (UUCP lock files, flock(), the kernel's
//   exclusive mode) are all checked before anything is changed, and only flags it set itself
//   are cleared again.
// - The line settings are set once, read back, and never changed again: a change takes effect
//   at once on whatever is still in flight, so nothing is restored at close.
// - The count is the kernel's (TIOCOUTQ). A pseudo-terminal keeps none (TIOCOUTQ is always 0
//   there), so for one the port counts the queue itself from the bytes handed over and the
//   line's speed.
// - Neither opening nor closing blocks the caller. The kernel's open waits for another program's
//   close (up to its closing wait, 30 s), and USB adapters' drivers talk to their chip with a 5 s
//   timeout while opening and setting the line, so the open and the settings are made on a thread
//   of their own (Tty::aside()); a close ends the kernel's closing wait. The lock files stay until
//   the descriptor is really closed, and go as soon as it is.
// - A port whose driver cannot do what the upload needs (RTS/CTS handshaking) is refused before
//   it is opened.
// - On a CDC-ACM device the port can see only as far as the USB device (DeliveryReach).

#include <functional>
#include <memory>
#include <optional>

#include "platform/serial/portcore.h"
#include "platform/serial/posix/portlock.h"
#include "platform/serial/posix/tty.h"

// The device path for a port number; throws an OperatorError when nothing has that number.
using PortMapping = std::function<QString(int portNumber)>;

class PosixSerialPort : public PortCore {
public:
    PosixSerialPort(Tty &tty, PortMapping mapping,
                    const QString &lockFolder = QStringLiteral("/var/lock"));
    ~PosixSerialPort() override;

    bool startOpen() override;
    bool opened() override;
    void abandonOpen() noexcept override;
    bool isOpen() const override { return m_opened.fd >= 0; }
    ClearToSend clearToSend() override;
    DeliveryReach deliveryReach() const override;
    qintptr wakeHandle() const override;
    void discardAndClose() noexcept override;
    QString describe() const override;

    // How long discardAndClose() waits for a close that ends at once before it leaves the close
    // to finish on its own, looked after every kCloseWatch.
    static constexpr std::chrono::milliseconds kQuickClose{20};
    static constexpr std::chrono::milliseconds kCloseWatch{50};
    // How long an open waits for an earlier close of the same port to finish.
    static constexpr std::chrono::seconds kEarlierCloseWait{2};
    // How often what the device sent is read and dropped: a 4 KiB input buffer takes 355 ms to
    // fill at 115 200 baud, and a read costs a call into the kernel.
    static constexpr std::chrono::milliseconds kInputEvery{20};

    // What the opening of a port found.
    enum class Kind { Uart, UsbSerial, Acm, PseudoTerminal };
    struct Opened {
        int fd = -1;
        Kind kind = Kind::Uart;
        bool chipUnseen = false; // the driver's drain does not wait for the adapter's chip
        bool setExclusive = false;
        bool owned = false; // every check that the port is another program's has passed
    };

protected:
    Clock::time_point now() const override { return m_tty.now(); }
    qint64 handOver(QByteArrayView characters) override;
    qint64 inSystem() override;
    bool transmitterEmpty() override;
    void checkConnected() override;
    bool chipMayHold() const override;
    void outputBegins() override;

private:
    struct Opening;
    struct Closing;

    bool earlierCloseFinished();
    void beginOpen();
    void adopt(const Opened &opened);
    void refuseUnfitDriver(dev_t device);
    [[noreturn]] void failLost(int err);
    void discardInput();
    std::optional<int> askModemLines(int &lines);
    void keepHandshakeAtClose() noexcept;
    void closeDescriptor() noexcept;

    Tty &m_tty;
    PortMapping m_mapping;
    PortLock m_lock;

    Opened m_opened; // fd -1 while closed
    QString m_path;  // as opened, and the real node behind a link: what messages name
    QString m_node;
    qint64 m_writtenSinceEmpty = 0; // handed to the kernel since its count last read 0
    Tty::Clock::time_point m_inputReadAt{};
    std::unique_ptr<TtyCall> m_drain;
    std::unique_ptr<TtyCall> m_modemQuery;
    std::optional<int> m_modemAnswer; // the last TIOCMGET that returned, with its lines
    int m_modemLines = 0;

    QString m_lockFolder;
    std::optional<Tty::Clock::time_point> m_earlierCloseUntil; // an open waits for a close
    std::shared_ptr<Opening> m_opening;
    std::unique_ptr<TtyCall> m_openWork;
    // Openings given up whose thread has not returned yet (each closes what it opened and
    // releases its lock files when it does), and closes the kernel has not finished yet (see
    // closeDescriptor()).
    Unfinished m_abandoned;
    Unfinished m_closings;
};
