#include "sim/simulatedcomm.h"

#include <map>
#include <utility>

namespace {

using Driver = SimulatedComm::Driver;
using namespace commerror;

class SimulatedWrite final : public CommWrite {
public:
    explicit SimulatedWrite(std::function<std::optional<CommError>(qint64 &)> poll)
        : m_poll(std::move(poll))
    {}
    std::optional<CommError> result() override { return m_poll(m_written); }
    qint64 written() const override { return m_written; }
    qintptr event() const override { return 0; }

private:
    std::function<std::optional<CommError>(qint64 &)> m_poll;
    qint64 m_written = 0;
};

} // namespace

SimulatedComm::SimulatedComm(Driver driver, ClockSource clock)
    : SimulatedLine(std::move(clock)), m_driver(driver)
{
    if (driver == Driver::VirtualPort)
        statusRefusedWith = kNotSupported;
}

// The pending write feeds the driver's buffer (or, on serial.sys and usbser.sys, the hardware
// straight away), and that the hardware: a UART's FIFO, an FTDI chip's buffer or a bridge's.
std::size_t SimulatedComm::bufferSize() const
{
    switch (m_driver) {
    case Driver::FtdiVcp:
        return 4096;
    case Driver::WinePty:
        return 22 * 1024;
    default:
        return 0;
    }
}

std::size_t SimulatedComm::hardwareSize() const
{
    switch (m_driver) {
    case Driver::Serial16550:
    case Driver::VirtualPort:
    case Driver::Bluetooth:
        return 16;
    case Driver::FtdiVcp:
        return std::size_t(chipBuffer);
    case Driver::UsbSer:
        return std::size_t(bridgeBuffer);
    default:
        return 0;
    }
}

bool SimulatedComm::isOpen()
{
    settleOpenings();
    return m_open;
}

bool SimulatedComm::unpluggedBy(Clock::time_point t) const
{
    const auto unplug = unplugTime();
    return m_unplugged || (unplug && t >= *unplug);
}

// A close that hangs ends when the device takes what the chip holds, or the adapter is pulled.
bool SimulatedComm::closeDone() const
{
    return !m_closeHangs || !heldAt(m_clock()) || unpluggedBy(m_clock());
}

const QList<SimulatedComm::WireCharacter> &SimulatedComm::wire()
{
    advance();
    return m_wire;
}

// With CTS flow control the line stops while the device holds off; a CDC-ACM device stops it
// whatever CTS says, by not taking the transfers. A held-off pseudo-terminal takes nothing more
// into its buffer, but its reader still reads.
SimulatedLine::Line SimulatedComm::line() const
{
    const bool pty = m_driver == Driver::WinePty;
    const int bits =
        1 + m_settings.byteSize + (m_settings.parity ? 1 : 0) + (m_settings.stopBits == 2 ? 2 : 1);
    return {.charactersPerSecond = pty ? kPtyReadRate : double(m_settings.baudRate) / bits,
            .holdStops = m_driver == Driver::UsbSer || (!pty && m_settings.outxCtsFlow),
            .rtsHandshake = m_settings.rtsControl == CommSettings::Rts::Handshake || pty,
            .buffer = bufferSize(),
            .hardware = hardwareSize(),
            .refusesHeld = pty};
}

bool SimulatedComm::record(char c, bool)
{
    m_wire.append({c, m_settings});
    return true;
}

CommError SimulatedComm::gone(CommError asRemoved)
{
    advance();
    if (!m_unplugged)
        return kSuccess;
    return m_driver == Driver::WinePty ? kNotReady : asRemoved;
}

void SimulatedComm::advance()
{
    settleOpenings();
    SimulatedLine::advance();
}

// One CreateFile() call: it returns at `at`, on a thread of its own, whether or not its caller
// is still there to take the handle.
struct SimulatedComm::Opening {
    Clock::time_point at;
    bool returned = false;
    bool abandoned = false;
    bool taken = false;
    CommError result = kSuccess;
    Handle handle = 0;
};

