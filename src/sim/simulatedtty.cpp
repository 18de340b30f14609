#include "sim/simulatedtty.h"

#include <algorithm>
#include <cerrno>

#include <sys/ioctl.h>
#include <sys/sysmacros.h>

namespace {

using Driver = SimulatedTty::Driver;

// How long after an unplug the kernel takes to hang the port up; until then the driver's own
// calls fail with ENODEV, afterwards every call fails with EIO.
constexpr std::chrono::milliseconds kHangUpDelay{5};
// A cdc-acm write buffer: 20 packets of the bulk endpoint's size, 64 bytes at full speed
// (acm->writesize in acm_probe(), drivers/usb/class/cdc-acm.c); ACM_NW of them.
constexpr int kAcmBuffer = 20 * 64;

// What each model is: its driver's queue, the hardware's buffer that the queue feeds, the
// driver's name in sysfs and the device number of its tty (major 4: a UART's ttyS, 188:
// usb-serial's ttyUSB, 166: cdc-acm's ttyACM, 136: a pseudo-terminal's slave), in the order of
// Driver.
struct Model {
    std::size_t queue;
    std::size_t hardware;
    QByteArray name;
    dev_t device;
};

const Model &model(Driver driver)
{
    static const Model models[]{{4096, 16, "serial8250", makedev(4, 64)},
                                {4096, 512, "ftdi_sio", makedev(188, 0)},
                                {4096, 512, "pl2303", makedev(188, 0)},
                                {16 * kAcmBuffer, 0, "cdc_acm", makedev(166, 0)},
                                {22 * 1024, 0, {}, makedev(136, 5)}};
    return models[int(driver)];
}

// A call answered by polling the simulation, on the caller's thread.
class PolledCall final : public TtyCall {
public:
    explicit PolledCall(
        std::function<std::optional<int>()> poll, std::function<void()> interrupt = [] {})
        : m_poll(std::move(poll)), m_interrupt(std::move(interrupt))
    {}
    std::optional<int> result() override { return m_poll(); }
    void interrupt() override { m_interrupt(); }

private:
    std::function<std::optional<int>()> m_poll;
    std::function<void()> m_interrupt;
};

} // namespace

SimulatedTty::SimulatedTty(Driver driver, ClockSource clock)
    : SimulatedLine(std::move(clock)), m_driver(driver)
{
    m_settings.c_cflag = CS8 | CREAD | CLOCAL;
    ::cfsetospeed(&m_settings, B9600);
    ::cfsetispeed(&m_settings, B9600);
}

const QList<SimulatedTty::WireCharacter> &SimulatedTty::wire()
{
    advance();
    return m_wire;
}

bool SimulatedTty::isUsb() const
{
    return m_driver == Driver::UsbSerial || m_driver == Driver::UsbSerialNoTxEmpty;
}

// RTS/CTS stops the line while the device holds off. A pseudo-terminal held off
// (tcflow(TCOOFF)) refuses writes instead, and its reader still reads; a device that cannot
// write its answer to it stops reading.
SimulatedLine::Line SimulatedTty::line() const
{
    const bool pty = m_driver == Driver::PseudoTerminal;
    const bool rtsCts = (m_settings.c_cflag & CRTSCTS) != 0;
    const int data = 5 + int((m_settings.c_cflag & CSIZE) - CS5) / int(CS6 - CS5);
    const int bits = 1 + data + ((m_settings.c_cflag & PARENB) ? 1 : 0) +
                     ((m_settings.c_cflag & CSTOPB) ? 2 : 1);
    // The driver's own speed until the port sets its one.
    const double speed = ::cfgetospeed(&m_settings) == B115200 ? 115200.0 : 9600.0;
    return {.charactersPerSecond = pty ? kPtyReadRate : speed / bits,
            .holdStops = rtsCts && !pty,
            .rtsHandshake = rtsCts || pty,
            .hardware = model(m_driver).hardware};
}

// A character sent while the device holds off without RTS/CTS is lost.
bool SimulatedTty::record(char c, bool held)
{
    m_wire.append({c, ::cfgetospeed(&m_settings), m_settings.c_cflag});
    return m_driver == Driver::PseudoTerminal || !held;
}

