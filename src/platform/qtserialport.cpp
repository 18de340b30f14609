#include "platform/qtserialport.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "platform/operatorerror.h"

QString defaultDevicePath(int portNumber)
{
    const QString alias = QStringLiteral("/dev/COM%1").arg(portNumber);
    if (QFileInfo::exists(alias))
        return alias;
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

QtSerialPort::QtSerialPort(PortMapping mapping) : m_mapping(std::move(mapping)) {}

QtSerialPort::~QtSerialPort()
{
    discardAndClose();
}

void QtSerialPort::setPortNumber(qint16 number)
{
    if (number < 1)
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(number));
    m_number = number;
}

void QtSerialPort::setLineSettings(const LineSettings &settings)
{
    m_settings = settings;
}

void QtSerialPort::setHandshaking(Handshaking handshaking)
{
    m_handshaking = handshaking;
}

QString QtSerialPort::describe() const
{
    return QStringLiteral("COM%1 (%2)").arg(m_number).arg(m_mapping(m_number));
}

void QtSerialPort::configure()
{
    m_port.setBaudRate(m_settings.baudRate);
    m_port.setDataBits(QSerialPort::DataBits(m_settings.dataBits));
    m_port.setStopBits(m_settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    switch (m_settings.parity) {
    case Parity::None:
        m_port.setParity(QSerialPort::NoParity);
        break;
    case Parity::Even:
        m_port.setParity(QSerialPort::EvenParity);
        break;
    case Parity::Odd:
        m_port.setParity(QSerialPort::OddParity);
        break;
    }
    switch (m_handshaking) {
    case Handshaking::None:
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        break;
    case Handshaking::XonXoff:
        m_port.setFlowControl(QSerialPort::SoftwareControl);
        break;
    case Handshaking::RtsCts:
        m_port.setFlowControl(QSerialPort::HardwareControl);
        break;
    }
}

void QtSerialPort::open()
{
    if (m_port.isOpen())
        throw OperatorError(QStringLiteral("%1 is already open.").arg(describe()));
    const QString path = m_mapping(m_number);
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        const int err = errno;
        throw OperatorError(QStringLiteral("Cannot open %1: %2. Check that the serial adapter is "
                                           "plugged in.")
                                .arg(describe(), systemReason(err)));
    }
    m_port.setPortName(path);
    configure();
    m_port.clearError();
    // Nothing is read from the device, so the port is opened for writing only: what the device
    // sends is never buffered here.
    if (!m_port.open(QIODevice::WriteOnly))
        throw OperatorError(openFailure());
    // Another program may hold the port with flock() rather than a lock file.
    if (::flock(m_port.handle(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        m_port.close();
        if (err == EWOULDBLOCK)
            throw OperatorError(QStringLiteral("%1 is in use by another program.").arg(describe()));
        throw OperatorError(
            QStringLiteral("Cannot open %1: %2").arg(describe(), systemReason(err)));
    }
}

QString QtSerialPort::openFailure() const
{
    switch (m_port.error()) {
    case QSerialPort::PermissionError:
        // Qt reports both a refused device and another program's lock this way; access() tells
        // them apart.
        if (::access(QFile::encodeName(m_port.portName()).constData(), R_OK | W_OK) != 0 &&
            errno == EACCES)
            return QStringLiteral("Cannot open %1: %2. Add your user to the 'dialout' group and "
                                  "log in again.")
                .arg(describe(), systemReason(EACCES));
        return QStringLiteral("%1 is in use by another program.").arg(describe());
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("Cannot open %1: %2. Check that the serial adapter is plugged in.")
            .arg(describe(), m_port.errorString());
    default:
        return QStringLiteral("Cannot open %1: %2").arg(describe(), m_port.errorString());
    }
}

void QtSerialPort::failLost(const QString &reason)
{
    throw OperatorError(QStringLiteral("Lost the connection to %1: %2. Check that the device is "
                                       "connected, then upload again.")
                            .arg(describe(), reason));
}

void QtSerialPort::requireOpen() const
{
    if (!m_port.isOpen())
        throw OperatorError(QStringLiteral("%1 is not open.").arg(describe()));
}

void QtSerialPort::pushPending()
{
    while (m_pendingStart < m_pending.size()) {
        const ssize_t written = ::write(m_port.handle(), m_pending.constData() + m_pendingStart,
                                        size_t(m_pending.size() - m_pendingStart));
        if (written > 0) {
            m_pendingStart += written;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            failLost(systemReason(errno));
        return; // the kernel takes no more for now
    }
    m_pending.clear();
    m_pendingStart = 0;
}

qint64 QtSerialPort::queuedCount()
{
    requireOpen();
    pushPending();
    int inKernel = 0;
    if (::ioctl(m_port.handle(), TIOCOUTQ, &inKernel) != 0)
        failLost(systemReason(errno));
    return (m_pending.size() - m_pendingStart) + inKernel;
}

void QtSerialPort::output(const QByteArray &data)
{
    requireOpen();
    m_pending.append(data);
    pushPending();
}

void QtSerialPort::discardAndClose() noexcept
{
    if (!m_port.isOpen())
        return;
    // Dropping what is still queued keeps close() from waiting on the kernel's closing wait,
    // which can last 30 s while the device holds CTS low. An empty queue is not flushed: on a
    // pseudo-terminal that would also drop what the other end has not read yet.
    int inKernel = 0;
    const bool failed = ::ioctl(m_port.handle(), TIOCOUTQ, &inKernel) != 0;
    if (failed || inKernel > 0 || m_pendingStart < m_pending.size())
        m_port.clear(QSerialPort::Output);
    m_pending.clear();
    m_pendingStart = 0;
    m_port.close();
}
