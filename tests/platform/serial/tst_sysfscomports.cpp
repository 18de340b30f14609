// Which device each COM number reaches, on fake /sys and /dev trees: built-in UARTs keep their
// numbers, phantom ones get none, USB adapters follow their socket, /dev/COMn overrides.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/serial/posix/sysfscomports.h"
#include "testfiles.h"

namespace {

// A machine's serial ports as sysfs and /dev show them, built from lines such as
// "uart 0 4" (ttyS0 with UART type 4), "usb ttyUSB0 1-2 FT232R_USB_UART FTDI" (an adapter in
// USB socket 1-2; "-" for no by-path link), "usb ttyUSB1 1-1.3:1.1 - -" (the second interface
// of an adapter without product strings, behind the hub in socket 1-1) and "com 3 ttyUSB1"
// (/dev/COM3 points at ttyUSB1).
class Machine {
public:
    explicit Machine(const QStringList &lines)
    {
        for (const QString &line : lines)
            add(line);
    }
    void add(const QString &line)
    {
        const QStringList w = line.split(QLatin1Char(' '));
        if (w[0] == "uart") {
            const QString tty = sys("class/tty/ttyS" + w[1]);
            QDir().mkpath(tty);
            writeFile(tty + "/type", w[2].toLatin1());
            writeFile(dev("ttyS" + w[1]), {});
        } else if (w[0] == "usb") {
            const QString socket = w[2].section(':', 0, 0);
            const QString interface = w[2].contains(':') ? w[2] : socket + ":1.0";
            // A hub's socket ("1-1") holds the sockets behind it ("1-1.3").
            QString usb = sys("devices/usb1");
            const QStringList hops = socket.split('.');
            for (qsizetype i = 0; i < hops.size(); ++i) {
                usb += "/" + hops.mid(0, i + 1).join('.');
                if (QFile::exists(usb + "/idVendor"))
                    continue;
                QDir().mkpath(usb);
                writeFile(usb + "/idVendor", "0403\n");
                if (i + 1 < hops.size())
                    writeFile(usb + "/product", "USB2.0 Hub\n");
            }
            const QString port = usb + "/" + interface + "/" + w[1];
            QDir().mkpath(port);
            writeFile(usb + "/" + interface + "/bInterfaceNumber", "00\n");
            if (w[3] != "-") {
                writeFile(usb + "/product", w[3].toLatin1().replace('_', ' ') + "\n");
                writeFile(usb + "/manufacturer", w[4].toLatin1() + "\n");
            }
            QDir().mkpath(sys("class/tty/" + w[1]));
            QFile::link(port, sys("class/tty/" + w[1] + "/device"));
            writeFile(dev(w[1]), {});
            QDir().mkpath(dev("serial/by-path"));
            if (w[2] != "-")
                QFile::link(dev(w[1]),
                            dev("serial/by-path/pci-0000:00:14.0-usb-0:" + socket.mid(2) +
                                interface.mid(socket.size()) + "-port0"));
        } else if (w[0] == "com") {
            QFile::link(dev(w[2]), dev("COM" + w[1]));
        }
    }
    // Pulls the adapter out: its node, its by-path link and its sysfs entry go.
    void unplug(const QString &tty)
    {
        QFile::remove(dev(tty));
        QDir(sys("class/tty/" + tty)).removeRecursively();
        for (const QFileInfo &link : QDir(dev("serial/by-path")).entryInfoList(QDir::System))
            if (link.symLinkTarget() == dev(tty))
                QFile::remove(link.filePath());
    }
    QString sys(const QString &path) const { return m_root.filePath("sys/" + path); }
    QString dev(const QString &path) const
    {
        QDir().mkpath(m_root.filePath(QStringLiteral("dev")));
        return m_root.filePath("dev/" + path);
    }
    SysfsComPorts ports() const { return SysfsComPorts(sys({}), dev({})); }

private:
    QTemporaryDir m_root;
};

} // namespace

class TestSysfsComPorts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void numbers_data();
    void numbers();
    void messagesAndTips();
    void portsOfOneAdapter();
};