// An FTDI chip sends a status packet every latency-timer period, and at the first edge after
// one is due.
void SimulatedTty::addEdges(std::vector<Clock::time_point> &edges, Clock::time_point now) const
{
    if (m_driver == Driver::UsbSerial)
        for (auto tick = m_statusAt + kLatencyTimer; tick <= now; tick += kLatencyTimer)
            edges.push_back(tick);
}

void SimulatedTty::reached(Clock::time_point edge)
{
    if (m_driver == Driver::UsbSerial && edge - m_statusAt >= kLatencyTimer) {
        m_statusAt = edge;
        m_statusEmpty = m_hardware.empty();
    }
}

int SimulatedTty::step()
{
    advance();
    return gone();
}

int SimulatedTty::gone() const
{
    if (!m_unplugged)
        return 0;
    return m_clock() < *unplugTime() + kHangUpDelay ? ENODEV : EIO;
}

int SimulatedTty::open(const QByteArray &)
{
    if (m_closing) {
        ++opensWhileClosing; // the kernel would block here until the close has finished
        return -EINTR;
    }
    if (openError)
        return openError;
    if (m_unplugged)
        return -ENOENT;
    m_open = true;
    ++opens;
    m_queue.insert(m_queue.end(), std::size_t(othersQueue), 'o');
    lineOpened();
    m_statusAt = m_last;
    m_statusEmpty = m_hardware.empty();
    return kFd;
}

std::unique_ptr<TtyCall> SimulatedTty::close(int)
{
    advance();
    if (m_exclusive)
        ++exclusiveSetAtClose;
    m_open = false;
    m_exclusive = false;
    m_closing = true;
    // tty_port_close_start() waits while characters are on their way and the device holds them.
    if (!inFlight() || m_unplugged || m_driver == Driver::PseudoTerminal)
        finishClose();
    // The kernel's closing wait: over once nothing is on its way any more, or when interrupted.
    return std::make_unique<PolledCall>(
        [this]() -> std::optional<int> {
            if (m_closing) {
                advance();
                if (!inFlight() || m_unplugged)
                    finishClose();
            }
            return m_closing ? std::nullopt : std::optional(0);
        },
        [this] {
            if (!m_closing || closeIgnoresSignals)
                return;
            ++closesInterrupted;
            finishClose();
        });
}

void SimulatedTty::finishClose()
{
    cutAtClose += int(dropQueued());
    m_closing = false;
}

// FTDI's driver can ask its chip whether it is empty (tx_empty); PL2303's cannot.
QByteArray SimulatedTty::driverName(dev_t)
{
    return usbDriver.isEmpty() ? model(m_driver).name : usbDriver;
}

int SimulatedTty::deviceNumber(int, dev_t &device)
{
    device = model(m_driver).device;
    return 0;
}

int SimulatedTty::lock(int)
{
    return lockedElsewhere ? -EWOULDBLOCK : 0;
}

int SimulatedTty::isExclusive(int, bool &exclusive)
{
    exclusive = m_exclusive;
    return 0;
}

int SimulatedTty::setExclusive(int, bool exclusive)
{
    m_exclusive = exclusive;
    return 0;
}

int SimulatedTty::getAttributes(int, termios &settings)
{
    if (const int err = step())
        return -err;
    settings = m_settings;
    return 0;
}

int SimulatedTty::setAttributes(int, const termios &settings)
{
    if (const int err = step())
        return -err;
    const bool changed = ::cfgetospeed(&settings) != ::cfgetospeed(&m_settings) ||
                         (settings.c_cflag ^ m_settings.c_cflag) & ~tcflag_t(HUPCL) ||
                         settings.c_iflag != m_settings.c_iflag;
    if (changed)
        ++settingsChanged;
    if (changed && inFlight())
        ++settingsChangedInFlight;
    m_settings = settings;
    if (keepsEightBits || m_driver == Driver::PseudoTerminal)
        m_settings.c_cflag = (m_settings.c_cflag & ~tcflag_t(CSIZE | PARENB)) | CS8;
    const tcflag_t checked = CSIZE | PARENB | CREAD;
    return (m_settings.c_cflag & checked) == (settings.c_cflag & checked) ? 0 : -EINVAL;
}

