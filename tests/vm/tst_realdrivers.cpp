// The real window, port and upload on the Linux kernel's own serial drivers, inside the QEMU
// guest that tools/vm/test boots: each test function is one scenario, run on the device named by
// ZELVOR_VM_DEVICE, with the file ZELVOR_VM_FILE. The host (or, for CDC-ACM, a program in the
// guest on the gadget's end) plays the device and checks every byte it got. Not run on the build
// machine: it needs the guest's ports.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "windowrig.h"

namespace {

struct Rig {
    Rig()
        : device(qEnvironmentVariable("ZELVOR_VM_DEVICE")),
          file(qEnvironmentVariable("ZELVOR_VM_FILE"))
    {}
    KernelTty tty;
    const QString device;
    const QString file;
    QTemporaryDir locks;
    PosixSerialPort port{tty, [this](int) { return device; }, locks.path()};
    SysfsComPorts comPorts;
    WindowRig ui{port, comPorts, file};
};

} // namespace

class TestRealDrivers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fiveUploadsExactly();
    void heldOffThenTaken();
    void cancelWhileHeldForGood();
    void heldByAnotherProgram_data();
    void heldByAnotherProgram();
    void sentOnlyWhenTransmitterEmpty();
    void unpluggedMidUpload();
    void portsOfOneDeviceKeepTheirNumbers();
    void replugKeepsTheNumber();
};

void TestRealDrivers::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("ZELVOR_VM_DEVICE"))
        QFAIL("ZELVOR_VM_DEVICE is not set: tools/vm/test runs this in its guest");
}

// Every byte arrives, five uploads in a row, and the driver keeps 7N2 with RTS/CTS while the
// port is open (read back through a second descriptor, as root may).
void TestRealDrivers::fiveUploadsExactly()
{
    Rig rig;
    for (int i = 0; i < 5; ++i) {
        if (i == 2) {
            rig.port.setPortNumber(1);
            rig.port.setLineSettings(Upload::kLineSettings);
            rig.port.setHandshaking(Handshaking::RtsCts);
            rig.port.open();
            const int fd = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
            termios kept{};
            QVERIFY(fd >= 0 && ::tcgetattr(fd, &kept) == 0);
            ::close(fd);
            rig.port.discardAndClose();
            QCOMPARE(kept.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
                     tcflag_t(CS7 | CSTOPB | CRTSCTS));
            QCOMPARE(::cfgetospeed(&kept), speed_t(B115200));
        }
        rig.ui.upload();
        QCOMPARE(rig.ui.messages.shown, QStringList());
        QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
    }
}

// The device stops taking data for 12 s: the bar says so while the queue count stands still,
// and the upload then goes on and ends as sent. The driver's count (TIOCOUTQ, read through a
// second descriptor, as root may) is seen holding characters, and then none.
void TestRealDrivers::heldOffThenTaken()
{
    Rig rig;
    QStringList seen;
    QSet<int> counts;
    const int look = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    QVERIFY(look >= 0);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (seen.isEmpty() || seen.last() != rig.ui.bar())
            seen.append(rig.ui.bar());
        int queued = 0;
        if (::ioctl(look, TIOCOUTQ, &queued) == 0)
            counts.insert(queued);
    });
    watch.start(20);
    const qint64 took = rig.ui.upload();
    ::close(look);
    // Characters wait in the driver's queue while the device holds off, and leave it after.
    QVERIFY(counts.contains(0));
    QVERIFY2(std::any_of(counts.begin(), counts.end(), [](int n) { return n > 0; }),
             "the driver's queue never held anything");
    QCOMPARE(rig.ui.messages.shown, QStringList());
    QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
    QVERIFY2(seen.join('|').contains(QStringLiteral("Waiting for the device \u00b7 0:05")),
             qPrintable(seen.join('|')));
    QVERIFY(took >= 12000);
}

