#include "platform/serial/windows/win32serialport.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>
#include <utility>

#include <QStringList>

#include "platform/operatorerror.h"

namespace {

using namespace commerror;

CommSettings settingsFor(const LineSettings &line, Handshaking handshaking)
{
    CommSettings wanted;
    wanted.baudRate = quint32(line.baudRate);
    wanted.byteSize = quint8(line.dataBits);
    wanted.parity = line.parity == Parity::None ? 0 : line.parity == Parity::Odd ? 1 : 2;
    wanted.stopBits = line.stopBits == 2 ? 2 : 0;
    wanted.outxCtsFlow = handshaking == Handshaking::RtsCts;
    wanted.rtsControl = handshaking == Handshaking::RtsCts ? CommSettings::Rts::Handshake
                                                           : CommSettings::Rts::Enable;
    wanted.outX = wanted.inX = handshaking == Handshaking::XonXoff;
    return wanted;
}

// How drivers say they cannot answer a call at all (a virtual port's status calls): no
// information, unlike the codes of a device that is gone.
bool unanswered(CommError error)
{
    return error == kInvalidFunction || error == kNotSupported || error == kInvalidParameter;
}

} // namespace

Win32SerialPort::Win32SerialPort(Comm &comm, std::function<QString(int)> mapping,
                                 std::function<QString(int)> missing)
    : m_comm(comm), m_mapping(std::move(mapping)), m_missing(std::move(missing))
{}

Win32SerialPort::~Win32SerialPort()
{
    discardAndClose();
}

void Win32SerialPort::setPortNumber(qint16 number)
{
    if (number < 1)
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(number));
    m_number = number;
}

QString Win32SerialPort::describe() const
{
    return QStringLiteral("COM%1").arg(m_number);
}