void SimulatedComm::settleOpenings()
{
    for (const std::shared_ptr<Opening> &opening : m_openings) {
        if (opening->returned || m_clock() < opening->at)
            continue;
        opening->result = openNow(opening->handle);
        opening->returned = true;
        if (opening->abandoned && opening->result == kSuccess)
            m_open = false; // its thread closes what its caller gave up on
    }
    std::erase_if(m_openings, [](const auto &opening) { return opening->returned; });
}

std::unique_ptr<CommOpening> SimulatedComm::open(const QString &)
{
    class Call final : public CommOpening {
    public:
        Call(SimulatedComm &comm, std::shared_ptr<Opening> state)
            : m_comm(comm), m_state(std::move(state))
        {}
        ~Call() override { abandon(); }
        std::optional<CommError> result(qintptr &handle) override
        {
            m_comm.settleOpenings();
            if (!m_state->returned || m_state->abandoned)
                return std::nullopt;
            m_state->taken = true;
            handle = m_state->handle;
            return m_state->result;
        }
        void abandon() override
        {
            if (m_state->taken || m_state->abandoned)
                return;
            m_state->abandoned = true;
            if (m_state->returned && m_state->result == kSuccess)
                m_comm.m_open = false; // the thread, waiting for the caller's word, closes it
        }
        bool finished() override
        {
            m_comm.settleOpenings();
            return m_state->returned;
        }

    private:
        SimulatedComm &m_comm;
        std::shared_ptr<Opening> m_state;
    };
    const auto connect = m_driver == Driver::Bluetooth ? Clock::duration(kBluetoothConnect)
                                                       : Clock::duration::zero();
    auto state = std::make_shared<Opening>();
    state->at = m_clock() + connect;
    m_openings.push_back(state);
    return std::make_unique<Call>(*this, std::move(state));
}

CommError SimulatedComm::openNow(Handle &handle)
{
    if (m_driver == Driver::Bluetooth && outOfReach)
        return kSemTimeout;
    if (m_unplugged || missing)
        return kFileNotFound;
    if ((openedElsewhere || m_open || !closeDone()) && m_driver != Driver::WinePty)
        return kAccessDenied;
    m_open = true;
    m_closeHangs = false;
    lineOpened();
    handle = kHandle;
    if (opened)
        opened();
    return kSuccess;
}

std::unique_ptr<CommClosing> SimulatedComm::close(Handle handle, const QString &, bool purge,
                                                  std::unique_ptr<CommWrite>)
{
    class Closing final : public CommClosing {
    public:
        explicit Closing(SimulatedComm &comm) : m_comm(comm) {}
        bool done() override { return m_comm.closeDone(); }

    private:
        SimulatedComm &m_comm;
    };
    if (purge)
        this->purge(handle, true, true);
    advance();
    const bool hangs = m_driver == Driver::FtdiVcp && !m_hardware.empty() && heldAt(m_clock());
    // A pseudo-terminal keeps what it holds for its reader, which reads it all in time.
    if (m_driver == Driver::WinePty)
        for (const char c : std::exchange(m_buffer, {})) {
            m_wire.append({c, m_settings});
            m_received.append(c);
        }
    cutAtClose += int(dropQueued());
    m_open = false;
    // Meanwhile the port is still open to the system: a new open is refused as in use.
    m_closeHangs = hangs;
    return std::make_unique<Closing>(*this);
}

CommError SimulatedComm::getState(Handle, CommSettings &settings)
{
    if (const CommError error = gone())
        return error;
    if (notSerial)
        return kInvalidFunction;
    settings = leftover.value_or(m_settings);
    if (m_driver == Driver::WinePty) {
        settings.byteSize = 8;
        settings.rtsControl = CommSettings::Rts::Enable;
    }
    return kSuccess;
}

