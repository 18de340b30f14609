#include "platform/serial/windows/win32serialport.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/operatorerror.h"

namespace {

using namespace commerror;

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

// Nothing here waits: the caller polls opened() while the window's events go on.
bool Win32SerialPort::startOpen()
{
    if (isOpen() || m_opening || m_openAfterClose)
        throw OperatorError(alreadyOpen(describe()));
    if (m_abandoned.since(describe()))
        throw OperatorError(
            stillBeingOpened(describe(), "Windows has not finished connecting to it"));
    m_path = m_mapping(number());
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
        m_abandoned.add(describe(), m_comm.now(),
                        [opening = std::shared_ptr<CommOpening>(std::move(m_opening))] {
                            return opening->finished();
                        });
    }
}

bool Win32SerialPort::opened()
{
    if (isOpen())
        return true;
    if (m_openAfterClose) {
        // Windows would refuse the open as if another program had the port: a close of it that
        // has only just begun is waited for, a longer one told.
        if (const auto since = m_closings.since(describe())) {
            const auto closingFor = m_comm.now() - *since;
            if (closingFor < kOpenWaitsForClose)
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
        throw OperatorError(inUse(describe()) + QStringLiteral(". Close the program that has it "
                                                               "open, then upload again."));
    case kFileNotFound:
    case kPathNotFound:
        throw OperatorError(m_missing(number()));
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

// The DCB sets everything a driver acts on, so that nothing is left as the previous program or
// the driver had it (CommSettings).
void Win32SerialPort::configure()
{
    CommSettings wanted;
    wanted.baudRate = quint32(kLineFormat.baudRate);
    wanted.byteSize = quint8(kLineFormat.dataBits);
    wanted.stopBits = 2; // TWOSTOPBITS
    wanted.outxCtsFlow = true;
    wanted.rtsControl = CommSettings::Rts::Handshake;
    // The first call that only a serial driver answers: a name that reaches something else
    // (under Wine, a link to a file or to /dev/null) is told as such, not as a lost device.
    CommSettings current;
    if (const CommError error = m_comm.getState(m_handle, current);
        unanswered(error) || error == kInvalidHandle)
        throw OperatorError(QStringLiteral("Cannot open %1: %2 %1 is not a serial port; choose "
                                           "the port your device is connected to.")
                                .arg(describe(), m_comm.errorText(error)));
    else if (error)
        failLost(error);
    // A Windows driver refuses what it cannot do in SetCommState() itself (serial.sys answers
    // an unsupported byte size with ERROR_INVALID_PARAMETER). Under Wine that answer is glibc's
    // about a pseudo-terminal, whose settings do not matter (see Comm::underWine()).
    const CommError refused = m_comm.setState(m_handle, wanted);
    if (refused && !(m_comm.underWine() && refused == kInvalidParameter))
        throw OperatorError(settingsRefused(describe(), m_comm.errorText(refused)));
    CommSettings kept;
    if (const CommError error = m_comm.getState(m_handle, kept))
        failLost(error);
    // Wine over a pseudo-terminal reads back what the pseudo-terminal keeps, which has no line
    // for the settings to matter on; only on Windows is the read-back held against the driver,
    // and only in what the upload relies on.
    const QString otherwise = keptOtherwise(
        {qint32(kept.baudRate), kept.byteSize, kept.parity != 0, kept.stopBits == 2 ? 2 : 1,
         kept.outxCtsFlow && kept.rtsControl == CommSettings::Rts::Handshake},
        QStringLiteral("other handshaking"));
    if (!m_comm.underWine() && !otherwise.isEmpty())
        throw OperatorError(settingsRefused(describe(), otherwise));
    if (const CommError error = m_comm.setTimeouts(m_handle))
        failLost(error);
    m_comm.purge(m_handle, false, true); // whatever waited there is not this device's answer

    startCounting();
}

// After the port was opened, any error says the device is gone: a USB adapter pulled (the
// drivers answer ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE or
// ERROR_ACCESS_DENIED), or, under Wine, the pseudo-terminal's other end closed
// (ERROR_NOT_READY).
void Win32SerialPort::failLost(CommError error)
{
    throw OperatorError(lostConnection(describe(), m_comm.errorText(error)));
}

// One overlapped write at a time: what a write that ended early did not take goes back to the
// front of what is held.
void Win32SerialPort::finishWrites()
{
    if (!m_write)
        return;
    const std::optional<CommError> done = m_write->result();
    if (!done)
        return;
    const qint64 size = m_writing.size();
    const qint64 taken = *done ? 0 : std::clamp<qint64>(m_write->written(), 0, size);
    m_write.reset();
    if (*done)
        failLost(*done);
    if (taken < size)
        giveBack(m_writing.mid(taken));
    m_writing.clear();
}

qint64 Win32SerialPort::handOver(QByteArrayView characters)
{
    if (m_write)
        return 0;
    const QByteArray chunk =
        characters.first(std::min(characters.size(), kWriteChunk)).toByteArray();
    if (const CommError error = m_comm.write(m_handle, chunk, m_write))
        failLost(error);
    m_writing = chunk;
    return chunk.size();
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
        guessed.outQueue = quint32(wire().stillOnWire(m_comm.now()));
        m_lastOutQueue = guessed.outQueue;
        return guessed;
    }
    m_lastOutQueue = now.outQueue;
    if (now.inQueue > 0)
        m_comm.purge(m_handle, false, true);
    return now;
}

// What was handed over cannot have left faster than the baud rate, whatever the driver counts:
// Wine over a pseudo-terminal counts nothing, and a USB driver completes a write once its USB
// transfer has (usbser.sys), so the count reads 0 while the line still carries it. A pending
// write counts at least 1.
qint64 Win32SerialPort::inSystem()
{
    const CommStatus now = status();
    return std::max<qint64>({qint64(now.outQueue), boundByWire(), m_write ? 1 : 0});
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
    if (!isOpen())
        throw OperatorError(notOpen(describe()));
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
        const qint64 departed = handedOver() - m_lastOutQueue;
        if (!m_departedWhenCtsOff)
            m_departedWhenCtsOff = departed;
        else if (departed - *m_departedWhenCtsOff > ClearSpan::kAdapterBuffer)
            m_ctsUnknown = true;
        return m_ctsUnknown ? ClearToSend::Unknown : ClearToSend::Off;
    }
    if (!unanswered(error))
        failLost(error);
    // Where the driver reports no modem lines, the span is waited for with the driver not
    // holding transmission for CTS (COMSTAT's fCtsHold).
    return status().ctsHold ? ClearToSend::Off : ClearToSend::Unknown;
}

qintptr Win32SerialPort::wakeHandle() const
{
    return m_write && m_write->event() ? m_write->event() : -1;
}

// Under Wine, purging a pseudo-terminal also drops what its other end has not read yet, so an
// empty queue is not purged. The close runs on a thread of its own and is not waited for here.
void Win32SerialPort::discardAndClose() noexcept
{
    if (!isOpen())
        return;
    CommStatus now;
    const bool failed = m_comm.clearError(m_handle, now) != kSuccess;
    const bool purge = failed || m_write || held() > 0 || now.outQueue > 0;
    dropHeld();
    m_closings.add(describe(), m_comm.now(),
                   [closing = std::shared_ptr<CommClosing>(m_comm.close(
                        m_handle, m_path, purge, std::move(m_write)))] { return closing->done(); });
    m_handle = 0;
    m_open = false;
}

QString Win32SerialPort::closeUnfinished()
{
    const QString port = m_closings.first();
    if (port.isEmpty())
        return {};
    return QStringLiteral("%1 is still being closed: its driver has not let go of it since the "
                          "last upload. The window closes, but Windows keeps this program, and "
                          "%1 with it, until the driver lets go. Unplug the adapter and plug "
                          "it in again to free them.")
        .arg(port);
}
