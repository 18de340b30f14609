#include "platform/serial/posix/posixserialport.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "platform/serial/posix/baudrates.h"
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
// f81534.c). Any other driver is taken not to see its chip.
bool drainWaitsForChip(const QByteArray &driver)
{
    static const QList<QByteArray> seeing{"ftdi_sio", "cp210x",           "io_ti",
                                          "mxuport",  "ti_usb_3410_5052", "f81534"};
    return seeing.contains(driver);
}

QString dataBitsText(tcflag_t flags)
{
    return QStringLiteral("%1 data bits").arg(5 + int((flags & CSIZE) - CS5) / int(CS6 - CS5));
}

} // namespace

PosixSerialPort::PosixSerialPort(Tty &tty, PortMapping mapping, const QString &lockFolder)
    : m_tty(tty), m_mapping(std::move(mapping)), m_lock(lockFolder), m_lockFolder(lockFolder)
{}

// A close still under way at the end is left to finish on its own; the process's end releases
// the descriptor's flock, and the lock file names a process that has ended.
PosixSerialPort::~PosixSerialPort()
{
    discardAndClose();
}

void PosixSerialPort::setPortNumber(qint16 number)
{
    if (number < 1)
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(number));
    m_number = number;
}

QString PosixSerialPort::describe() const
{
    if (m_path.isEmpty())
        return QStringLiteral("COM%1").arg(m_number);
    if (m_node != m_path)
        return QStringLiteral("COM%1 (%2 \u2192 %3)").arg(m_number).arg(m_path, m_node);
    return QStringLiteral("COM%1 (%2)").arg(m_number).arg(m_path);
}

void PosixSerialPort::open()
{
    if (isOpen())
        throw OperatorError(QStringLiteral("%1 is already open.").arg(describe()));
    finishEarlierClose();
    m_path.clear();
    m_path = m_mapping(m_number);
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    m_node = canonical.isEmpty() ? m_path : canonical;
    // The kernel would make this open() wait, on the window's thread, until the earlier close
    // has finished (tty_open_by_driver() in drivers/tty/tty_io.c takes the tty lock it holds).
    if (std::any_of(m_closings.begin(), m_closings.end(),
                    [this](const Closing &closing) { return closing.node == m_node; }))
        throw OperatorError(QStringLiteral("%1 is still being closed after the last upload: its "
                                           "driver is waiting for the device to take what was "
                                           "left. Wait a moment, then upload again.")
                                .arg(describe()));
    QStringList lockNames{m_node};
    if (m_node != m_path)
        lockNames.append(m_path);
    struct stat node {};
    const dev_t device =
        ::stat(QFile::encodeName(m_node).constData(), &node) == 0 && S_ISCHR(node.st_mode)
            ? node.st_rdev
            : 0;
    m_lock.acquire(lockNames, describe(), device);
    // Opening would raise DTR and RTS on another program's port (tty_port_block_til_ready() in
    // drivers/tty/tty_port.c), where a low line may be a reset or boot line held on purpose.
    if (const pid_t holder = m_tty.lockHolder(QFile::encodeName(m_node)); holder > 0) {
        m_lock.release();
        if (holder == ::getpid()) // a call of ours on the last upload's descriptor still runs
            throw OperatorError(QStringLiteral("%1 is still being closed after the last upload. "
                                               "Wait a moment, then upload again.")
                                    .arg(describe()));
        throw OperatorError(QStringLiteral("%1 is in use by another program (process %2).")
                                .arg(describe())
                                .arg(holder));
    }

    const int fd = m_tty.open(QFile::encodeName(m_path));
    if (fd < 0) {
        m_lock.release();
        failOpen(-fd);
    }
    m_fd = fd;
    try {
        takeOwnership();
    } catch (...) {
        // Another program's port: its queue and its settings are left as they are.
        closeDescriptor();
        throw;
    }
    try {
        configure();
    } catch (...) {
        discardAndClose();
        throw;
    }
}

// Every check that can find the port in use comes before anything on it is changed.
void PosixSerialPort::takeOwnership()
{
    const QString inUse = QStringLiteral("%1 is in use by another program.").arg(describe());
    const int locked = m_tty.lock(m_fd);
    if (locked == -EWOULDBLOCK)
        throw OperatorError(inUse);
    // Where the open could not be made without CAP_SYS_ADMIN (KernelTty::open()), it succeeds
    // on a port another program holds in exclusive mode; the flag still says so.
    bool exclusive = false;
    if (m_tty.isExclusive(m_fd, exclusive) == 0 && exclusive)
        throw OperatorError(inUse);
    m_setExclusive = m_tty.setExclusive(m_fd, true) == 0;

    dev_t device = 0;
    m_kind = Kind::Uart;
    m_chipUnseen = false;
    if (m_tty.deviceNumber(m_fd, device) == 0) {
        if (isPseudoTerminal(device))
            m_kind = Kind::PseudoTerminal;
        else if (major(device) == kUsbSerialMajor)
            m_kind = Kind::UsbSerial;
        else if (major(device) == kAcmMajor)
            m_kind = Kind::Acm;
        m_chipUnseen = m_kind == Kind::Acm ||
                       (m_kind == Kind::UsbSerial && !drainWaitsForChip(m_tty.driverName(device)));
    }
}