CommError SimulatedComm::setState(Handle, const CommSettings &settings)
{
    if (const CommError error = gone())
        return error;
    if (refusesSevenBits && settings.byteSize == 7)
        return kInvalidParameter;
    if (settings.xonChar == settings.xoffChar || settings.xonLimit > kInputBuffer ||
        settings.xoffLimit > kInputBuffer)
        return kInvalidParameter;
    leftover.reset();
    if (!(settings == m_settings) && inFlight())
        ++settingsChangedInFlight;
    m_settings = settings;
    if (keepsEightBits)
        m_settings.byteSize = 8;
    return m_driver == Driver::WinePty && settings.byteSize != 8 ? kInvalidParameter : kSuccess;
}

CommError SimulatedComm::setTimeouts(Handle)
{
    return gone();
}

CommError SimulatedComm::write(Handle, const QByteArray &data, std::unique_ptr<CommWrite> &started)
{
    if (const CommError error = gone())
        return error;
    m_queue.insert(m_queue.end(), data.begin(), data.end());
    fill(heldAt(m_clock()));
    const quint64 id = ++m_writes;
    const qint64 size = data.size();
    const Clock::time_point startedAt = m_clock();
    started = std::make_unique<SimulatedWrite>(
        [this, id, size, startedAt](qint64 &written) -> std::optional<CommError> {
            if (const CommError error = gone(kOperationAborted))
                return error;
            if (id != m_writes)
                return kOperationAborted; // purged
            // FTDI's driver ends a write the device has held off for a second with what it took.
            if (m_driver == Driver::FtdiVcp && !m_queue.empty() && heldAt(m_clock()) &&
                m_clock() - startedAt >= std::chrono::seconds(1)) {
                written = size - qint64(m_queue.size());
                m_queue.clear();
                ++shortWrites;
                return kSuccess;
            }
            if (!m_queue.empty())
                return std::nullopt;
            written = size;
            return kSuccess;
        });
    return kSuccess;
}

CommError SimulatedComm::clearError(Handle, CommStatus &status)
{
    if (const CommError error = gone())
        return error;
    if (statusRefusedWith)
        return statusRefusedWith;
    status.outQueue = 0;
    if (m_driver != Driver::WinePty)
        status.outQueue = quint32(m_queue.size() + m_buffer.size());
    status.inQueue = quint32(m_input.size());
    status.ctsHold = m_driver != Driver::WinePty && m_driver != Driver::UsbSer &&
                     m_settings.outxCtsFlow && heldAt(m_clock()) && inFlight();
    return kSuccess;
}

CommError SimulatedComm::modemStatus(Handle, bool &clearToSend)
{
    if (m_driver == Driver::WinePty)
        return kNotSupported;
    if (const CommError error = gone(kGenFailure))
        return error;
    if (statusRefusedWith)
        return statusRefusedWith;
    Clock::time_point seen = m_clock();
    if (m_driver == Driver::FtdiVcp) { // as of the chip's last status packet
        const Clock::duration period =
            echoes ? std::chrono::milliseconds(16) : std::chrono::milliseconds(40);
        seen -= (seen - m_openedAt) % period;
    }
    clearToSend = m_driver != Driver::UsbSer && !heldAt(seen);
    return kSuccess;
}

CommError SimulatedComm::purge(Handle, bool output, bool input)
{
    if (const CommError error = gone(kDeviceNotConnected))
        return error;
    ++purges;
    if (output) {
        ++m_writes; // a pending write completes as aborted
        m_queue.clear();
        m_buffer.clear();
    }
    if (input)
        m_input.clear();
    return kSuccess;
}

QString SimulatedComm::errorText(CommError error) const
{
    // The system's words where a test reads the whole message; other errors give their code.
    static const std::map<CommError, const char *> texts{
        {kNotReady, "The device is not ready."},
        {kInvalidParameter, "The parameter is incorrect."},
        {kInvalidFunction, "Incorrect function."},
        {kSemTimeout, "The semaphore timeout period has expired."}};
    const auto text = texts.find(error);
    return text == texts.end() ? QStringLiteral("Error %1.").arg(error)
                               : QString::fromLatin1(text->second);
}