void TestSysfsComPorts::numbers_data()
{
    QTest::addColumn<QStringList>("machine");
    QTest::addColumn<QString>("offered"); // COM1 to COM4: device and product, or "-"

    QTest::newRow("phantom ttyS0-3 and one adapter")
        << QStringList{"uart 0 0", "uart 1 0", "uart 2 0", "uart 3 0",
                       "usb ttyUSB0 1-2 FT232R_USB_UART FTDI"}
        << "ttyUSB0 FT232R USB UART | - | - | -";
    QTest::newRow("a real ttyS0 and two adapters, plugged in one order")
        << QStringList{"uart 0 4", "uart 1 0", "usb ttyUSB0 1-1 Left L", "usb ttyUSB1 1-2 Right R"}
        << "ttyS0 built-in serial port | ttyUSB0 Left | ttyUSB1 Right | -";
    QTest::newRow("the same two adapters, plugged in the other order")
        << QStringList{"uart 0 4", "uart 1 0", "usb ttyUSB1 1-1 Left L", "usb ttyUSB0 1-2 Right R"}
        << "ttyS0 built-in serial port | ttyUSB1 Left | ttyUSB0 Right | -";
    QTest::newRow("a CDC-ACM device")
        << QStringList{"usb ttyACM0 3-1 Zelvor_Board Zelvor"} << "ttyACM0 Zelvor Board | - | - | -";
    QTest::newRow("an adapter without a by-path link comes after those with one")
        << QStringList{"usb ttyUSB0 - First F", "usb ttyUSB1 1-4 Second S"}
        << "ttyUSB1 Second | ttyUSB0 First | - | -";
    QTest::newRow("/dev/COM3 overrides, and that adapter gets no other number")
        << QStringList{"usb ttyUSB0 1-1 A M", "usb ttyUSB1 1-2 B M", "com 3 ttyUSB1"}
        << "ttyUSB0 A | - | COM3 B | -";
    QTest::newRow("five ports: the fifth gets no offered number")
        << QStringList{"uart 0 4", "usb ttyUSB0 1-1 A M", "usb ttyUSB1 1-2 B M",
                       "usb ttyUSB2 1-3 C M", "usb ttyUSB3 1-4 D M"}
        << "ttyS0 built-in serial port | ttyUSB0 A | ttyUSB1 B | ttyUSB2 C";
    QTest::newRow("a /dev/COM4 link brings the fifth in")
        << QStringList{"uart 0 4",
                       "usb ttyUSB0 1-1 A M",
                       "usb ttyUSB1 1-2 B M",
                       "usb ttyUSB2 1-3 C M",
                       "usb ttyUSB3 1-4 D M",
                       "com 4 ttyUSB3"}
        << "ttyS0 built-in serial port | ttyUSB0 A | ttyUSB1 B | COM4 D";
    QTest::newRow("an empty machine") << QStringList{} << "- | - | - | -";
}

// Catches a COM number that reaches a phantom port or nothing while an adapter is plugged in,
// numbers that follow plug order instead of the socket, an override that is ignored, and one
// adapter under two numbers.
void TestSysfsComPorts::numbers()
{
    QFETCH(QStringList, machine);
    QFETCH(QString, offered);

    const Machine m(machine);
    QStringList seen(ComPorts::kOffered, QStringLiteral("-"));
    for (const ComPort &port : m.ports().scan())
        if (port.number >= 1 && port.number <= ComPorts::kOffered)
            seen[port.number - 1] = QFileInfo(port.device).fileName() + ' ' + port.product;
    QCOMPARE(seen.join(QStringLiteral(" | ")), offered);
}