void PosixSerialPort::configure()
{
    const speed_t speed = speedForBaud(m_settings.baudRate);
    if (speed == B0)
        throw OperatorError(
            QStringLiteral("%1: %2 baud is not a speed a serial port can be set to.")
                .arg(describe())
                .arg(m_settings.baudRate));
    termios wanted{};
    if (const int err = m_tty.getAttributes(m_fd, wanted))
        failLost(err);
    ::cfmakeraw(&wanted);
    wanted.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    wanted.c_cflag |= CLOCAL | CREAD;
    wanted.c_cflag |= m_settings.dataBits == 5   ? CS5
                      : m_settings.dataBits == 6 ? CS6
                      : m_settings.dataBits == 7 ? CS7
                                                 : CS8;
    if (m_settings.parity != Parity::None)
        wanted.c_cflag |= PARENB | (m_settings.parity == Parity::Odd ? PARODD : 0);
    if (m_settings.stopBits == 2)
        wanted.c_cflag |= CSTOPB;
    if (m_handshaking == Handshaking::RtsCts)
        wanted.c_cflag |= CRTSCTS;
    wanted.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    if (m_handshaking == Handshaking::XonXoff)
        wanted.c_iflag |= IXON | IXOFF;
    wanted.c_cc[VMIN] = 0;
    wanted.c_cc[VTIME] = 0;
    ::cfsetospeed(&wanted, speed);
    ::cfsetispeed(&wanted, speed);
    // glibc's tcsetattr() reads the settings back after the kernel has taken them, and reports
    // EINVAL when the driver kept another character size, parity or CREAD
    // (sysdeps/unix/sysv/linux/tcsetattr.c); the settings are in force all the same, and the
    // read-back below says which were kept.
    if (const int err = m_tty.setAttributes(m_fd, wanted); err && err != -EINVAL)
        failOpen(-err);

    // A driver keeps what it can of the settings without failing; sending with the rest would
    // garble every character. A pseudo-terminal always keeps 8 data bits and no parity, and has
    // no line for them to matter on.
    termios kept{};
    if (const int err = m_tty.getAttributes(m_fd, kept))
        failLost(err);
    QStringList refused;
    if (::cfgetospeed(&kept) != speed)
        refused.append(QStringLiteral("%1 baud").arg(baudForSpeed(::cfgetospeed(&kept))));
    const bool pty = m_kind == Kind::PseudoTerminal;
    if (!pty && (kept.c_cflag & CSIZE) != (wanted.c_cflag & CSIZE))
        refused.append(dataBitsText(kept.c_cflag));
    if (!pty && (kept.c_cflag & (PARENB | PARODD)) != (wanted.c_cflag & (PARENB | PARODD)))
        refused.append(QStringLiteral("a different parity"));
    if ((kept.c_cflag & CSTOPB) != (wanted.c_cflag & CSTOPB))
        refused.append(kept.c_cflag & CSTOPB ? QStringLiteral("2 stop bits")
                                             : QStringLiteral("1 stop bit"));
    if ((kept.c_cflag & CRTSCTS) != (wanted.c_cflag & CRTSCTS))
        refused.append(kept.c_cflag & CRTSCTS ? QStringLiteral("RTS/CTS handshaking")
                                              : QStringLiteral("no RTS/CTS handshaking"));
    if (!refused.isEmpty())
        throw OperatorError(QStringLiteral("%1 does not take the line settings %2 baud, %3, %4, "
                                           "%5 stop bits%6: its driver kept %7. Nothing was sent.")
                                .arg(describe())
                                .arg(m_settings.baudRate)
                                .arg(dataBitsText(wanted.c_cflag))
                                .arg(m_settings.parity == Parity::None ? "no parity" : "parity")
                                .arg(m_settings.stopBits)
                                .arg(m_handshaking == Handshaking::RtsCts ? ", RTS/CTS" : "")
                                .arg(refused.join(QStringLiteral(", "))));

    m_wire.start(m_settings, m_tty.now());
    m_inputReadAt = m_tty.now();
    discardInput(); // whatever waited there from before is not this device's answer
}

