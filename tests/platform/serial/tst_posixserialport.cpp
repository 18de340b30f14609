// The serial port at the edges, over each simulated driver on a fake clock: what a whole upload
// delivers and reports when the device holds off, is unplugged or is cancelled; and the port's
// locks and open errors.

#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTest>

#include "testfiles.h"
#include "uploadrig.h"

using namespace std::chrono_literals;
using Driver = SimulatedTty::Driver;

Q_DECLARE_METATYPE(Driver)

namespace {

QList<QByteArray> referenceLines()
{
    QList<QByteArray> lines;
    for (int i = 0; i < 30; ++i)
        lines.append("S2" + QByteArray::number(i).rightJustified(4, '0') + QByteArray(64, 'F'));
    return lines;
}

} // namespace

class TestPosixSerialPort : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void edges_data();
    void edges();
    void openRefused_data();
    void openRefused();
    void locksAreTakenAndReleased();
};

void TestPosixSerialPort::edges_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<QString>("scenario");

    const QList<std::pair<Driver, const char *>> drivers{{Driver::Uart16550, "16550"},
                                                         {Driver::UsbSerial, "usb-serial"},
                                                         {Driver::CdcAcm, "cdc-acm"},
                                                         {Driver::PseudoTerminal, "pty"}};
    for (const auto &[driver, name] : drivers)
        for (const char *scenario :
             {"delivered", "brief hold-off", "unplugged midway", "unplugged at the end",
              "held off at the end", "Cancel while held off"})
            QTest::addRow("%s, %s", name, scenario) << driver << QString::fromLatin1(scenario);
}

// Catches the tail of the file garbled by a settings change or a close while it is still in the
// hardware, a success reported for characters the device never got (held off, or unplugged
// while the count already read 0), and a Cancel that keeps the window waiting.
void TestPosixSerialPort::edges()
{
    QFETCH(Driver, driver);
    QFETCH(QString, scenario);

    const QList<QByteArray> lines = referenceLines();
    const QByteArray expected = withCrLf(lines);
    const auto wire = std::chrono::milliseconds(expected.size() * 1000 / 11520);
    UploadRig rig(lines, driver);
    std::chrono::milliseconds clickedAt{-1};
    if (scenario == "brief hold-off")
        rig.tty.holdOff(wire / 4, wire / 2);
    else if (scenario == "unplugged midway")
        rig.tty.unplugAt(wire / 2);
    else if (scenario == "unplugged at the end")
        rig.tty.unplugAt(wire - 5ms);
    else if (scenario == "held off at the end") {
        // From when the last 60 characters are on their way, after the last line was handed over;
        // a pass of 5 ms sends no more than 58.
        rig.events.onPass = [&] {
            if (clickedAt < 0ms && rig.tty.wire().size() >= expected.size() - 60) {
                clickedAt = rig.sinceOpen();
                rig.tty.holdOff(clickedAt, 3600s);
            }
        };
    } else if (scenario == "Cancel while held off") {
        rig.tty.holdOff(wire / 3, 3600s);
        rig.events.onPass = [&] {
            if (clickedAt < 0ms && rig.sinceOpen() >= wire / 3 + 1s) {
                clickedAt = rig.sinceOpen();
                rig.upload.cancel();
            }
        };
    }
    const std::chrono::milliseconds took = rig.run();

    const QByteArray received = rig.tty.received();
    const QString shown = rig.messages.shown.join(QLatin1Char('\n'));
    QVERIFY(!rig.tty.isOpen());
    QCOMPARE(rig.tty.settingsChangedInFlight, 0);
    QCOMPARE(rig.tty.exclusiveSetAtClose, 0);
    QVERIFY(sentAtLineSettings(rig.tty));
    QVERIFY(expected.startsWith(received));
    // A held-off pseudo-terminal refuses new bytes, but its reader still gets what it holds.
    const bool pty = driver == Driver::PseudoTerminal;
    if (scenario == "delivered" || scenario == "brief hold-off" ||
        (pty && scenario == "held off at the end")) {
        QCOMPARE(shown, QString());
        QCOMPARE(received, expected);
        QCOMPARE(rig.tty.cutAtClose, 0);
        QVERIFY(took >= wire); // never ahead of the wire, not even on a pty
        return;
    }
    QVERIFY(received.size() < expected.size());
    if (scenario.startsWith(QLatin1String("unplugged")))
        QVERIFY2(shown.startsWith(QLatin1String("Lost the connection to COM1 (/dev/ttyS0): ")),
                 qPrintable(shown));
    else if (scenario == "held off at the end")
        QVERIFY2(shown.startsWith(QLatin1String("The upload did not finish: ")) &&
                     shown.contains(QLatin1String("because the device on COM1 (/dev/ttyS0) did "
                                                  "not take them within 2.0 s.")),
                 qPrintable(shown));
    else { // Cancel: no message, the window back at once, and no spinning while held off
        QCOMPARE(shown, QString());
        QCOMPARE(rig.form.bar.text, QStringLiteral("Cancelled"));
        QVERIFY2(rig.events.passes < 120, qPrintable(QString::number(rig.events.passes)));
        QVERIFY(rig.sinceOpen() - clickedAt < 500ms);
    }
}