void Win32SerialPort::open()
{
    if (startOpen())
        return;
    while (!opened())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Win32SerialPort::settleCloses()
{
    std::erase_if(m_closings, [](Closing &closing) { return closing.closing->done(); });
    std::erase_if(m_abandoned, [](Abandoned &opening) { return opening.opening->finished(); });
}

// Nothing here waits: the caller polls opened() while the window's events go on.
bool Win32SerialPort::startOpen()
{
    if (isOpen() || m_opening || m_openAfterClose)
        throw OperatorError(QStringLiteral("%1 is already open.").arg(describe()));
    settleCloses();
    if (std::any_of(m_abandoned.begin(), m_abandoned.end(),
                    [this](const Abandoned &opening) { return opening.number == m_number; }))
        throw OperatorError(QStringLiteral("%1 is still being opened for the upload that was "
                                           "cancelled: Windows has not finished connecting to it. "
                                           "Wait a moment, then upload again.")
                                .arg(describe()));
    m_path = m_mapping(m_number);
    m_openAfterClose = true;
    return opened();
}

QString Win32SerialPort::stillClosingText(std::chrono::steady_clock::duration closingFor) const
{
    if (closingFor < kCloseHangs)
        return QStringLiteral("%1 is still being closed after the last upload: its driver has not "
                              "let go of it yet. Wait a moment, then upload again.")
            .arg(describe());
    // A driver that hangs in its close (FTDI's, while its chip holds what the device holds off)
    // lets go when its device is removed: on a surprise removal a driver must complete the
    // requests it holds (Microsoft's page "Handling an IRP_MN_SURPRISE_REMOVAL Request").
    return QStringLiteral("%1 is still being closed after the last upload: its driver has not let "
                          "go of it for %2 s, and may not while the device holds off what the "
                          "adapter still has. Unplug the adapter and plug it in again to free "
                          "the port, then upload again.")
        .arg(describe())
        .arg(std::chrono::duration_cast<std::chrono::seconds>(closingFor).count());
}

void Win32SerialPort::abandonOpen() noexcept
{
    m_openAfterClose = false;
    if (m_opening) {
        m_opening->abandon();
        m_abandoned.push_back({m_number, std::move(m_opening)});
    }
}

bool Win32SerialPort::opened()
{
    if (isOpen())
        return true;
    if (m_openAfterClose) {
        // Windows would refuse the open as if another program had the port: a close of it that
        // has only just begun is waited for, a longer one told.
        settleCloses();
        const auto ours = std::find_if(m_closings.begin(), m_closings.end(),
                                       [this](const Closing &c) { return c.number == m_number; });
        if (ours != m_closings.end()) {
            const auto closingFor = m_comm.now() - ours->since;
            if (closingFor < kCloseWait)
                return false;
            m_openAfterClose = false;
            throw OperatorError(stillClosingText(closingFor));
        }
        m_openAfterClose = false;
        m_opening = m_comm.open(m_path);
    }
    if (!m_opening)
        return false;
    Comm::Handle handle = 0;
    const std::optional<CommError> result = m_opening->result(handle);
    if (!result)
        return false;
    m_opening.reset();
    // Windows opens a COM port for one program at a time: another program's port is refused
    // with ERROR_ACCESS_DENIED before anything on it can be touched.
    switch (*result) {
    case kSuccess:
        break;
    case kAccessDenied:
    case kSharingViolation:
        if (m_comm.closingInThisProgram(m_path))
            throw OperatorError(QStringLiteral("%1 is held by an earlier copy of this program, "
                                               "whose close of the port has not ended: its driver "
                                               "has not let go of it. Unplug the adapter and plug "
                                               "it in again to free the port (the earlier copy "
                                               "then ends too), then upload again.")
                                    .arg(describe()));
        throw OperatorError(QStringLiteral("%1 is in use by another program. Close the program "
                                           "that has it open, then upload again.")
                                .arg(describe()));
    case kFileNotFound:
    case kPathNotFound:
        throw OperatorError(m_missing(m_number));
    case kSemTimeout: // a Bluetooth port that could not reach its device when it connected
        throw OperatorError(QStringLiteral("Cannot open %1: %2 Its device did not answer in "
                                           "time: a Bluetooth port connects to its device when "
                                           "it is opened. Check that the device is switched on, "
                                           "in range and paired, then upload again.")
                                .arg(describe(), m_comm.errorText(*result)));
    case kDeviceNotConnected:
        throw OperatorError(QStringLiteral("Cannot open %1: %2 Plug the adapter in, or switch the "
                                           "device on, then upload again.")
                                .arg(describe(), m_comm.errorText(*result)));
    default:
        throw OperatorError(
            QStringLiteral("Cannot open %1: %2").arg(describe(), m_comm.errorText(*result)));
    }
    m_handle = handle;
    m_open = true;
    m_handedOver = 0;
    m_lastOutQueue = 0;
    m_departedWhenCtsOff.reset();
    m_blindPurgedAt.reset();
    m_noCtsLine = !m_comm.reportsCts(m_path);
    m_ctsUnknown = m_noCtsLine;
    try {
        configure();
    } catch (...) {
        discardAndClose();
        throw;
    }
    return true;
}

void Win32SerialPort::configure()
{
    const CommSettings wanted = settingsFor(m_settings, m_handshaking);
    const QString settingsText =
        QStringLiteral("%1 baud, %2 data bits, %3, %4 stop bits%5")
            .arg(m_settings.baudRate)
            .arg(m_settings.dataBits)
            .arg(m_settings.parity == Parity::None ? "no parity" : "parity")
            .arg(m_settings.stopBits)
            .arg(m_handshaking == Handshaking::RtsCts ? ", RTS/CTS" : "");
    CommSettings current;
    if (const CommError error = m_comm.getState(m_handle, current))
        failLost(error);
    // A Windows driver refuses what it cannot do in SetCommState() itself (serial.sys answers
    // an unsupported byte size with ERROR_INVALID_PARAMETER). Under Wine that answer is glibc's
    // about a pseudo-terminal, whose settings do not matter (see Comm::underWine()).
    const CommError refused = m_comm.setState(m_handle, wanted);
    if (refused && !(m_comm.underWine() && refused == kInvalidParameter))
        throw OperatorError(QStringLiteral("%1 does not take the line settings %2: %3 Nothing was "
                                           "sent.")
                                .arg(describe(), settingsText, m_comm.errorText(refused)));
    CommSettings kept;
    if (const CommError error = m_comm.getState(m_handle, kept))
        failLost(error);
    // Wine over a pseudo-terminal reads back what the pseudo-terminal keeps, which has no line
    // for the settings to matter on; only on Windows is the read-back held against the driver,
    // and only in what the upload relies on.
    const auto framing = [](const CommSettings &s) {
        return std::tuple(s.baudRate, s.byteSize, s.parity, s.stopBits, s.outxCtsFlow, s.rtsControl,
                          s.outX, s.inX);
    };
    if (!m_comm.underWine() && framing(kept) != framing(wanted)) {
        QStringList differ;
        if (kept.baudRate != wanted.baudRate)
            differ.append(QStringLiteral("%1 baud").arg(kept.baudRate));
        if (kept.byteSize != wanted.byteSize)
            differ.append(QStringLiteral("%1 data bits").arg(kept.byteSize));
        if (kept.parity != wanted.parity)
            differ.append(QStringLiteral("a different parity"));
        if (kept.stopBits != wanted.stopBits)
            differ.append(kept.stopBits == 2 ? QStringLiteral("2 stop bits")
                                             : QStringLiteral("1 stop bit"));
        if (kept.outxCtsFlow != wanted.outxCtsFlow || kept.rtsControl != wanted.rtsControl)
            differ.append(QStringLiteral("other handshaking"));
        if (kept.outX != wanted.outX || kept.inX != wanted.inX)
            differ.append(QStringLiteral("other XON/XOFF"));
        throw OperatorError(QStringLiteral("%1 does not take the line settings %2: its driver "
                                           "kept %3. Nothing was sent.")
                                .arg(describe(), settingsText, differ.join(QStringLiteral(", "))));
    }
    if (const CommError error = m_comm.setTimeouts(m_handle))
        failLost(error);
    m_comm.purge(m_handle, false, true); // whatever waited there is not this device's answer

    m_wire.start(m_settings, m_comm.now());
}

// After the port was opened, any error says the device is gone: a USB adapter pulled (the
// drivers answer ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE or
// ERROR_ACCESS_DENIED), or, under Wine, the pseudo-terminal's other end closed
// (ERROR_NOT_READY).
void Win32SerialPort::failLost(CommError error)
{
    throw OperatorError(QStringLiteral("Lost the connection to %1: %2 Check that the device is "
                                       "connected, then upload again.")
                            .arg(describe(), m_comm.errorText(error)));
}

void Win32SerialPort::requireOpen() const
{
    if (!isOpen())
        throw OperatorError(QStringLiteral("%1 is not open.").arg(describe()));
}

// One overlapped write at a time: the bytes the driver has not been given yet wait here, and
// what a write that ended early did not take goes back to the front of them.
void Win32SerialPort::push()
{
    if (m_write) {
        const std::optional<CommError> done = m_write->result();
        if (!done)
            return;
        const qint64 size = m_writing.size();
        const qint64 taken = *done ? 0 : std::clamp<qint64>(m_write->written(), 0, size);
        m_write.reset();
        if (*done)
            failLost(*done);
        if (taken < size) {
            m_held.prepend(m_writing.mid(taken));
            m_handedOver -= size - taken;
        }
        m_writing.clear();
    }
    if (m_held.isEmpty())
        return;
    const QByteArray chunk = m_held.left(kWriteChunk);
    if (const CommError error = m_comm.write(m_handle, chunk, m_write))
        failLost(error);
    m_held.remove(0, chunk.size());
    m_writing = chunk;
    m_handedOver += chunk.size();
    m_wire.handedOver(chunk.size(), m_comm.now());
}

CommStatus Win32SerialPort::status()
{
    CommStatus now;
    if (const CommError error = m_comm.clearError(m_handle, now)) {
        if (!unanswered(error))
            failLost(error);
        // No count: what was handed over is taken to need its time on the wire, and whatever
        // the device may have sent is purged unseen, now and then.
        if (!m_blindPurgedAt || m_comm.now() - *m_blindPurgedAt >= kBlindPurgeEvery) {
            m_comm.purge(m_handle, false, true);
            m_blindPurgedAt = m_comm.now();
        }
        CommStatus guessed;
        guessed.outQueue = quint32(onTheWireStill());
        m_lastOutQueue = guessed.outQueue;
        return guessed;
    }
    m_lastOutQueue = now.outQueue;
    if (now.inQueue > 0)
        m_comm.purge(m_handle, false, true);
    return now;
}

qint64 Win32SerialPort::queuedCount()
{
    requireOpen();
    push();
    const CommStatus now = status();
    // What was handed over cannot have left faster than the baud rate, whatever the driver
    // counts: Wine over a pseudo-terminal counts nothing, and a USB driver completes a write
    // once its USB transfer has (usbser.sys), so the count reads 0 while the line still carries
    // it. As on a UART, the last characters on their way are not counted, so that the next
    // line is there before the line falls idle; delivered() waits for them. A pending write
    // counts at least 1.
    const qint64 inDriver =
        std::max<qint64>({qint64(now.outQueue), onTheWireStill() - WireClock::kUncountedCharacters,
                          m_write ? 1 : 0});
    return m_held.size() + inDriver;
}

// What was handed over and, at the baud rate, cannot have left the wire yet.
qint64 Win32SerialPort::onTheWireStill() const
{
    return m_wire.stillOnWire(m_comm.now());
}

void Win32SerialPort::output(const QByteArray &data)
{
    requireOpen();
    m_clearSpan.reset();
    m_held.append(data);
    push();
}

// What a driver calls transmitted may still wait in a USB adapter's chip (see ClearSpan), and
// the CTS it reports may be kCtsLag old: CTS must have read on for that much longer. Where the
// driver reports no modem lines, that time is waited for with the driver not holding
// transmission for CTS (COMSTAT's fCtsHold).
bool Win32SerialPort::delivered()
{
    if (queuedCount() > 0) {
        m_clearSpan.reset();
        return false;
    }
    const auto lagPerCharacter = std::chrono::nanoseconds(kCtsLag) / ClearSpan::kAdapterBuffer;
    return m_clearSpan.lasted(clearToSend(), m_comm.now(),
                              m_wire.characterTime() + lagPerCharacter +
                                  std::chrono::nanoseconds(1));
}

// usbser.sys completes a write when its USB transfer has, and reports no CTS (the CDC
// serial-state notification has none): what it calls done has reached the USB device, which may
// be a bridge to a UART whose own buffer and CTS line the host never sees.
DeliveryReach Win32SerialPort::deliveryReach() const
{
    return m_noCtsLine ? DeliveryReach::UsbDevice : DeliveryReach::Device;
}

ClearToSend Win32SerialPort::clearToSend()
{
    requireOpen();
    bool cts = false;
    const CommError error = m_comm.modemStatus(m_handle, cts);
    // A CDC device's CTS may never come (usbser.sys is reported to derive it from DSR, and the
    // CDC serial-state notification has no CTS bit): CTS that reads off while more characters
    // leave the driver than an adapter's chip could hold back is not a hold-off, and unknown.
    if (error == kSuccess) {
        if (cts) {
            m_departedWhenCtsOff.reset();
            return ClearToSend::On;
        }
        const qint64 departed = m_handedOver - m_lastOutQueue;
        if (!m_departedWhenCtsOff)
            m_departedWhenCtsOff = departed;
        else if (departed - *m_departedWhenCtsOff > ClearSpan::kAdapterBuffer)
            m_ctsUnknown = true;
        return m_ctsUnknown ? ClearToSend::Unknown : ClearToSend::Off;
    }
    if (!unanswered(error))
        failLost(error);
    return status().ctsHold ? ClearToSend::Off : ClearToSend::Unknown;
}

qintptr Win32SerialPort::wakeHandle() const
{
    return m_write && m_write->event() ? m_write->event() : -1;
}

qint64 Win32SerialPort::dropHeld() noexcept
{
    return std::exchange(m_held, {}).size();
}

// Under Wine, purging a pseudo-terminal also drops what its other end has not read yet, so an
// empty queue is not purged. The close runs on a thread of its own and is not waited for here.
void Win32SerialPort::discardAndClose() noexcept
{
    if (!isOpen())
        return;
    m_clearSpan.reset();
    CommStatus now;
    const bool failed = m_comm.clearError(m_handle, now) != kSuccess;
    const bool purge = failed || m_write || !m_held.isEmpty() || now.outQueue > 0;
    m_held.clear();
    m_closings.push_back(
        {m_number, m_comm.now(), m_comm.close(m_handle, m_path, purge, std::move(m_write))});
    m_handle = 0;
    m_open = false;
}

QString Win32SerialPort::closeUnfinished()
{
    settleCloses();
    if (m_closings.empty())
        return {};
    return QStringLiteral("COM%1 is still being closed: its driver has not let go of it since the "
                          "last upload. The window closes, but Windows keeps this program, and "
                          "COM%1 with it, until the driver lets go. Unplug the adapter and plug "
                          "it in again to free them.")
        .arg(m_closings.front().number);
}