void PosixSerialPort::failOpen(int err)
{
    const QString reason = systemReason(err);
    const QString node = QFileInfo(m_node).fileName();
    switch (err) {
    case EACCES:
    case EPERM: {
        // Only membership of the device's own group helps, and only where that group may read
        // and write it: dialout on Debian, uucp elsewhere; never tty, which may only write. A
        // node that cannot be looked at is taken for Debian's serial port, group dialout.
        const QFileInfo device(m_node);
        const QString group = device.exists() ? device.group() : QStringLiteral("dialout");
        const bool groupMayUse =
            !device.exists() || device.permission(QFileDevice::ReadGroup | QFileDevice::WriteGroup);
        if (groupMayUse && !group.isEmpty() && group != QLatin1String("root") &&
            group != QLatin1String("tty"))
            throw OperatorError(QStringLiteral("Cannot open %1: %2. Add your user to the '%3' "
                                               "group and log in again.")
                                    .arg(describe(), reason, group));
        throw OperatorError(QStringLiteral("Cannot open %1: %2. %3 belongs to user '%4' (group "
                                           "'%5'), and only they may open it.")
                                .arg(describe(), reason, m_node, device.owner(), group));
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        throw OperatorError(QStringLiteral("Cannot open %1: %2. Check that the serial adapter is "
                                           "plugged in.")
                                .arg(describe(), reason));
    case EIO:
        if (node.startsWith(QLatin1String("ttyS")))
            throw OperatorError(QStringLiteral("Cannot open %1: %2. There is no serial port "
                                               "hardware behind %3; choose the port your device "
                                               "is connected to.")
                                    .arg(describe(), reason, m_node));
        break;
    case EBUSY:
        if (node.startsWith(QLatin1String("ttyACM")))
            throw OperatorError(QStringLiteral("%1 is busy. A device that has just been plugged "
                                               "in is often probed by ModemManager for a few "
                                               "seconds: wait a moment, then upload again.")
                                    .arg(describe()));
        throw OperatorError(QStringLiteral("%1 is in use by another program.").arg(describe()));
    default:
        break;
    }
    throw OperatorError(QStringLiteral("Cannot open %1: %2").arg(describe(), reason));
}

void PosixSerialPort::failLost(int err)
{
    throw OperatorError(QStringLiteral("Lost the connection to %1: %2. Check that the device is "
                                       "connected, then upload again.")
                            .arg(describe(), systemReason(std::abs(err))));
}

void PosixSerialPort::requireOpen() const
{
    if (!isOpen())
        throw OperatorError(QStringLiteral("%1 is not open.").arg(describe()));
}

void PosixSerialPort::push()
{
    while (held() > 0) {
        const qint64 written = m_tty.write(m_fd, m_held.constData() + m_heldStart, held());
        if (written == -EAGAIN || written == 0)
            return; // the kernel takes no more for now
        if (written < 0)
            failLost(int(written));
        m_heldStart += written;
        if (m_kind == Kind::PseudoTerminal)
            m_wire.handedOver(written, m_tty.now());
    }
    m_held.clear();
    m_heldStart = 0;
}

void PosixSerialPort::discardInput()
{
    char dropped[4096];
    while (m_tty.read(m_fd, dropped, sizeof dropped) == qint64(sizeof dropped)) {
    }
}

qint64 PosixSerialPort::estimatedInKernel() const
{
    return m_wire.stillOnWire(m_tty.now());
}

qint64 PosixSerialPort::queuedCount()
{
    requireOpen();
    push();
    if (const auto now = m_tty.now(); now - m_inputReadAt >= kInputEvery) {
        m_inputReadAt = now;
        discardInput();
    }
    // A pseudo-terminal keeps no count (TIOCOUTQ is always 0): the port's own estimate stands
    // in, and as on a UART, the last characters on their way are not counted.
    if (m_kind == Kind::PseudoTerminal)
        return held() + std::max<qint64>(0, estimatedInKernel() - WireClock::kUncountedCharacters);
    int inKernel = 0;
    if (const int err = m_tty.queued(m_fd, inKernel))
        failLost(err);
    return held() + inKernel;
}

void PosixSerialPort::output(const QByteArray &data)
{
    requireOpen();
    m_drain.reset();
    m_clearSpan.reset();
    m_held.append(data);
    push();
}

// A UART's line status register says when its shift register is empty (TIOCSERGETLSR,
// serial8250_tx_empty() in drivers/tty/serial/8250/8250_port.c reads it from the chip). A USB
// adapter's driver answers the same call from the status bytes of the last packet that came in
// (ftdi_sio's get_lsr_info()), up to one latency-timer period (16 ms by default) old; tcdrain()
// instead asks the chip itself where the driver can (tx_empty, ftdi_tx_empty() in
// drivers/usb/serial/ftdi_sio.c). So only a UART is asked for its line status.
bool PosixSerialPort::transmitterEmpty()
{
    if (m_kind == Kind::PseudoTerminal)
        return estimatedInKernel() == 0;
    if (m_kind == Kind::Uart) {
        bool empty = false;
        const int answered = m_tty.transmitterEmpty(m_fd, empty);
        if (answered == 0)
            return empty;
        if (!unanswered(answered))
            failLost(answered);
    }
    if (!m_drain)
        m_drain = m_tty.drain(m_fd);
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
bool PosixSerialPort::adapterHadItsTime()
{
    return !m_chipUnseen || m_clearSpan.lasted(clearToSend(), m_tty.now(), m_wire.characterTime());
}

// A USB adapter that was pulled can still report an empty queue until the kernel hangs the port
// up; asking for the modem lines reaches the device itself and fails with ENODEV then.
void PosixSerialPort::checkConnected()
{
    bool hungUp = false;
    if (const int err = m_tty.hungUp(m_fd, hungUp))
        failLost(err);
    if (hungUp)
        failLost(EIO);
    int lines = 0;
    const std::optional<int> answered = askModemLines(lines);
    if (answered && *answered < 0 && !unanswered(*answered))
        failLost(*answered);
}

// A USB adapter's modem lines are asked on a thread of their own (see TtyModemQuery): this
// gives the last answer that has come, and asks again once it has. Other drivers answer from
// what they already know, at once.
std::optional<int> PosixSerialPort::askModemLines(int &lines)
{
    if (m_kind != Kind::UsbSerial)
        return m_tty.modemLines(m_fd, lines);
    if (!m_modemQuery)
        m_modemQuery = m_tty.queryModemLines(m_fd);
    int answer = 0;
    if (const std::optional<int> returned = m_modemQuery->result(answer)) {
        m_modemAnswer = returned;
        m_modemLines = answer;
        m_modemQuery.reset();
    }
    lines = m_modemLines;
    return m_modemAnswer;
}

bool PosixSerialPort::delivered()
{
    if (queuedCount() > 0 || !transmitterEmpty()) {
        m_clearSpan.reset();
        return false;
    }
    checkConnected();
    return adapterHadItsTime();
}

ClearToSend PosixSerialPort::clearToSend()
{
    requireOpen();
    int lines = 0;
    const std::optional<int> answered = askModemLines(lines);
    if (answered && *answered < 0 && !unanswered(*answered))
        failLost(*answered);
    if (!answered || *answered < 0)
        return ClearToSend::Unknown;
    return (lines & TIOCM_CTS) ? ClearToSend::On : ClearToSend::Off;
}

qintptr PosixSerialPort::wakeHandle() const
{
    return isOpen() && held() > 0 ? m_tty.watchable(m_fd) : -1;
}

qint64 PosixSerialPort::dropHeld() noexcept
{
    const qint64 dropped = held();
    m_held.clear();
    m_heldStart = 0;
    return dropped;
}

void PosixSerialPort::discardAndClose() noexcept
{
    if (!isOpen())
        return;
    m_clearSpan.reset();
    // What is still queued is dropped, so that close() does not wait on it. An empty queue is
    // not flushed: on a pseudo-terminal that would also drop what the device has not read yet.
    int inKernel = 0;
    const bool failed = m_tty.queued(m_fd, inKernel) != 0;
    if (failed || inKernel > 0 || held() > 0 ||
        (m_kind == Kind::PseudoTerminal && estimatedInKernel() > 0))
        m_tty.flushOutput(m_fd);
    dropHeld();
    if (m_setExclusive)
        m_tty.setExclusive(m_fd, false);
    m_setExclusive = false;
    closeDescriptor();
}

// What a flush cannot reach (the transfers in flight to a USB adapter's chip) makes the kernel's
// close wait for the device, holding the tty lock, and a tcdrain() still waiting keeps the file
// open; nothing is waited for any more, so those waits are ended. Until the last of them has
// returned, the port stays locked against other programs, and ours; each close keeps its own
// locks, so that a later one cannot release them.
void PosixSerialPort::closeDescriptor() noexcept
{
    Closing closing{m_tty.close(m_fd), std::move(m_drain), std::move(m_modemQuery),
                    std::move(m_lock), m_node};
    m_lock = PortLock(m_lockFolder);
    m_fd = -1;
    m_modemAnswer.reset();
    const auto end = std::chrono::steady_clock::now() + kCloseWait;
    while (!closing.finished() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!closing.finished())
        m_closings.push_back(std::move(closing));
}

// Interrupts what still waits, and tells whether all of it has returned.
bool PosixSerialPort::Closing::finished()
{
    close->interrupt();
    if (drain)
        drain->interrupt();
    int lines = 0;
    return close->done() && (!drain || drain->result()) &&
           (!modemQuery || modemQuery->result(lines));
}

void PosixSerialPort::finishEarlierClose()
{
    std::erase_if(m_closings, [](Closing &closing) { return closing.finished(); });
}