qint64 SimulatedTty::write(int, const char *data, qint64 size)
{
    if (const int err = step())
        return -err;
    if (m_driver == Driver::PseudoTerminal && heldAt(m_clock()))
        return -EAGAIN; // a stopped pty takes nothing
    const qint64 taken = std::min<qint64>(size, qint64(model(m_driver).queue - m_queue.size()));
    if (taken == 0 && size > 0)
        return -EAGAIN;
    m_queue.insert(m_queue.end(), data, data + taken);
    fill(false);
    if (m_driver != Driver::PseudoTerminal)
        mostQueued = std::max(mostQueued, int(m_queue.size()));
    return taken;
}

qint64 SimulatedTty::read(int, char *data, qint64 size)
{
    if (!echoes) // nothing ever comes in: no need to play the line up to now
        return gone() ? -gone() : -EAGAIN;
    if (const int err = step())
        return -err;
    if (m_input.isEmpty())
        return -EAGAIN;
    const qint64 got = std::min<qint64>(size, m_input.size());
    std::copy_n(m_input.constData(), got, data);
    m_input.remove(0, got);
    return got;
}

int SimulatedTty::queued(int, int &count)
{
    if (step() == ENODEV) {
        count = 0; // the driver has killed its transfers, the hang-up has not come yet
        return 0;
    }
    if (const int err = step())
        return -err;
    switch (m_driver) {
    case Driver::CdcAcm:
        count = int((m_queue.size() + kAcmBuffer - 1) / kAcmBuffer * kAcmBuffer);
        break;
    case Driver::PseudoTerminal:
        count = 0;
        break;
    default:
        count = int(m_queue.size());
    }
    return 0;
}

int SimulatedTty::transmitterEmpty(int, bool &empty)
{
    if (m_driver != Driver::Uart16550 && m_driver != Driver::UsbSerial)
        return -ENOTTY;
    if (const int err = step())
        return -err;
    empty = m_driver == Driver::UsbSerial ? m_statusEmpty : m_hardware.empty();
    return 0;
}

std::unique_ptr<TtyCall> SimulatedTty::drain(int)
{
    return std::make_unique<PolledCall>([this]() -> std::optional<int> {
        if (drainIgnoresSignals && heldAt(m_clock()))
            return std::nullopt;
        // A usb-serial driver whose chip no longer answers takes it as empty
        // (ftdi_tx_empty() in drivers/usb/serial/ftdi_sio.c).
        if (const int err = step())
            return err == ENODEV ? 0 : -err;
        const bool chipUnseen = m_driver == Driver::UsbSerialNoTxEmpty;
        if (m_driver == Driver::PseudoTerminal || (m_queue.empty() && (chipUnseen || !inFlight())))
            return 0;
        return std::nullopt;
    });
}

std::unique_ptr<TtyCall> SimulatedTty::queryModemLines(int fd)
{
    return std::make_unique<PolledCall>([this, fd] {
        const int waited = usbModemCallsWaitedFor;
        int lines = 0;
        const int returned = modemLines(fd, lines);
        usbModemCallsWaitedFor = waited;
        return returned < 0 ? returned : lines;
    });
}

int SimulatedTty::modemLines(int, int &lines)
{
    if (isUsb())
        ++usbModemCallsWaitedFor; // ftdi_sio's and cp210x's ask the chip, for up to 5 s
    if (m_driver == Driver::PseudoTerminal)
        return -ENOTTY;
    if (const int err = step())
        return -err;
    // cdc-acm reports CTS on, whatever the device does (acm_tty_tiocmget() in
    // drivers/usb/class/cdc-acm.c).
    lines = heldAt(m_clock()) && m_driver != Driver::CdcAcm ? 0 : TIOCM_CTS;
    return 0;
}

int SimulatedTty::flushOutput(int)
{
    if (const int err = step())
        return -err;
    ++flushes;
    // usb-serial's tty operations have no flush_buffer (serial_ops in
    // drivers/usb/serial/usb-serial.c): its queue goes only at close.
    if (!isUsb())
        m_queue.clear();
    return 0;
}

// The simulated calls never block: the work is done at once, on the caller's thread.
std::unique_ptr<TtyCall> SimulatedTty::aside(std::function<void()> work)
{
    work();
    return std::make_unique<PolledCall>([] { return 0; });
}

int SimulatedTty::hungUp(int, bool &hungUp)
{
    hungUp = step() == EIO;
    return 0;
}
