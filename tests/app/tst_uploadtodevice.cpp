// Whole uploads from the real window through the real serial port on the kernel, file reading
// and event loop, to a pseudo-terminal that plays the device: what only the window and the
// kernel's own pseudo-terminal show (bytes altered on the way, the window closed while the device
// holds off, a Cancel while the port still holds most of a long line). An unplugged adapter, a
// file changed mid-upload and uploads in a row are tested on the kernel's drivers (tests/vm), on
// the simulated drivers (tests/platform/serial) and in tst_upload.

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/ptydevice.h"
#include "sim/samplelines.h"
#include "testfiles.h"
#include "windowrig.h"

namespace {

struct Rig {
    explicit Rig(const QByteArray &content)
        : file(writeFile(dir.filePath(QStringLiteral("app.DNL")), content))
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

} // namespace

class TestUploadToDevice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyLineArrivesExactly();
    void windowClosedWhileTheDeviceHoldsOff();
    void cancelWhileTheLastLongLineIsHeld();
};

// Catches any lost, added, reordered or altered byte on the way to the device, and an end
// declared before the characters had their time on the wire (a pty keeps no count).
void TestUploadToDevice::everyLineArrivesExactly()
{
    const QByteArray longLine(2000, 'D');
    Rig rig("S0030000FC\r\nlf line\nlone cr\r\r\n\x01\x1b\x7f\tcontrol\n" + longLine +
            "\r\n\nlast without end");
    const QByteArray expected =
        "S0030000FC\r\nlf line\r\nlone cr\r\n\r\n\x01\x1b\x7f\tcontrol\r\n" + longLine +
        "\r\n\r\nlast without end\r\n";
    const qint64 took = rig.ui.upload();
    QCOMPARE(rig.ui.messages.shown, QStringList());
    QCOMPARE(QByteArray::fromStdString(rig.pty.received()), expected);
    QVERIFY(took >= expected.size() * 1000 / 11520);
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
    Rig rig(SampleLines::withCrLf(SampleLines::make(100, 70)));
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

// Catches a Cancel that reports "Sent" while the device holds off most of a long last line
// (the part the port still held was dropped uncounted), and a Cancel slower than half a second.
void TestUploadToDevice::cancelWhileTheLastLongLineIsHeld()
{
    Rig rig("S0030000FC\r\n" + QByteArray(40000, 'L') + "\r\n");
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

QTEST_MAIN(TestUploadToDevice)
#include "tst_uploadtodevice.moc"
