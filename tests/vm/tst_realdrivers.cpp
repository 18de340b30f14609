// The real window, port and upload on the Linux kernel's own serial drivers, inside the QEMU
// guest that tools/vm/test boots: each test function is one scenario, run on the device named by
// ZELVOR_VM_DEVICE (its driver in ZELVOR_VM_DRIVER), with the file ZELVOR_VM_FILE. The host, a
// program in the guest on a gadget's end, or a chip played by tools/vm/chipplayer.cpp plays the
// device. Where the chip is played (ZELVOR_VM_PLAYER), each scenario tells the player how the
// device behaves, and checks what it got and what the driver asked of the chip; elsewhere the
// host checks the bytes. Not run on the build machine: it needs the guest's ports.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/desktop/qteventloop.h"
#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/scriptedwindow.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds on CLOCK_MONOTONIC, the player's clock (steady_clock is CLOCK_MONOTONIC on Linux).
double secondsNow()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

QString driver()
{
    return qEnvironmentVariable("ZELVOR_VM_DRIVER");
}

// What the bar says when the device has everything: cdc_acm's driver can only say that the USB
// device took every character.
QString doneText()
{
    return driver() == QLatin1String("cdc_acm") ? QStringLiteral("Taken by the USB device in")
                                                : QStringLiteral("Sent in");
}

struct Rig {
    Rig()
        : device(qEnvironmentVariable("ZELVOR_VM_DEVICE")),
          file(qEnvironmentVariable("ZELVOR_VM_FILE"))
    {
        ui.button("cmdBrowse")->click();
    }
    // What the device must get from one upload: every line with CR LF.
    QByteArray sent() const
    {
        QFile expected(QString(file).replace(QLatin1String(".DNL"), QLatin1String(".sent")));
        return expected.open(QIODevice::ReadOnly) ? expected.readAll() : QByteArray();
    }
    KernelTty tty;
    const QString device;
    const QString file;
    QTemporaryDir locks;
    PosixSerialPort port{tty, [this](int) { return device; }, locks.path()};
    SysfsComPorts comPorts;
    QtEventLoop events;
    ScriptedWindow ui{port, events, comPorts, file};
};

// Every text the bar showed, with the bar's value beside it, looked at every 20 ms.
struct BarWatch {
    explicit BarWatch(ScriptedWindow &ui)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, &ui] {
            const int value = ui.window.findChild<QProgressBar *>()->value();
            if (texts.isEmpty() || texts.last() != ui.bar() || values.last() != value) {
                texts.append(ui.bar());
                values.append(value);
            }
        });
        timer.start(20);
    }
    bool saw(const QString &text) const { return texts.join('|').contains(text); }
    QString all() const { return texts.join('|'); }
    QTimer timer;
    QStringList texts;
    QList<int> values;
};

// The chip tools/vm/chipplayer.cpp plays, where there is one.
class PlayedChip {
public:
    bool exists() const { return !m_control.isEmpty(); }
    // A record of its own for this scenario, and how the device behaves in it.
    bool plan(const QString &name, const QString &behaviour = QString())
    {
        m_name = name;
        return command(QStringLiteral("plan %1 %2").arg(name, behaviour)) &&
               QTest::qWaitFor([this] { return !events().isEmpty(); }, 5000);
    }
    bool command(const QString &text) const
    {
        QFile control(m_control);
        return control.open(QIODevice::WriteOnly) && control.write(text.toUtf8() + '\n') > 0;
    }
    // The player's events, each "<seconds> <what>".
    QStringList events() const
    {
        QFile log(m_records + '/' + m_name + QLatin1String(".log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // The last (or first) event that starts with what, without its time; empty if none.
    QString last(const QString &what, double *at = nullptr, bool first = false) const
    {
        QStringList all = events();
        if (!first)
            std::reverse(all.begin(), all.end());
        for (const QString &event : all) {
            const QString text = event.section(' ', 1);
            if (text.startsWith(what)) {
                if (at)
                    *at = event.section(' ', 0, 0).toDouble();
                return text;
            }
        }
        return {};
    }
    // A number that follows a word in an event ("hold 3000 bulk-out 3256").
    static long number(const QString &event, const QString &word)
    {
        const QStringList words = event.split(' ');
        const qsizetype index = words.indexOf(word);
        return index >= 0 && index + 1 < words.size() ? words[index + 1].toLong() : -1;
    }
    QByteArray received() const
    {
        QFile bin(m_records + '/' + m_name + QLatin1String(".bin"));
        return bin.open(QIODevice::ReadOnly) ? bin.readAll() : QByteArray();
    }

private:
    const QString m_control = qEnvironmentVariable("ZELVOR_VM_PLAYER");
    const QString m_records = qEnvironmentVariable("ZELVOR_VM_RECORDS");
    QString m_name;
};

} // namespace

class TestRealDrivers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fiveUploadsExactly();
    void heldOffThenTaken_data();
    void heldOffThenTaken();
    void ctsDroppedAfterTheLastLine();
    void cancelWhileHeldForGood();
    void heldByAnotherProgram_data();
    void heldByAnotherProgram();
    void refusedWithoutHandshaking();
    void unpluggedMidUpload();
    void portsOfOneDeviceKeepTheirNumbers();
    void replugKeepsTheNumber();
};

void TestRealDrivers::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("ZELVOR_VM_DEVICE"))
        QFAIL("ZELVOR_VM_DEVICE is not set: tools/vm/test runs this in its guest");
}

