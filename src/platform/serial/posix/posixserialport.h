#pragma once
// The serial room's Linux calls: termios, UUCP lock files, COM numbers from sysfs. May include
// the serial room's shared headers. In the program only systemports_posix.cpp includes these; the
// sim room, the tests, the benchmark and the tools do too.
//
// The serial port on plain POSIX terminal calls, made through a Tty (the kernel's, or a
// simulated driver in tests). COMn is turned into a device by a port mapping at every open.
//
// What it guarantees:
// - Other programs' ports are left alone: their locks (UUCP lock files, flock(), the kernel's
//   exclusive mode) are all checked before anything is changed, and only flags it set itself
//   are cleared again.
// - The line settings are set once, read back, and never changed again: a change takes effect
//   at once on whatever is still in flight, so nothing is restored at close.
// - Bytes the kernel will not take yet stay here and count as queued, so the count reaches 0
//   only when everything handed over has left the kernel's queue. A pseudo-terminal keeps no
//   count (TIOCOUTQ is always 0 there), so for one the port counts the queue itself from the
//   bytes handed over and the line's speed.
// - delivered() is true only when the device has had every character: see delivered().
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
#include <vector>

#include "platform/serial/clearspan.h"
#include "platform/serial/posix/portlock.h"
#include "platform/serial/posix/tty.h"
#include "platform/serial/serialport.h"
#include "platform/serial/wireclock.h"

// The device path for a port number; throws an OperatorError when nothing has that number.
using PortMapping = std::function<QString(int portNumber)>;

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort(Tty &tty, PortMapping mapping,
                    const QString &lockFolder = QStringLiteral("/var/lock"));
    ~PosixSerialPort() override;

    void setPortNumber(qint16 number) override;
    void setLineSettings(const LineSettings &settings) override { m_settings = settings; }
    void setHandshaking(Handshaking handshaking) override { m_handshaking = handshaking; }
    // Waits for the opening that startOpen() begins: for tests and tools, never the window.
    void open() override;
    bool startOpen() override;
    bool opened() override;
    void abandonOpen() noexcept override;
    bool isOpen() const override { return m_fd >= 0; }
    qint64 queuedCount() override;
    void output(const QByteArray &data) override;
    bool delivered() override;
    ClearToSend clearToSend() override;
    DeliveryReach deliveryReach() const override;
    qintptr wakeHandle() const override;
    qint64 dropHeld() noexcept override;
    void discardAndClose() noexcept override;
    QString describe() const override;

    // How long discardAndClose() waits for a close that ends at once before it leaves the close
    // to finish on its own, looked after every kCloseWatch.
    static constexpr std::chrono::milliseconds kCloseWait{20};
    static constexpr std::chrono::milliseconds kCloseWatch{50};
    // How long an open waits for an earlier close of the same port to finish.
    static constexpr std::chrono::seconds kEarlierCloseWait{2};
    // How often what the device sent is read and dropped: a 4 KiB input buffer takes 355 ms to
    // fill at 115 200 baud, and a read costs a call into the kernel.
    static constexpr std::chrono::milliseconds kInputEvery{20};

    // What a port needs to be opened, and what its opening found (see openAside()).
    enum class Kind { Uart, UsbSerial, Acm, PseudoTerminal };
    struct Request {
        QByteArray path;
        QString port; // describe()
        QString node;
        LineSettings settings;
        Handshaking handshaking = Handshaking::None;
    };
    struct Opened {
        int fd = -1;
        Kind kind = Kind::Uart;
        bool chipUnseen = false; // the driver's drain does not wait for the adapter's chip
        bool setExclusive = false;
        bool owned = false; // every check that the port is another program's has passed
    };

private:
    struct Opening;
    struct Closing;

    bool earlierCloseFinished();
    void beginOpen();
    void adopt(const Opened &opened);
    void refuseUnfitDriver(dev_t device);
    [[noreturn]] void failLost(int err);
    void requireOpen() const;
    void push();
    void discardInput();
    qint64 held() const { return m_held.size() - m_heldStart; }
    qint64 estimatedInKernel() const;
    bool transmitterEmpty();
    bool adapterHadItsTime();
    void checkConnected();
    std::optional<int> askModemLines(int &lines);
    void finishEarlierCloses();
    void keepHandshakeAtClose() noexcept;
    void closeDescriptor() noexcept;
    static void watchClosings(const std::weak_ptr<std::vector<Closing>> &watched);

    Tty &m_tty;
    PortMapping m_mapping;
    PortLock m_lock;
    qint16 m_number = 1;
    LineSettings m_settings;
    Handshaking m_handshaking = Handshaking::None;

    int m_fd = -1;
    QString m_path; // as opened, and the real node behind a link: what messages name
    QString m_node;
    Kind m_kind = Kind::Uart;
    bool m_chipUnseen = false;
    bool m_setExclusive = false;
    QByteArray m_held;
    qsizetype m_heldStart = 0;
    qint64 m_writtenSinceEmpty = 0; // handed to the kernel since its count last read 0
    WireClock m_wire;               // the count on a pseudo-terminal, which keeps none
    Tty::Clock::time_point m_inputReadAt{};
    std::unique_ptr<TtyDrain> m_drain;
    ClearSpan m_clearSpan; // CTS on without a break since all was drained
    std::unique_ptr<TtyModemQuery> m_modemQuery;
    std::optional<int> m_modemAnswer; // the last TIOCMGET that returned, with its lines
    int m_modemLines = 0;

    QString m_lockFolder;
    // The opening under way, and openings given up whose thread has not returned yet (each
    // closes what it opened and releases its lock files when it does).
    // The thread's call is kept beside its opening, never in it: the thread holds the opening,
    // and a thread that let go of the last hold on its own call would wait for itself.
    std::optional<Tty::Clock::time_point> m_earlierCloseUntil; // an open waits for a close
    std::shared_ptr<Opening> m_opening;
    std::unique_ptr<TtyWork> m_openWork;
    struct Abandoned {
        std::shared_ptr<Opening> opening;
        std::unique_ptr<TtyWork> work;
    };
    std::vector<Abandoned> m_abandoned;
    // Closes the kernel has not finished yet; looked after until they have (see
    // closeDescriptor()).
    std::shared_ptr<std::vector<Closing>> m_closings;
};