void TestPosixSerialPort::openRefused_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("message");

    QTest::newRow("no permission")
        << "EACCES"
        << "/dev/ttyUSB0"
        << "Cannot open COM1 (/dev/ttyUSB0): Permission denied. Add your user to the 'dialout' "
           "group and log in again.";
    QTest::newRow("phantom built-in port")
        << "EIO"
        << "/dev/ttyS3"
        << "Cannot open COM1 (/dev/ttyS3): Input/output error. There is no serial port hardware "
           "behind /dev/ttyS3; choose the port your device is connected to.";
    QTest::newRow("ACM device being probed")
        << "EBUSY"
        << "/dev/ttyACM0"
        << "COM1 (/dev/ttyACM0) is busy. A device that has just been plugged in is often probed "
           "by ModemManager for a few seconds: wait a moment, then upload again.";
    QTest::newRow("flock() held") << "flock"
                                  << "/dev/ttyUSB0"
                                  << "COM1 (/dev/ttyUSB0) is in use by another program.";
    QTest::newRow("exclusive mode held, opened as root")
        << "TIOCEXCL"
        << "/dev/ttyUSB0"
        << "COM1 (/dev/ttyUSB0) is in use by another program.";
    QTest::newRow("live lock file of the device")
        << "LCK..ttyUSB0"
        << "/dev/ttyUSB0"
        << "COM1 (/dev/ttyUSB0) is in use by another program (process PARENT).";
    QTest::newRow("live Qt lock file named after the link")
        << "LCK..COM2"
        << "DIR/COM2"
        << "COM1 (DIR/COM2 \u2192 DIR/ttyUSB0) is in use by another program (process PARENT).";
    QTest::newRow("driver keeps 8 data bits")
        << "8 bits"
        << "/dev/ttyUSB0"
        << "COM1 (/dev/ttyUSB0) does not take the line settings 115200 baud, 7 data bits, no "
           "parity, 2 stop bits, RTS/CTS: its driver kept 8 data bits. Nothing was sent.";
}

// Catches another program's port being taken over (its lock deleted, its exclusive flag
// ignored), messages that hide the reason or the fix, and a port left open or locked after.
void TestPosixSerialPort::openRefused()
{
    QFETCH(QString, fault);
    QFETCH(QString, device);
    QFETCH(QString, message);

    UploadRig rig({});
    rig.port.setLineSettings(Upload::kLineSettings);
    rig.port.setHandshaking(Handshaking::RtsCts);
    const QString dir = rig.lockFolder.path();
    const QString parent = QString::number(::getppid());
    rig.device = QString(device).replace(QLatin1String("DIR"), dir);
    writeFile(dir + QStringLiteral("/ttyUSB0"), {});
    QFile::link(dir + QStringLiteral("/ttyUSB0"), dir + QStringLiteral("/COM2"));
    if (fault == "EACCES")
        rig.tty.openError = -EACCES;
    else if (fault == "EIO")
        rig.tty.openError = -EIO;
    else if (fault == "EBUSY")
        rig.tty.openError = -EBUSY;
    else if (fault == "flock")
        rig.tty.lockedElsewhere = true;
    else if (fault == "TIOCEXCL")
        rig.tty.exclusiveElsewhere = true;
    else if (fault == "8 bits")
        rig.tty.keepsEightBits = true;
    else if (fault == "LCK..ttyUSB0")
        writeFile(dir + QLatin1Char('/') + fault, parent.rightJustified(10).toLatin1() + '\n');
    else
        writeFile(dir + QLatin1Char('/') + fault, parent.toLatin1() + "\nminicom\nbench\n");

    QCOMPARE(errorText([&] { rig.port.open(); }), QString(message)
                                                      .replace(QLatin1String("DIR"), dir)
                                                      .replace(QLatin1String("PARENT"), parent));
    QVERIFY(!rig.port.isOpen());
    QVERIFY(!rig.tty.isOpen());
    QCOMPARE(rig.tty.exclusiveSetAtClose, 0);
    const QStringList locks = QDir(dir).entryList({QStringLiteral("LCK..*")});
    QCOMPARE(locks, fault.startsWith(QLatin1String("LCK")) ? QStringList{fault} : QStringList());
}

// Catches a stale lock that blocks the port for good, a lock of ours that is not there while the
// port is open or is left behind after it, and a lock folder we cannot write to stopping the
// upload.
void TestPosixSerialPort::locksAreTakenAndReleased()
{
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ::waitpid(ended, nullptr, 0);

    UploadRig rig({});
    const QString lock = rig.lockFolder.filePath(QStringLiteral("LCK..ttyS0"));
    writeFile(lock, QByteArray::number(ended).rightJustified(10) + '\n');
    rig.port.open();
    QFile held(lock);
    QVERIFY(held.open(QIODevice::ReadOnly));
    QCOMPARE(held.readAll(), QByteArray::number(::getpid()).rightJustified(10) + '\n');

    PosixSerialPort second(
        rig.tty, [](int) { return QStringLiteral("/dev/ttyS0"); }, rig.lockFolder.path());
    QCOMPARE(errorText([&] { second.open(); }),
             QStringLiteral("COM1 (/dev/ttyS0) is in use by another program (process %1).")
                 .arg(::getpid()));
    rig.port.discardAndClose();
    QVERIFY(!QFile::exists(lock));

    PosixSerialPort noFolder(
        rig.tty, [](int) { return QStringLiteral("/dev/ttyS0"); },
        QStringLiteral("/nonexistent/lock"));
    noFolder.open();
    QVERIFY(noFolder.isOpen());
}

QTEST_GUILESS_MAIN(TestPosixSerialPort)
#include "tst_posixserialport.moc"
