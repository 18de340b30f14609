#pragma once
// The serial port on Qt Serial Port. COMn is found through a port mapping (see
// defaultDevicePath); tests inject one that points at a pseudo-terminal they own.
//
// Qt opens, configures, locks and closes the device; the bytes are written here, straight to
// the non-blocking descriptor. What the kernel does not take at once (the device holds off, or
// its buffer is full) waits in this object and is pushed on at every count. The queued count
// adds those bytes to the kernel's transmit queue (TIOCOUTQ), so it reaches 0 only when
// everything handed over has left the queue, not when the kernel has the bytes.

#include <functional>

#include <QSerialPort>

#include "platform/serialport.h"

using PortMapping = std::function<QString(int portNumber)>;

// COMn is /dev/COMn where the host has such an alias (a udev rule, say), otherwise
// /dev/ttyS<n-1>, as COM1 is the first built-in serial port.
QString defaultDevicePath(int portNumber);

class QtSerialPort final : public SerialPort {
public:
    explicit QtSerialPort(PortMapping mapping = defaultDevicePath);
    ~QtSerialPort() override;

    void setPortNumber(qint16 number) override;
    void setLineSettings(const LineSettings &settings) override;
    void setHandshaking(Handshaking handshaking) override;
    void open() override;
    bool isOpen() const override { return m_port.isOpen(); }
    qint64 queuedCount() override;
    void output(const QByteArray &data) override;
    void discardAndClose() noexcept override;
    QString describe() const override;

private:
    void configure();
    QString openFailure() const;
    [[noreturn]] void failLost(const QString &reason);
    void requireOpen() const;
    void pushPending();

    PortMapping m_mapping;
    QSerialPort m_port;
    qint16 m_number = 1;
    LineSettings m_settings;
    Handshaking m_handshaking = Handshaking::None;
    QByteArray m_pending;
    qsizetype m_pendingStart = 0;
};