// The device takes nothing more, with the driver's 30 s closing wait: Cancel gives the window
// back within 0.5 s, counts what the driver held as not sent, and the next Upload to the port
// never blocks the window. (The device reads again 10 s later, and the host checks that none of
// what was cancelled comes.)
void TestRealDrivers::cancelWhileHeldForGood()
{
    Rig rig;
    const int fd = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    serial_struct serial{};
    QVERIFY(fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &serial) == 0);
    ::close(fd);
    QVERIFY2(serial.closing_wait >= 1000, qPrintable(QString::number(serial.closing_wait)));
    QElapsedTimer clicked;
    int queued = -1;
    QTimer::singleShot(3000, &rig.ui.window, [&] {
        // A second descriptor, closed at once: the program's close stays the last one.
        const int look = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
        ::ioctl(look, TIOCOUTQ, &queued);
        ::close(look);
        clicked.start();
        rig.ui.button("cmdCancel")->click();
    });
    rig.ui.upload();
    QVERIFY2(clicked.elapsed() < 500, qPrintable(QString::number(clicked.elapsed())));
    // What the driver held when Cancel was clicked never reached the device, and is counted.
    const QRegularExpressionMatch notSent =
        QRegularExpression(QStringLiteral("^Cancelled \u00b7 about (\\d+) not sent$"))
            .match(rig.ui.bar());
    QVERIFY2(notSent.hasMatch(), qPrintable(rig.ui.bar()));
    QVERIFY2(queued > 0 && notSent.captured(1).toInt() >= queued,
             qPrintable(QStringLiteral("%1 in the driver").arg(queued)));
    QTimer::singleShot(300, &rig.ui.window, [&] { rig.ui.button("cmdCancel")->click(); });
    const qint64 again = rig.ui.upload();
    QVERIFY2(again < 1000, qPrintable(QString::number(again)));
}

// Another program holds the port, with DTR and RTS low and 9600 baud (a reset line held on
// purpose), by flock() or in exclusive mode (TIOCEXCL, which root could open anyway): "in use",
// and its lines and settings are as it left them.
void TestRealDrivers::heldByAnotherProgram_data()
{
    QTest::addColumn<bool>("exclusive");
    QTest::newRow("flock") << false;
    QTest::newRow("TIOCEXCL") << true;
}

void TestRealDrivers::heldByAnotherProgram()
{
    QFETCH(const bool, exclusive);
    Rig rig;
    int ask[2], answer[2];
    QVERIFY(::pipe(ask) == 0 && ::pipe(answer) == 0);
    const pid_t program = ::fork();
    if (program == 0) {
        const int fd = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::cfsetospeed(&settings, B9600);
        ::tcsetattr(fd, TCSANOW, &settings);
        int low = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIC, &low);
        if (exclusive)
            ::ioctl(fd, TIOCEXCL);
        else
            ::flock(fd, LOCK_EX);
        char go = 0;
        (void)!::write(answer[1], "r", 1);
        (void)!::read(ask[0], &go, 1);
        int lines = 0;
        ::ioctl(fd, TIOCMGET, &lines);
        ::tcgetattr(fd, &settings);
        const int report[2] = {lines, int(::cfgetospeed(&settings))};
        (void)!::write(answer[1], report, sizeof report);
        ::_exit(0);
    }
    char ready = 0;
    QCOMPARE(::read(answer[0], &ready, 1), 1);
    rig.ui.upload();
    (void)!::write(ask[1], "g", 1);
    int report[2] = {};
    QCOMPARE(::read(answer[0], report, sizeof report), qint64(sizeof report));
    ::waitpid(program, nullptr, 0);
    const QString inUse = QStringLiteral("COM1 (%1) is in use by another program").arg(rig.device);
    QCOMPARE(rig.ui.messages.shown,
             QStringList{exclusive ? inUse + '.'
                                   : inUse + QStringLiteral(" (process %1).").arg(program)});
    QCOMPARE(report[0] & (TIOCM_DTR | TIOCM_RTS), 0);
    QCOMPARE(speed_t(report[1]), speed_t(B9600));
}

// The device holds off with the end of the file in the UART, so the driver's queue is empty while
// the FIFO and shift register still hold characters: "Sent" comes only once the transmitter is
// empty (TIOCSERGETLSR, read through a second descriptor, as root may), never on an empty queue.
void TestRealDrivers::sentOnlyWhenTransmitterEmpty()
{
    Rig rig;
    const int look = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    QVERIFY(look >= 0);
    std::atomic<bool> done{false};
    std::atomic<int> looks{0}, queuedSeen{0}, heldInTransmitter{0};
    std::thread watcher([&] {
        while (!done) {
            int queued = 0;
            unsigned int status = 0;
            ++looks;
            if (::ioctl(look, TIOCOUTQ, &queued) == 0 && queued > 0)
                ++queuedSeen;
            else if (::ioctl(look, TIOCSERGETLSR, &status) == 0 && !(status & TIOCSER_TEMT))
                ++heldInTransmitter;
            ::usleep(1000);
        }
    });
    rig.ui.upload();
    unsigned int status = 0;
    int queued = -1;
    const bool read =
        ::ioctl(look, TIOCSERGETLSR, &status) == 0 && ::ioctl(look, TIOCOUTQ, &queued) == 0;
    done = true;
    watcher.join();
    ::close(look);
    QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
    QVERIFY(read);
    QCOMPARE(queued, 0);
    QVERIFY2(status & TIOCSER_TEMT, "\"Sent\" while the transmitter still held characters");
    QVERIFY2(heldInTransmitter > 10,
             qPrintable(QStringLiteral("the driver's queue never emptied before the transmitter "
                                       "did: of %1 looks, %2 saw characters queued, %3 the "
                                       "transmitter holding them")
                            .arg(looks)
                            .arg(queuedSeen)
                            .arg(heldInTransmitter)));
}

