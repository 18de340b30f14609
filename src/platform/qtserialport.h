#pragma once
// The serial port on Qt Serial Port. COMn is found through a port mapping (see
// defaultDevicePath); tests inject one that points at a pseudo-terminal they own.
//
// The queued count adds the bytes Qt still holds to the bytes in the kernel's transmit queue
// (TIOCOUTQ): Qt's own count reaches 0 as soon as the kernel has the bytes, long before they
// have left the wire.

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
    void throwIfLost();

    PortMapping m_mapping;
    QSerialPort m_port;
    qint16 m_number = 1;
    LineSettings m_settings;
    Handshaking m_handshaking = Handshaking::None;
};
