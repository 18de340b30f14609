#pragma once
// Which serial device each COM number reaches, worked out afresh from /dev and sysfs every time
// it is asked, so that an adapter plugged in after start is found. No port is opened to find
// out: opening raises DTR and RTS on the device.
//
// 1. /dev/COMn, where it exists, is COMn: the administrator's own choice (a udev rule).
// 2. A built-in UART keeps its Windows number: ttySN is COM(N+1) when the kernel found a UART
//    behind it (/sys/class/tty/ttySN/type is not 0); the phantom ttyS ports get no number.
// 3. USB serial adapters and CDC-ACM devices take the lowest numbers still free, in the order
//    of /dev/serial/by-path, which follows the USB socket, so two adapters keep their numbers
//    across unplugging and reboots; ports with no by-path link follow by name.

#include <QList>
#include <QString>

#include "platform/serial/comports.h"

struct ComPort {
    int number = 0;
    QString device;  // what is opened: /dev/ttyUSB0, or /dev/COM3
    QString product; // "FT232R USB UART", or "built-in serial port"
    QString manufacturer;
};

class SysfsComPorts final : public ComPorts {
public:
    explicit SysfsComPorts(QString sysRoot = QStringLiteral("/sys"),
                           QString devRoot = QStringLiteral("/dev"));

    // Every port that has a number, by number.
    QList<ComPort> scan() const;
    QString devicePath(int number) override;
    QString reaches(int number) override;

private:
    QString describeUsb(const QString &name, ComPort &port) const;
    QStringList usbPortsInSocketOrder() const;

    QString m_sys;
    QString m_dev;
};
