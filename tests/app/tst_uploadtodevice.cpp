// Whole uploads from the real window through the real serial port on the kernel, file reading
// and event loop, to a pseudo-terminal that plays the device: one case for each kind of fault
// (bytes altered or a second upload refused, the window closed while the device holds off, the
// adapter pulled, the file changed).

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/ptydevice.h"
#include "testfiles.h"
#include "windowrig.h"

namespace {

struct Rig {
    explicit Rig(const QString &content)
        : file(writeFile(dir.filePath(QStringLiteral("app.DNL")), content.toLatin1()))
    {}
    // The window is ready again and another program could open the device now.
    bool ready()
    {
        PosixSerialPort other(
            tty, [this](int) { return device; }, dir.path());
        other.open();
        return other.isOpen() && ui.ready();
    }

    PtyDevice pty;
    const QString device = QString::fromStdString(pty.path());
    QTemporaryDir dir;
    const QString file;
    KernelTty tty;
    PosixSerialPort port{tty, [this](int) { return device; }, dir.path()};
    SysfsComPorts comPorts{dir.path(), dir.path()};
    WindowRig ui{port, comPorts, file};
};

QString manyLines(int count)
{
    QString content;
    for (int i = 0; i < count; ++i)
        content +=
            QStringLiteral("S113%1%2\r\n").arg(i, 6, 10, QLatin1Char('0')).arg(QString(60, 'F'));
    return content;
}

} // namespace

class TestUploadToDevice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyLineArrivesExactly();
    void windowClosedWhileTheDeviceHoldsOff();
    void deviceUnpluggedMidUpload();
    void cancelWhileTheLastLongLineIsHeld();
    void fileCutMidLineDuringTheUpload();
};

// Catches any lost, added, reordered or altered byte on the way to the device, an end declared
// before the characters had their time on the wire (a pty keeps no count), and a later upload
// to the same device refused (glibc's read-back of the settings a pty kept).
void TestUploadToDevice::everyLineArrivesExactly()
{
    const QString longLine(2000, 'D');
    Rig rig(QStringLiteral("S0030000FC\r\nlf line\nlone cr\r\r\n\x01\x1b\x7f\tcontrol\n") +
            longLine + "\r\n\nlast without end");
    const QByteArray expected =
        "S0030000FC\r\nlf line\r\nlone cr\r\n\r\n\x01\x1b\x7f\tcontrol\r\n" + longLine.toLatin1() +
        "\r\n\r\nlast without end\r\n";
    for (int i = 0; i < 5; ++i) {
        const qint64 took = rig.ui.upload();
        QCOMPARE(rig.ui.messages.shown, QStringList());
        QCOMPARE(QByteArray::fromStdString(rig.pty.received()), expected);
        QVERIFY(took >= expected.size() * 1000 / 11520);
    }
    QVERIFY(rig.ready());
    // Full once the device has it all; the figures count what went out, CR LF and all.
    QCOMPARE(rig.ui.window.progress().value(), rig.ui.window.progress().maximum());
    QVERIFY2(rig.ui.tip().contains(
                 QStringLiteral(" of %1 characters").arg(QLocale().toString(expected.size()))),
             qPrintable(rig.ui.tip()));
}

// Catches a hold-off the bar does not show; a closed window that is not seen, or that waits for
// the device, while it holds off; and a port left locked after it. (Cancel, and the next upload
// after it, are walked through in tst_keyboardjob.)
void TestUploadToDevice::windowClosedWhileTheDeviceHoldsOff()
{
    Rig rig(manyLines(100));
    rig.pty.holdOff(true);
    rig.ui.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.ui.window));
    QString held;
    QTimer::singleShot(1300, &rig.ui.window, [&rig, &held] {
        held = rig.ui.bar();
        rig.ui.window.close();
    });
    const qint64 took = rig.ui.upload();

    QCOMPARE(held, QStringLiteral("Waiting for the device \u00b7 0:01"));
    QVERIFY2(took < 1800, qPrintable(QString::number(took)));
    QCOMPARE(rig.ui.messages.shown, QStringList());
    QVERIFY(!rig.ui.window.isVisible());
    QVERIFY(rig.ready());
}

// Catches an upload that hangs or reports success after the adapter is pulled.
void TestUploadToDevice::deviceUnpluggedMidUpload()
{
    Rig rig(manyLines(100));
    QTimer::singleShot(200, &rig.ui.window, [&rig] { rig.pty.unplug(); });
    const qint64 took = rig.ui.upload();

    QVERIFY(took < 1000);
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    QVERIFY2(rig.ui.messages.shown.first().startsWith(
                 QStringLiteral("Lost the connection to COM1 (%1): Input/output error.")
                     .arg(rig.device)),
             qPrintable(rig.ui.messages.shown.first()));
    QVERIFY(rig.ui.button("cmdLoad")->isEnabled());
}

// Catches a Cancel that reports "Sent" while the device holds off most of a long last line
// (the part the port still held was dropped uncounted), and a Cancel slower than half a second.
void TestUploadToDevice::cancelWhileTheLastLongLineIsHeld()
{
    Rig rig(QStringLiteral("S0030000FC\r\n") + QString(40000, 'L') + "\r\n");
    std::size_t taken = 0;
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        taken += rig.pty.pump();
        if (taken >= 1000)
            rig.pty.holdOff(true), pump.stop();
    });
    pump.start(1);
    QString held;
    QElapsedTimer clicked;
    QTimer::singleShot(4500, &rig.ui.window, [&] {
        held = rig.ui.bar();
        clicked.start();
        rig.ui.button("cmdCancel")->click();
    });
    rig.ui.upload();
    const qint64 back = clicked.elapsed();
    taken += rig.pty.received().size();

    QVERIFY2(held.startsWith(QStringLiteral("Waiting for the device \u00b7 0:0")),
             qPrintable(held));
    QVERIFY2(back < 500, qPrintable(QString::number(back)));
    static const QRegularExpression cancelled(
        QStringLiteral("^Cancelled \u00b7 (about \\d+|not all) not sent$"));
    QVERIFY2(cancelled.match(rig.ui.bar()).hasMatch(), qPrintable(rig.ui.bar()));
    QVERIFY(taken < 40014);
    QVERIFY(rig.ready());
}

// Catches a line torn at the device when the file changes under the upload: what was handed
// over still goes out whole, run after run.
void TestUploadToDevice::fileCutMidLineDuringTheUpload()
{
    for (int run = 0; run < 10; ++run) {
        Rig rig(manyLines(80));
        QTimer::singleShot(200 + 23 * run, &rig.ui.window, [&rig] {
            QFile file(rig.file);
            QVERIFY(file.resize(file.size() / 2 + 11));
        });
        rig.ui.upload();
        const QByteArray got = QByteArray::fromStdString(rig.pty.received());
        QCOMPARE(rig.ui.messages.shown.size(), 1);
        QVERIFY2(rig.ui.messages.shown.first().contains(QLatin1String("changed while it was")),
                 qPrintable(rig.ui.messages.shown.first()));
        QVERIFY(got.endsWith("\r\n") && manyLines(80).toLatin1().startsWith(got));
        QVERIFY(rig.ui.messages.shown.first().endsWith(
            QStringLiteral("The device got the first %1 lines whole.").arg(got.count('\n'))));
    }
}

QTEST_MAIN(TestUploadToDevice)
#include "tst_uploadtodevice.moc"
