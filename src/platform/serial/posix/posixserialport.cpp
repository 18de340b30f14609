#include "platform/serial/posix/posixserialport.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <thread>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QVersionNumber>

#include "platform/operatorerror.h"

namespace {

// Device majors from include/uapi/linux/major.h: Unix98 pseudo-terminal slaves 136 to 143
// (UNIX98_PTY_SLAVE_MAJOR, UNIX98_PTY_MAJOR_COUNT); usb-serial's ttyUSB 188
// (USB_SERIAL_MAJOR in drivers/usb/serial/usb-serial.c); cdc-acm's ttyACM 166 (ACM_TTY_MAJOR in
// drivers/usb/class/cdc-acm.h). Everything else is taken for a UART behind serial core.
constexpr unsigned kUsbSerialMajor = 188;
constexpr unsigned kAcmMajor = 166;
bool isPseudoTerminal(dev_t device)
{
    return major(device) >= 136 && major(device) < 144;
}

// A driver that does not know the call; anything else is a real failure.
bool unanswered(int result)
{
    return result == -ENOTTY || result == -EINVAL || result == -EOPNOTSUPP;
}

// The usb-serial drivers whose tx_empty asks the chip itself (ftdi_tx_empty() in
// drivers/usb/serial/ftdi_sio.c, cp210x_tx_empty() in cp210x.c, edge_tx_empty() in io_ti.c,
// mxuport_tx_empty() in mxuport.c, ti_tx_empty() in ti_usb_3410_5052.c, f81534_tx_empty() in
// f81534.c), by the names their usb_serial_driver structures give (io_ti.c registers
// "edgeport_ti_1" and "edgeport_ti_2", ti_usb_3410_5052.c "ti_usb_3410_5052_1" and "_2"), which
// sysfs shows as the port's driver. Any other driver is taken not to see its chip.
bool drainWaitsForChip(const QByteArray &driver)
{
    static const QList<QByteArray> seeing{"ftdi_sio",           "cp210x",  "edgeport_ti_1",
                                          "edgeport_ti_2",      "mxuport", "ti_usb_3410_5052_1",
                                          "ti_usb_3410_5052_2", "f81534"};
    return seeing.contains(driver);
}

// The ch341 driver tells the chip nothing of RTS/CTS before Linux 6.14 (commit 35478bc369a6,
// "USB: serial: ch341: add hardware flow control RTS/CTS", which added
// ch341_set_flow_control() to drivers/usb/serial/ch341.c): ch341_set_termios() sets the speed
// and the character format only, and leaves CRTSCTS in the settings it hands back, so they read
// back as asked while the chip sends whatever CTS says.
const QVersionNumber kCh341FlowControlSince(6, 14);

[[noreturn]] void failOpen(int err, const QString &port, const QString &node)
{
    const QString reason = systemReason(err);
    const QString name = QFileInfo(node).fileName();
    switch (err) {
    case EACCES:
    case EPERM: {
        // Only membership of the device's own group helps, and only where that group may read
        // and write it: dialout on Debian, uucp elsewhere; never tty, which may only write. A
        // node that cannot be looked at is taken for Debian's serial port, group dialout.
        const QFileInfo device(node);
        const QString group = device.exists() ? device.group() : QStringLiteral("dialout");
        const bool groupMayUse =
            !device.exists() || device.permission(QFileDevice::ReadGroup | QFileDevice::WriteGroup);
        if (groupMayUse && !group.isEmpty() && group != QLatin1String("root") &&
            group != QLatin1String("tty"))
            throw OperatorError(QStringLiteral("Cannot open %1: %2. Add your user to the '%3' "
                                               "group and log in again.")
                                    .arg(port, reason, group));
        throw OperatorError(QStringLiteral("Cannot open %1: %2. %3 belongs to user '%4' (group "
                                           "'%5'), and only they may open it.")
                                .arg(port, reason, node, device.owner(), group));
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        throw OperatorError(QStringLiteral("Cannot open %1: %2. Check that the serial adapter is "
                                           "plugged in.")
                                .arg(port, reason));
    case EIO:
        if (name.startsWith(QLatin1String("ttyS")))
            throw OperatorError(QStringLiteral("Cannot open %1: %2. There is no serial port "
                                               "hardware behind %3; choose the port your device "
                                               "is connected to.")
                                    .arg(port, reason, node));
        break;
    case EISDIR:
    case ENOTTY:
        throw OperatorError(QStringLiteral("Cannot open %1: %2. %3 is not a serial port; choose "
                                           "the port your device is connected to.")
                                .arg(port, reason, node));
    case EBUSY:
        if (name.startsWith(QLatin1String("ttyACM")))
            throw OperatorError(QStringLiteral("%1 is busy. A device that has just been plugged "
                                               "in is often probed by ModemManager for a few "
                                               "seconds: wait a moment, then upload again.")
                                    .arg(port));
        throw OperatorError(PortCore::inUse(port) + QLatin1Char('.'));
    default:
        break;
    }
    throw OperatorError(QStringLiteral("Cannot open %1: %2").arg(port, reason));
}

[[noreturn]] void failLostAt(int err, const QString &port)
{
    throw OperatorError(PortCore::lostConnection(port, systemReason(std::abs(err))));
}

// Every check that can find the port in use comes before anything on it is changed.
void takeOwnership(Tty &tty, PosixSerialPort::Opened &opened, const QString &port)
{
    using Kind = PosixSerialPort::Kind;
    const QString inUse = PortCore::inUse(port) + QLatin1Char('.');
    if (tty.lock(opened.fd) == -EWOULDBLOCK)
        throw OperatorError(inUse);
    // Where the open could not be made without CAP_SYS_ADMIN (KernelTty::open()), it succeeds
    // on a port another program holds in exclusive mode; the flag still says so.
    bool exclusive = false;
    if (tty.isExclusive(opened.fd, exclusive) == 0 && exclusive)
        throw OperatorError(inUse);
    opened.owned = true;
    opened.setExclusive = tty.setExclusive(opened.fd, true) == 0;

    dev_t device = 0;
    if (tty.deviceNumber(opened.fd, device) == 0) {
        if (isPseudoTerminal(device))
            opened.kind = Kind::PseudoTerminal;
        else if (major(device) == kUsbSerialMajor)
            opened.kind = Kind::UsbSerial;
        else if (major(device) == kAcmMajor)
            opened.kind = Kind::Acm;
        opened.chipUnseen =
            opened.kind == Kind::Acm ||
            (opened.kind == Kind::UsbSerial && !drainWaitsForChip(tty.driverName(device)));
    }
}

// Sets the line format; a pseudo-terminal always keeps 8 data bits and no parity, and has no
// line for them to matter on.
void configure(Tty &tty, const PosixSerialPort::Opened &opened, const QString &port,
               const QString &node)
{
    const int fd = opened.fd;
    termios wanted{};
    if (const int err = tty.getAttributes(fd, wanted); err == -ENOTTY)
        failOpen(ENOTTY, port, node);
    else if (err)
        failLostAt(err, port);
    ::cfmakeraw(&wanted);
    wanted.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD);
    wanted.c_cflag |= CLOCAL | CREAD | CS7 | CSTOPB | CRTSCTS;
    wanted.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    wanted.c_cc[VMIN] = 0;
    wanted.c_cc[VTIME] = 0;
    ::cfsetospeed(&wanted, B115200);
    ::cfsetispeed(&wanted, B115200);
    // glibc's tcsetattr() reads the settings back after the kernel has taken them, and reports
    // EINVAL when the driver kept another character size, parity or CREAD
    // (sysdeps/unix/sysv/linux/tcsetattr.c); the settings are in force all the same, and the
    // read-back below says which were kept.
    if (const int err = tty.setAttributes(fd, wanted); err && err != -EINVAL)
        failOpen(-err, port, node);

    termios kept{};
    if (const int err = tty.getAttributes(fd, kept))
        failLostAt(err, port);
    const bool pty = opened.kind == PosixSerialPort::Kind::PseudoTerminal;
    KeptSettings read;
    if (::cfgetospeed(&kept) == B115200)
        read.baudRate = kLineFormat.baudRate;
    read.dataBits =
        pty ? kLineFormat.dataBits : 5 + int((kept.c_cflag & CSIZE) - CS5) / int(CS6 - CS5);
    read.parity = !pty && (kept.c_cflag & PARENB);
    read.stopBits = kept.c_cflag & CSTOPB ? 2 : 1;
    read.rtsCts = kept.c_cflag & CRTSCTS;
    if (const QString otherwise =
            PortCore::keptOtherwise(read, QStringLiteral("no RTS/CTS handshaking"));
        !otherwise.isEmpty())
        throw OperatorError(PortCore::settingsRefused(port, otherwise));
}

// Closes a descriptor on a thread that may wait: the kernel's closing wait is ended as soon as
// the close has begun.
void closeAndWait(Tty &tty, int fd)
{
    const std::unique_ptr<TtyCall> closing = tty.close(fd);
    while (!closing->result()) {
        closing->interrupt();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

// An opening under way: the thread that makes it and the port share it. When the port gives it
// up before it has returned, the thread closes what it opened and releases the lock files.
struct PosixSerialPort::Opening {
    std::mutex mutex;
    bool done = false;
    bool abandoned = false;
    Opened opened;
    std::exception_ptr error;
    PortLock lock; // given to the opening when it is abandoned
};

// A close the kernel has not finished yet, with the calls still running on the descriptor (each
// keeps the file open, and its flock() with it) and the lock files it keeps until all have
// ended.
struct PosixSerialPort::Closing {
    std::unique_ptr<TtyCall> close;
    std::unique_ptr<TtyCall> drain;
    std::unique_ptr<TtyCall> modemQuery;
    PortLock lock;

    // Interrupts what still waits, and tells whether all of it has returned.
    bool finished()
    {
        close->interrupt();
        if (drain)
            drain->interrupt();
        return close->result() && (!drain || drain->result()) &&
               (!modemQuery || modemQuery->result());
    }
};

PosixSerialPort::PosixSerialPort(Tty &tty, PortMapping mapping, const QString &lockFolder)
    : m_tty(tty), m_mapping(std::move(mapping)), m_lock(lockFolder), m_lockFolder(lockFolder)
{}

// A close or an opening still under way at the end is left to finish on its own; the process's
// end releases the descriptor's flock, and the lock file names a process that has ended.
PosixSerialPort::~PosixSerialPort()
{
    abandonOpen();
    discardAndClose();
}

QString PosixSerialPort::describe() const
{
    if (m_path.isEmpty())
        return PortCore::describe();
    if (m_node != m_path)
        return QStringLiteral("COM%1 (%2 \u2192 %3)").arg(number()).arg(m_path, m_node);
    return QStringLiteral("COM%1 (%2)").arg(number()).arg(m_path);
}

bool PosixSerialPort::startOpen()
{
    if (isOpen() || m_opening || m_earlierCloseUntil)
        throw OperatorError(alreadyOpen(describe()));
    m_path.clear();
    m_path = m_mapping(number());
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    m_node = canonical.isEmpty() ? m_path : canonical;
    m_earlierCloseUntil = m_tty.now() + kEarlierCloseWait;
    return opened();
}

// The kernel would make this open wait until the earlier close has finished
// (tty_open_by_driver() in drivers/tty/tty_io.c takes the tty lock it holds), and the earlier
// close still keeps its lock files: a close that takes a moment (pl2303's sends two control
// transfers to the chip, pl2303_close() in drivers/usb/serial/pl2303.c) is waited for, a
// close that does not finish is reported.
bool PosixSerialPort::earlierCloseFinished()
{
    if (!m_closings.since(m_node)) {
        m_earlierCloseUntil.reset();
        return true;
    }
    if (m_tty.now() < *m_earlierCloseUntil)
        return false;
    m_earlierCloseUntil.reset();
    throw OperatorError(QStringLiteral("%1 is still being closed after the last upload. Its "
                                       "driver may be waiting for the device to take what was "
                                       "left: wait a moment, then upload again.")
                            .arg(describe()));
}

// What can be learnt and checked at once is done on the caller's thread; the calls that may
// block are made aside.
void PosixSerialPort::beginOpen()
{
    if (m_abandoned.since(m_node))
        throw OperatorError(stillBeingOpened(describe(), "its driver has not answered yet"));
    struct stat node {};
    const dev_t device =
        ::stat(QFile::encodeName(m_node).constData(), &node) == 0 && S_ISCHR(node.st_mode)
            ? node.st_rdev
            : 0;
    refuseUnfitDriver(device);
    QStringList lockNames{m_node};
    if (m_node != m_path)
        lockNames.append(m_path);
    m_lock.acquire(lockNames, describe(), device);
    // Opening would raise DTR and RTS on another program's port (tty_port_block_til_ready() in
    // drivers/tty/tty_port.c), where a low line may be a reset or boot line held on purpose.
    if (const pid_t holder = m_tty.lockHolder(QFile::encodeName(m_node)); holder != 0) {
        m_lock.release();
        if (holder == ::getpid()) // a call of ours on the last upload's descriptor still runs
            throw OperatorError(QStringLiteral("%1 is still being closed after the last upload. "
                                               "Wait a moment, then upload again.")
                                    .arg(describe()));
        if (holder == Tty::kUnnamedHolder)
            throw OperatorError(inUse(describe()) +
                                QStringLiteral(", one that Linux does not name here (it may run "
                                               "in a sandbox or a container)."));
        throw OperatorError(inUse(describe()) + QStringLiteral(" (process %1).").arg(holder));
    }

    auto opening = std::make_shared<Opening>();
    Tty &tty = m_tty;
    m_opening = opening;
    m_openWork = m_tty.aside(
        [opening, path = QFile::encodeName(m_path), port = describe(), node = m_node, &tty] {
            Opened opened;
            std::exception_ptr error;
            try {
                opened.fd = tty.open(path);
                if (opened.fd < 0)
                    failOpen(-opened.fd, port, node);
                takeOwnership(tty, opened, port);
                configure(tty, opened, port, node);
            } catch (...) {
                error = std::current_exception();
            }
            std::unique_lock guard(opening->mutex);
            if (!opening->abandoned) {
                opening->opened = opened;
                opening->error = error;
                opening->done = true;
                return;
            }
            guard.unlock();
            if (opened.fd >= 0) {
                if (opened.setExclusive)
                    tty.setExclusive(opened.fd, false);
                closeAndWait(tty, opened.fd);
            }
            guard.lock();
            opening->lock.release();
            opening->done = true;
        });
}

// A CH340 or CH341 whose driver ignores RTS/CTS would send what the device holds off into a
// device that is not listening: those characters are lost, and the upload would read "Sent".
void PosixSerialPort::refuseUnfitDriver(dev_t device)
{
    if (device == 0 || m_tty.driverName(device) != "ch341-uart")
        return;
    const QByteArray release = m_tty.kernelRelease();
    if (QVersionNumber::fromString(QString::fromLatin1(release)) >= kCh341FlowControlSince)
        return;
    throw OperatorError(
        QStringLiteral("%1 cannot be used for uploads: its adapter is a CH340 or CH341, whose "
                       "driver (ch341) ignores RTS/CTS handshaking on this Linux kernel (%2), so "
                       "characters the device holds off would be lost. Use Linux %3 or later, or "
                       "an adapter with another chip (FTDI, CP210x or PL2303). Nothing was sent.")
            .arg(describe(), QString::fromLatin1(release), kCh341FlowControlSince.toString()));
}

bool PosixSerialPort::opened()
{
    if (isOpen())
        return true;
    if (m_earlierCloseUntil) {
        if (!earlierCloseFinished())
            return false;
        beginOpen();
    }
    if (!m_opening)
        throw OperatorError(notOpen(describe()));
    Opened result;
    std::exception_ptr error;
    {
        const std::lock_guard guard(m_opening->mutex);
        if (!m_opening->done)
            return false;
        result = m_opening->opened;
        error = m_opening->error;
    }
    m_opening.reset();
    m_openWork.reset();
    if (!error) {
        adopt(result);
        return true;
    }
    if (result.fd < 0) {
        m_lock.release();
        std::rethrow_exception(error);
    }
    m_opened = result;
    // Another program's port keeps its queue, its input and its settings; our own is cleared.
    if (result.owned)
        discardAndClose();
    else
        closeDescriptor();
    std::rethrow_exception(error);
}

void PosixSerialPort::adopt(const Opened &opened)
{
    m_opened = opened;
    m_writtenSinceEmpty = 0;
    startCounting();
    m_inputReadAt = m_tty.now();
    discardInput(); // whatever waited there from before is not this device's answer
}

void PosixSerialPort::abandonOpen() noexcept
{
    m_earlierCloseUntil.reset();
    if (!m_opening)
        return;
    {
        const std::lock_guard guard(m_opening->mutex);
        if (!m_opening->done) {
            m_opening->abandoned = true;
            m_opening->lock = std::move(m_lock);
            m_lock = PortLock(m_lockFolder);
            // The thread's call is kept beside its opening, never in it: the thread holds the
            // opening, and a thread that let go of the last hold on its own call would wait for
            // itself.
            std::shared_ptr<TtyCall> work = std::move(m_openWork);
            m_abandoned.add(m_node, m_tty.now(), [opening = std::move(m_opening), work] {
                const std::lock_guard guard(opening->mutex);
                return opening->done;
            });
            return;
        }
    }
    try {
        opened();
    } catch (...) {
        return; // it failed on its own, and has been cleaned up
    }
    discardAndClose();
}

void PosixSerialPort::failLost(int err)
{
    failLostAt(err, describe());
}

qint64 PosixSerialPort::handOver(QByteArrayView characters)
{
    const qint64 written = m_tty.write(m_opened.fd, characters.data(), characters.size());
    if (written == -EAGAIN || written == 0)
        return 0; // the kernel takes no more for now
    if (written < 0)
        failLost(int(written));
    m_writtenSinceEmpty += written;
    return written;
}

void PosixSerialPort::discardInput()
{
    char dropped[4096];
    while (m_tty.read(m_opened.fd, dropped, sizeof dropped) == qint64(sizeof dropped)) {
    }
}

qint64 PosixSerialPort::inSystem()
{
    if (const auto now = m_tty.now(); now - m_inputReadAt >= kInputEvery) {
        m_inputReadAt = now;
        discardInput();
    }
    // A pseudo-terminal keeps no count (TIOCOUTQ is always 0): the line's time stands in.
    if (m_opened.kind == Kind::PseudoTerminal)
        return boundByWire();
    int inKernel = 0;
    if (const int err = m_tty.queued(m_opened.fd, inKernel))
        failLost(err);
    // cdc-acm counts each write buffer in flight whole, at its full size of 20 packets
    // (acm_tty_chars_in_buffer() and acm->writesize in drivers/usb/class/cdc-acm.c): never more
    // can be queued than was handed over since the count last read 0.
    if (inKernel == 0)
        m_writtenSinceEmpty = 0;
    return std::min<qint64>(inKernel, m_writtenSinceEmpty);
}

void PosixSerialPort::outputBegins()
{
    m_drain.reset();
}

// A UART's line status register says when its shift register is empty (TIOCSERGETLSR,
// serial8250_tx_empty() in drivers/tty/serial/8250/8250_port.c reads it from the chip). A USB
// adapter's driver answers the same call from the status bytes of the last packet that came in
// (ftdi_sio's get_lsr_info()), up to one latency-timer period (16 ms by default) old; tcdrain()
// instead asks the chip itself where the driver can (tx_empty, ftdi_tx_empty() in
// drivers/usb/serial/ftdi_sio.c). So only a UART is asked for its line status.
bool PosixSerialPort::transmitterEmpty()
{
    if (m_opened.kind == Kind::PseudoTerminal)
        return wire().stillOnWire(m_tty.now()) == 0;
    if (m_opened.kind == Kind::Uart) {
        bool empty = false;
        const int answered = m_tty.transmitterEmpty(m_opened.fd, empty);
        if (answered == 0)
            return empty;
        if (!unanswered(answered))
            failLost(answered);
    }
    if (!m_drain)
        m_drain = m_tty.drain(m_opened.fd);
    const std::optional<int> drained = m_drain->result();
    if (!drained)
        return false;
    if (*drained == -EINTR) { // interrupted by someone else's signal: ask again
        m_drain.reset();
        return false;
    }
    if (*drained < 0)
        failLost(*drained);
    return true;
}

// usb-serial installs wait_until_sent only for drivers that can ask their chip whether it is
// empty (usb_serial_operations_init() in drivers/usb/serial/usb-serial.c sets it only with
// tx_empty); pl2303 and ch341 have none, so tcdrain() returns as soon as the last USB transfer
// has completed, while the chip may still hold what CTS holds back (see ClearSpan). The same
// holds for a USB-to-serial bridge that shows up as ttyACM: cdc-acm knows nothing of the UART
// behind the bridge. Where tcdrain() has waited for the chip (ftdi_sio, cp210x), everything has
// reached the device, whatever CTS does afterwards: a device that lowers CTS once it has the
// whole file (it starts flashing) has had it all.
bool PosixSerialPort::chipMayHold() const
{
    return m_opened.chipUnseen;
}

// A USB adapter that was pulled can still report an empty queue until the kernel hangs the port
// up; asking for the modem lines reaches the device itself and fails with ENODEV then.
void PosixSerialPort::checkConnected()
{
    bool hungUp = false;
    if (const int err = m_tty.hungUp(m_opened.fd, hungUp))
        failLost(err);
    if (hungUp)
        failLost(EIO);
    int lines = 0;
    const std::optional<int> answered = askModemLines(lines);
    if (answered && *answered < 0 && !unanswered(*answered))
        failLost(*answered);
}

// A USB adapter's modem lines are asked on a thread of their own (see TtyCall): this
// gives the last answer that has come, and asks again once it has. Other drivers answer from
// what they already know, at once.
std::optional<int> PosixSerialPort::askModemLines(int &lines)
{
    if (m_opened.kind != Kind::UsbSerial)
        return m_tty.modemLines(m_opened.fd, lines);
    if (!m_modemQuery)
        m_modemQuery = m_tty.queryModemLines(m_opened.fd);
    if (const std::optional<int> returned = m_modemQuery->result()) {
        m_modemAnswer = std::min(*returned, 0);
        m_modemLines = std::max(*returned, 0);
        m_modemQuery.reset();
    }
    lines = m_modemLines;
    return m_modemAnswer;
}

ClearToSend PosixSerialPort::clearToSend()
{
    if (!isOpen())
        throw OperatorError(notOpen(describe()));
    int lines = 0;
    const std::optional<int> answered = askModemLines(lines);
    if (answered && *answered < 0 && !unanswered(*answered))
        failLost(*answered);
    // cdc-acm reports CTS on whatever the device says (acm_tty_tiocmget() in
    // drivers/usb/class/cdc-acm.c), so there it tells nothing.
    if (!answered || *answered < 0 || m_opened.kind == Kind::Acm)
        return ClearToSend::Unknown;
    return (lines & TIOCM_CTS) ? ClearToSend::On : ClearToSend::Off;
}

// cdc-acm completes a write once its USB transfer has (acm_write_bulk() in
// drivers/usb/class/cdc-acm.c) and knows nothing of a UART behind the USB device.
DeliveryReach PosixSerialPort::deliveryReach() const
{
    return m_opened.kind == Kind::Acm ? DeliveryReach::UsbDevice : DeliveryReach::Device;
}

qintptr PosixSerialPort::wakeHandle() const
{
    return isOpen() && held() > 0 ? m_tty.watchable(m_opened.fd) : -1;
}

void PosixSerialPort::discardAndClose() noexcept
{
    if (!isOpen())
        return;
    // What is still queued is dropped, so that close() does not wait on it. An empty queue is
    // not flushed: on a pseudo-terminal that would also drop what the device has not read yet.
    int inKernel = 0;
    const bool failed = m_tty.queued(m_opened.fd, inKernel) != 0;
    if (failed || inKernel > 0 || held() > 0 ||
        (m_opened.kind == Kind::PseudoTerminal && wire().stillOnWire(m_tty.now()) > 0)) {
        keepHandshakeAtClose();
        m_tty.flushOutput(m_opened.fd);
    }
    dropHeld();
    if (m_opened.setExclusive)
        m_tty.setExclusive(m_opened.fd, false);
    m_opened.setExclusive = false;
    closeDescriptor();
}

// Characters that the device holds off may still wait in an adapter's chip, which no flush
// reaches. The last close lowers DTR and RTS where HUPCL is set (tty_port_shutdown() in
// drivers/tty/tty_port.c), and ftdi_sio switches the chip's RTS/CTS handshaking off before it
// lowers them (ftdi_dtr_rts() in drivers/usb/serial/ftdi_sio.c): the chip would then send what it
// holds into a device that has said it cannot take it, and take more from the queue meanwhile.
// So a close that leaves characters behind keeps the lines, and the handshake, as they are; a
// close after everything was delivered lowers them as always. HUPCL is no line setting: nothing
// on the wire changes.
void PosixSerialPort::keepHandshakeAtClose() noexcept
{
    termios settings{};
    if (m_tty.getAttributes(m_opened.fd, settings) != 0 || !(settings.c_cflag & HUPCL))
        return;
    settings.c_cflag &= ~tcflag_t(HUPCL);
    m_tty.setAttributes(m_opened.fd, settings);
}

// What a flush cannot reach (the transfers in flight to a USB adapter's chip, and on usb-serial
// the whole queue, since its tty operations have no flush_buffer and the queue goes only at
// close: serial_ops in drivers/usb/serial/usb-serial.c, usb_serial_generic_close() in generic.c)
// makes the kernel's close wait for the device, holding the tty lock, and a tcdrain() still
// waiting keeps the file open; nothing is waited for any more, so those waits are ended. Until
// the last of them has returned, the port stays locked against other programs, and ours; each
// close keeps its own locks, so that a later one cannot release them, and releases them as soon
// as it has finished (looked after every kCloseWatch on the window's own event loop).
void PosixSerialPort::closeDescriptor() noexcept
{
    auto closing = std::make_shared<Closing>(Closing{m_tty.close(m_opened.fd), std::move(m_drain),
                                                     std::move(m_modemQuery), std::move(m_lock)});
    m_lock = PortLock(m_lockFolder);
    m_opened.fd = -1;
    m_modemAnswer.reset();
    const auto end = std::chrono::steady_clock::now() + kQuickClose;
    while (!closing->finished() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (closing->finished())
        return;
    m_closings.add(m_node, m_tty.now(), [closing] { return closing->finished(); });
    m_closings.watch(kCloseWatch);
}
