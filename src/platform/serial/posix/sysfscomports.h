#pragma once
// Which serial device each COM number reaches, worked out afresh from /dev and sysfs every time
// it is asked, so that an adapter plugged in after start is found. No port is opened to find
// out: opening raises DTR and RTS on the device.
//
// 1. /dev/COMn, where it exists, is COMn: the administrator's own choice (a udev rule). A link
//    whose target is gone (its adapter unplugged) still holds the number, and reaches nothing.
// 2. A built-in UART keeps its Windows number: ttySN is COM(N+1) when the kernel found a UART
//    behind it (/sys/class/tty/ttySN/type is not 0); the phantom ttyS ports get no number.
// 3. USB serial adapters and CDC-ACM devices take the lowest numbers still free, in the order
//    of /dev/serial/by-path, which follows the USB socket; ports with no by-path link follow
//    by name.
//
// What is kept: while the program runs, a number once given to an adapter's port stays with the
// USB socket it was in, and with the port's place on the adapter: the interface, and the port
// number within it where one interface has several (a dual or quad adapter, or a board with two
// ACM functions, has a number for each port, which never swap). Unplugged, the number reaches
// nothing ("the adapter in USB socket 1-2 was unplugged") and goes to no other adapter; plugged
// into the same socket again, the adapter gets it back. So a number never moves to another device
// while the program runs. Across a restart the numbers are worked out afresh by the rules above:
// the same adapters in the same sockets get the same numbers, but after one was taken away, the
// others may move up.

#include <map>

#include <QList>
#include <QString>

#include "platform/serial/comports.h"

struct ComPort {
    int number = 0;
    QString device;  // what is opened: /dev/ttyUSB0, or /dev/COM3; empty: unplugged
    QString product; // "FT232R USB UART", or "built-in serial port"
    QString manufacturer;
    QString socket;        // the USB socket of an adapter, as sysfs names it: "1-2"
    QString place;         // the port's place on the adapter: interface and port ("1-2:1.1/0")
    QString missingTarget; // what a /dev/COMn link points at that does not exist
};

class SysfsComPorts final : public ComPorts {
public:
    explicit SysfsComPorts(QString sysRoot = QStringLiteral("/sys"),
                           QString devRoot = QStringLiteral("/dev"));

    // Every number given, by number: the ports there are, and the sockets whose adapter was
    // unplugged.
    QList<ComPort> scan();
    QString devicePath(int number) override;
    QString reaches(int number) override;

private:
    void describeUsb(const QString &name, ComPort &port) const;
    QStringList usbPortsInSocketOrder() const;

    QString m_sys;
    QString m_dev;
    std::map<QString, ComPort> m_byPlace; // every adapter port given a number so far
};