// The device goes away mid-upload: "Lost the connection" within half a second, never a
// success. Where ZELVOR_VM_UNPLUG names a sysfs file and what to write to it to pull it, the
// guest pulls it; otherwise the host pulls it.
void TestRealDrivers::unpluggedMidUpload()
{
    Rig rig;
    const QStringList unplug = qEnvironmentVariable("ZELVOR_VM_UNPLUG").split(QLatin1Char('='));
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::rep> pulledAt{0};
    if (unplug.size() == 2)
        QTimer::singleShot(1500, &rig.ui.window, [&] {
            QFile control(unplug[0]);
            QVERIFY(control.open(QIODevice::WriteOnly));
            control.write(unplug[1].toLatin1());
            control.close();
            pulledAt = Clock::now().time_since_epoch().count();
        });
    // Where the host pulls the adapter, the moment the kernel lets go of its tty is the moment
    // it was pulled.
    std::atomic<bool> done{false};
    const QByteArray node =
        QFile::encodeName(QStringLiteral("/sys/class/tty/") + QFileInfo(rig.device).fileName());
    std::thread watcher([&] {
        while (unplug.size() != 2 && !done && pulledAt == 0) {
            if (::access(node.constData(), F_OK) != 0)
                pulledAt = Clock::now().time_since_epoch().count();
            ::usleep(2000);
        }
    });
    rig.ui.upload();
    const Clock::rep back = Clock::now().time_since_epoch().count();
    done = true;
    watcher.join();
    const qint64 took = pulledAt == 0 ? -1
                                      : std::chrono::duration_cast<std::chrono::milliseconds>(
                                            Clock::duration(back - pulledAt))
                                            .count();
    QVERIFY2(took >= 0 && took < 500, qPrintable(QString::number(took)));
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    QVERIFY2(rig.ui.messages.shown.first().startsWith(
                 QStringLiteral("Lost the connection to COM1 (%1): ").arg(rig.device)),
             qPrintable(rig.ui.messages.shown.first()));
}

// A device with two ports (here two ACM functions of one gadget): each has a COM number of its
// own, and scan after scan the same one.
void TestRealDrivers::portsOfOneDeviceKeepTheirNumbers()
{
    SysfsComPorts comPorts;
    const QStringList nodes = qEnvironmentVariable("ZELVOR_VM_PORTS").split(QLatin1Char(' '));
    QCOMPARE(nodes.size(), 2);
    QMap<QString, int> first;
    for (int scan = 0; scan < 5; ++scan) {
        QMap<QString, int> numbers;
        for (const ComPort &port : comPorts.scan())
            if (nodes.contains(port.device))
                numbers[port.device] = port.number;
        QCOMPARE(numbers.size(), 2);
        QVERIFY(numbers.first() != numbers.last());
        if (scan == 0)
            first = numbers;
        QCOMPARE(numbers, first);
    }
}

// The adapter is pulled out and plugged into the same socket again while a descriptor of the
// old one is still open, so the kernel names it ttyUSB1: its COM number goes with it.
void TestRealDrivers::replugKeepsTheNumber()
{
    SysfsComPorts comPorts;
    Rig rig;
    int number = 0;
    for (const ComPort &port : comPorts.scan())
        if (port.device == rig.device)
            number = port.number;
    QVERIFY(number > 0);
    const int old = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(old >= 0);
    QCOMPARE(::write(old, "KF-REPLUG", 9), qint64(9)); // the host pulls it out, and back in
    const QString renamed = QStringLiteral("/dev/ttyUSB1");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(renamed), 20000);
    ::close(old);
    QCOMPARE(comPorts.devicePath(number), renamed);
}

QTEST_MAIN(TestRealDrivers)
#include "tst_realdrivers.moc"