// Every byte arrives, five uploads in a row, and the line is 7N2 with RTS/CTS: a played chip
// was set so by its driver's requests; a UART's or QEMU's FTDI driver keeps it while the port is
// open (read back through a second descriptor, as root may). cdc_acm's settings only reach
// the gadget's driver, so there nothing is claimed.
void TestRealDrivers::fiveUploadsExactly()
{
    Rig rig;
    PlayedChip chip;
    QVERIFY(!chip.exists() || chip.plan(QStringLiteral("five")));
    for (int i = 0; i < 5; ++i) {
        if (i == 2 && !chip.exists() && driver() != QLatin1String("cdc_acm")) {
            rig.port.setPortNumber(1);
            rig.port.setLineSettings(kLineFormat);
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
        QVERIFY2(rig.ui.messages.shown.isEmpty(), qPrintable(rig.ui.messages.shown.join('|')));
        QVERIFY2(rig.ui.bar().startsWith(doneText()), qPrintable(rig.ui.bar()));
    }
    if (chip.exists()) {
        QCOMPARE(chip.received(), rig.sent().repeated(5));
        // The settings the chip had when the first character came, as its driver set them
        // (the chip's own baud rate is the nearest its divisor reaches).
        QString line;
        for (const QString &event : chip.events()) {
            const QString what = event.section(' ', 1);
            if (what.startsWith(QLatin1String("first-data")))
                break;
            line = what.startsWith(QLatin1String("line ")) ? what : line;
        }
        const QStringList words = line.split(' ');
        QVERIFY2(words.size() == 4 && qAbs(words[1].toDouble() / 115200 - 1) < 0.02 &&
                     words[2] == QLatin1String("7N2") && words[3] == QLatin1String("rts/cts"),
                 qPrintable(line));
    }
}

// The device stops taking data for 3 s, mid-file or once the last line was handed over: the bar
// says so (CTS off where the driver reports the chip's CTS), and the upload then goes on and ends
// with every byte. At the end the hold must come after the last line was handed over: the bar's
// count (of the lines that left the port) never moves again from the first hold text on. On a
// played chip the device really held where planned and read again, and "Sent" came only once
// the chip had sent its last character. A UART's driver is seen holding characters (TIOCOUTQ
// through a second descriptor, as root may); the host checks that its device held.
void TestRealDrivers::heldOffThenTaken_data()
{
    QTest::addColumn<bool>("atTheEnd");
    QTest::newRow("middle") << false;
    QTest::newRow("end") << true;
}

void TestRealDrivers::heldOffThenTaken()
{
    QFETCH(const bool, atTheEnd);
    Rig rig;
    PlayedChip chip;
    const qsizetype size = rig.sent().size();
    const long holdAt = atTheEnd ? size - 20 : 3000;
    QVERIFY(size > 3500);
    QVERIFY(!chip.exists() || chip.plan(atTheEnd ? QStringLiteral("end") : QStringLiteral("middle"),
                                        QStringLiteral("hold %1 3000").arg(holdAt)));
    bool queuedSome = false;
    const int look = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    QVERIFY(look >= 0);
    BarWatch bar(rig.ui);
    QObject::connect(&bar.timer, &QTimer::timeout, [&] {
        int queued = 0;
        queuedSome |= ::ioctl(look, TIOCOUTQ, &queued) == 0 && queued > 0;
    });
    const qint64 took = rig.ui.upload();
    const double back = secondsNow();
    ::close(look);
    QCOMPARE(rig.ui.messages.shown, QStringList());
    QVERIFY2(rig.ui.bar().startsWith(doneText()), qPrintable(rig.ui.bar()));
    const QString held = chip.exists() ? QStringLiteral("CTS off \u00b7 waiting 0:01")
                                       : QStringLiteral("Waiting for the device \u00b7 0:01");
    QVERIFY2(bar.saw(held), qPrintable(bar.all()));
    QVERIFY(took >= 3000);
    // (What a played chip holds at the end fits in its own buffer.)
    QVERIFY2((chip.exists() && atTheEnd) || queuedSome, "the driver's queue never held anything");
    if (atTheEnd) {
        const qsizetype first = bar.texts.indexOf(
            QRegularExpression(QStringLiteral("(Waiting for the device|CTS off).*")));
        QVERIFY(first >= 0);
        const QList<int> after = bar.values.mid(first);
        QVERIFY2(after.count(after.first()) == after.size(),
                 qPrintable(QStringLiteral("the hold came before the last line was handed over: ") +
                            bar.all()));
    }
    if (chip.exists()) {
        QCOMPARE(chip.received(), rig.sent());
        double heldAt = 0, releasedAt = 0, emptyAt = 0;
        QCOMPARE(PlayedChip::number(chip.last(QStringLiteral("hold"), &heldAt), "hold"), holdAt);
        QVERIFY(!chip.last(QStringLiteral("release"), &releasedAt).isEmpty());
        QVERIFY(releasedAt - heldAt >= 2.9);
        // The first time the chip had sent everything (a purge at close says so again).
        QVERIFY(!chip.last(QStringLiteral("empty %1 ").arg(size), &emptyAt, true).isEmpty());
        QVERIFY2(emptyAt <= back, qPrintable(QStringLiteral("\"Sent\" %1 ms before the chip had "
                                                            "sent its last character")
                                                 .arg(qRound((emptyAt - back) * 1000))));
        if (atTheEnd)
            qInfo("\"Sent\" %d ms after the chip sent its last character",
                  int(qRound((back - emptyAt) * 1000)));
    }
}

// The device turns CTS off once it has the last character, for 3 s. Where the driver asks the
// chip whether it has sent everything (ftdi_sio, cp210x), that is enough: "Sent" at once, never
// "CTS off". Where it cannot (pl2303), the program cannot tell the device's hold from a chip
// that still holds characters: it waits, says CTS is off, and says "Sent" once CTS has been on
// for as long as the largest adapter buffer takes on the wire.
void TestRealDrivers::ctsDroppedAfterTheLastLine()
{
    Rig rig;
    PlayedChip chip;
    QVERIFY(chip.exists());
    const qsizetype size = rig.sent().size();
    QVERIFY(chip.plan(QStringLiteral("dropped"), QStringLiteral("hold %1 3000").arg(size)));
    BarWatch bar(rig.ui);
    rig.ui.upload();
    const double back = secondsNow();
    QVERIFY2(rig.ui.bar().startsWith(doneText()), qPrintable(rig.ui.bar()));
    QCOMPARE(chip.received(), rig.sent());
    double heldAt = 0, releasedAt = 0;
    QCOMPARE(PlayedChip::number(chip.last(QStringLiteral("hold"), &heldAt), "hold"), long(size));
    // Whether the driver asks the chip itself whether it has sent everything (its tx_empty:
    // ftdi_tx_empty() in drivers/usb/serial/ftdi_sio.c, cp210x_tx_empty() in cp210x.c).
    if (driver() == QLatin1String("ftdi_sio") || driver() == QLatin1String("cp210x")) {
        QVERIFY2(back - heldAt < 1.5, qPrintable(QString::number(back - heldAt)));
        QVERIFY2(!bar.saw(QStringLiteral("CTS off")), qPrintable(bar.all()));
    } else {
        QVERIFY(!chip.last(QStringLiteral("release"), &releasedAt).isEmpty());
        QVERIFY2(bar.saw(QStringLiteral("CTS off \u00b7 waiting 0:01")), qPrintable(bar.all()));
        QVERIFY2(back >= releasedAt, "\"Sent\" while CTS was still off");
        qInfo("\"Sent\" %d ms after CTS came back", int(qRound((back - releasedAt) * 1000)));
    }
}

// The device takes nothing more, with the driver's 30 s closing wait: Cancel gives the window
// back within 0.5 s once the bar has said for a second that it waits, counts what the driver
// held as not sent, and the next Upload to the port never blocks the window. Then the device
// reads again: it gets only what had passed the driver (on a played chip: nothing while it held,
// what the chip held when it read again, unless the driver purged it at close, and nothing
// from USB after that; the host checks its own devices), and it must read again.
void TestRealDrivers::cancelWhileHeldForGood()
{
    Rig rig;
    PlayedChip chip;
    QVERIFY(!chip.exists() || chip.plan(QStringLiteral("cancel"), QStringLiteral("hold 2000 -1")));
    const int fd = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
    serial_struct serial{};
    QVERIFY(fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &serial) == 0);
    ::close(fd);
    QVERIFY2(serial.closing_wait >= 1000, qPrintable(QString::number(serial.closing_wait)));
    QElapsedTimer clicked;
    int queued = -1;
    BarWatch bar(rig.ui);
    QObject::connect(&bar.timer, &QTimer::timeout, [&] {
        if (clicked.isValid() || !rig.ui.bar().contains(QLatin1String("0:01")))
            return;
        // A second descriptor, closed at once: the program's close stays the last one.
        const int look = ::open(rig.device.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK);
        ::ioctl(look, TIOCOUTQ, &queued);
        ::close(look);
        clicked.start();
        rig.ui.button("cmdCancel")->click();
    });
    rig.ui.upload();
    QVERIFY2(clicked.isValid(), qPrintable(bar.all()));
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
    if (chip.exists()) {
        QVERIFY(chip.command(QStringLiteral("release")));
        // The chip has sent all it took (at close cp210x purges it, and then has nothing).
        QTRY_VERIFY_WITH_TIMEOUT(
            PlayedChip::number(chip.last(QStringLiteral("empty")), "bulk-out") ==
                    PlayedChip::number(chip.last(QStringLiteral("release")), "bulk-out") &&
                PlayedChip::number(chip.last(QStringLiteral("empty")), "empty") ==
                    chip.received().size(),
            5000);
        const QString released = chip.last(QStringLiteral("release"));
        const QByteArray received = chip.received();
        QVERIFY2(
            PlayedChip::number(released, "release") == 2000,
            qPrintable(QStringLiteral("the device got characters while it held: ") + released));
        QVERIFY(rig.sent().startsWith(received));
    }
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

// A CH340's driver before 6.14 neither tells the chip to hold off on CTS nor reports that it
// does not (RTS/CTS came to ch341.c with commit 35478bc369a6, in 6.14): the port is refused
// before it is opened, and the chip gets nothing, not even the requests of an open.
void TestRealDrivers::refusedWithoutHandshaking()
{
    Rig rig;
    PlayedChip chip;
    QVERIFY(chip.exists() && chip.plan(QStringLiteral("refused")));
    rig.ui.upload();
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    const QString &message = rig.ui.messages.shown.first();
    QVERIFY2(message.contains(QLatin1String("ignores RTS/CTS handshaking")) &&
                 message.endsWith(QLatin1String("Nothing was sent.")),
             qPrintable(message));
    QCOMPARE(chip.received(), QByteArray());
    QVERIFY2(chip.last(QStringLiteral("first-data")).isEmpty(), "the chip got data");
    QVERIFY2(
        chip.last(QStringLiteral("request")).isEmpty(),
        qPrintable(QStringLiteral("the port was opened: ") + chip.last(QStringLiteral("request"))));
}

// The device goes away mid-upload: "Lost the connection" within half a second, never a
// success. A played chip is pulled by its player after 3000 characters, at the time its record
// says; where ZELVOR_VM_UNPLUG names a sysfs file and what to write to it, the guest pulls the
// gadget; otherwise the host pulls the adapter, and the moment the kernel lets go of its tty is
// the moment it was pulled.
void TestRealDrivers::unpluggedMidUpload()
{
    Rig rig;
    PlayedChip chip;
    QVERIFY(!chip.exists() || chip.plan(QStringLiteral("unplug"), QStringLiteral("unplug 3000")));
    const QStringList unplug = qEnvironmentVariable("ZELVOR_VM_UNPLUG").split(QLatin1Char('='));
    std::atomic<double> pulledAt{0};
    if (unplug.size() == 2)
        QTimer::singleShot(1500, &rig.ui.window, [&] {
            QFile control(unplug[0]);
            QVERIFY(control.open(QIODevice::WriteOnly));
            control.write(unplug[1].toLatin1());
            control.close();
            pulledAt = secondsNow();
        });
    std::atomic<bool> done{false};
    const QByteArray node =
        QFile::encodeName(QStringLiteral("/sys/class/tty/") + QFileInfo(rig.device).fileName());
    std::thread watcher([&] {
        while (unplug.size() != 2 && !chip.exists() && !done && pulledAt == 0) {
            if (::access(node.constData(), F_OK) != 0)
                pulledAt = secondsNow();
            ::usleep(2000);
        }
    });
    rig.ui.upload();
    const double back = secondsNow();
    done = true;
    watcher.join();
    double unpluggedAt = 0;
    if (chip.exists() && !chip.last(QStringLiteral("unplug"), &unpluggedAt).isEmpty())
        pulledAt = unpluggedAt;
    const qint64 took = pulledAt == 0 ? -1 : qRound64((back - pulledAt) * 1000);
    QVERIFY2(took >= 0 && took < 500, qPrintable(QString::number(took)));
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    QVERIFY2(rig.ui.messages.shown.first().startsWith(
                 QStringLiteral("Lost the connection to COM1 (%1): ").arg(rig.device)),
             qPrintable(rig.ui.messages.shown.first()));
    if (chip.exists())
        QVERIFY(rig.sent().startsWith(chip.received()) && chip.received().size() == 3000);
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