// Catches a message that does not say what is there instead, a tooltip without the device, a
// number that moves to another adapter when one is unplugged (the next Upload would reach the
// wrong device), a returning adapter that does not get its number back, a message or tooltip
// that hides that its adapter was unplugged, and a /dev/COMn link to nothing passed over, so that
// its number reaches another port.
void TestSysfsComPorts::messagesAndTips()
{
    const Machine empty({});
    QCOMPARE(errorText([&] { empty.ports().devicePath(1); }),
             QStringLiteral("COM1: no serial port has this number. No serial port was found. Plug "
                            "the adapter in or choose another port."));

    Machine m({"uart 0 4", "usb ttyUSB0 1-1 Front F", "usb ttyUSB1 1-2 Rear_UART FTDI"});
    SysfsComPorts ports = m.ports();
    QCOMPARE(ports.devicePath(2), m.dev("ttyUSB0"));
    QCOMPARE(ports.reaches(3), QStringLiteral("%1 \u2014 Rear UART (FTDI)").arg(m.dev("ttyUSB1")));
    QCOMPARE(ports.reaches(4), QStringLiteral("nothing is connected"));
    QCOMPARE(errorText([&] { ports.devicePath(4); }),
             QStringLiteral("COM4: no serial port has this number. Found: COM1 = %1 (built-in "
                            "serial port), COM2 = %2 (Front), COM3 = %3 (Rear UART). Plug the "
                            "adapter in or choose another port.")
                 .arg(m.dev("ttyS0"), m.dev("ttyUSB0"), m.dev("ttyUSB1")));

    m.unplug("ttyUSB0");
    const QString gone =
        QStringLiteral("nothing is connected \u2014 the adapter in USB socket 1-1 (Front) was "
                       "unplugged");
    QCOMPARE(ports.reaches(2), gone);
    QCOMPARE(errorText([&] { ports.devicePath(2); }),
             QStringLiteral("COM2: %1. Plug it in there again, or choose another port.").arg(gone));
    QCOMPARE(ports.devicePath(3), m.dev("ttyUSB1"));

    m.add("usb ttyUSB2 1-3 Other O"); // a new socket takes a number no socket had
    QCOMPARE(ports.devicePath(4), m.dev("ttyUSB2"));
    m.add("usb ttyUSB3 1-1 Front F"); // back in its socket, under another name
    QCOMPARE(ports.devicePath(2), m.dev("ttyUSB3"));

    m.unplug("ttyUSB3");
    SysfsComPorts restarted = m.ports(); // only a restart numbers afresh
    QCOMPARE(restarted.devicePath(2), m.dev("ttyUSB1"));

    // A /dev/COM1 link whose adapter is gone keeps COM1 from the built-in port.
    const Machine linked({"uart 0 4", "com 1 ttyUSB9"});
    const QString dangling = QStringLiteral("nothing is connected \u2014 %1 points at %2, which "
                                            "does not exist")
                                 .arg(linked.dev("COM1"), linked.dev("ttyUSB9"));
    QCOMPARE(linked.ports().reaches(1), dangling);
    QCOMPARE(errorText([&] { linked.ports().devicePath(1); }),
             "COM1: " + dangling + ". Plug its adapter in again, or choose another port.");
}

// Catches the ports of one adapter sharing a number (each scan handing them out again in another
// order, so that the tooltip and the Upload reach different ports), and an adapter without a
// product string sharing one with its hub.
void TestSysfsComPorts::portsOfOneAdapter()
{
    Machine m({"usb ttyUSB0 1-2:1.0 Dual_RS232 FTDI", "usb ttyUSB1 1-2:1.1 Dual_RS232 FTDI",
               "usb ttyUSB2 1-1.2 - -", "usb ttyUSB3 1-1.3 - -"});
    SysfsComPorts ports = m.ports();
    for (int scan = 0; scan < 5; ++scan) {
        QCOMPARE(ports.devicePath(1), m.dev("ttyUSB2"));
        QCOMPARE(ports.devicePath(2), m.dev("ttyUSB3"));
        QCOMPARE(ports.devicePath(3), m.dev("ttyUSB0"));
        QCOMPARE(ports.devicePath(4), m.dev("ttyUSB1"));
    }
    // Plugged in again, the dual adapter's ports come back under each other's names: each
    // number stays with its port.
    m.unplug("ttyUSB0");
    m.unplug("ttyUSB1");
    QVERIFY(QDir(m.sys("devices/usb1/1-2")).removeRecursively());
    m.add("usb ttyUSB1 1-2:1.0 Dual_RS232 FTDI");
    m.add("usb ttyUSB0 1-2:1.1 Dual_RS232 FTDI");
    QCOMPARE(ports.devicePath(3), m.dev("ttyUSB1"));
    QCOMPARE(ports.devicePath(4), m.dev("ttyUSB0"));
}

QTEST_GUILESS_MAIN(TestSysfsComPorts)
#include "tst_sysfscomports.moc"
