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

struct ComPort {
    int number = 0;
    QString device;  // what is opened: /dev/ttyUSB0, or /dev/COM3
    QString product; // "FT232R USB UART", or "built-in serial port"
    QString manufacturer;
};

class ComPorts {
public:
    explicit ComPorts(QString sysRoot = QStringLiteral("/sys"),
                      QString devRoot = QStringLiteral("/dev"));

    // Every port that has a number, by number.
    QList<ComPort> scan() const;
    // The device COMn reaches; an OperatorError that says what there is instead when none.
    QString devicePath(int number) const;
    // What COMn reaches now, for the operator: "/dev/ttyUSB0 — FT232R USB UART (FTDI)".
    QString reaches(int number) const;

    // COM numbers the port list offers.
    static constexpr int kOffered = 4;

private:
    QString describeUsb(const QString &name, ComPort &port) const;
    QStringList usbPortsInSocketOrder() const;

    QString m_sys;
    QString m_dev;
};
