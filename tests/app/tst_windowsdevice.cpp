// The Windows program's window on the real Win32 port, under Wine, to a pseudo-terminal that
// tools/windows/test links as COM3 and plays the device with: each function is one scenario,
// run by that script with the device it needs (reading everything, holding off for good, or
// closing its end midway); the script checks the bytes the device got. The download file's path
// comes in ZELVOR_TEST_FILE.

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "platform/desktop/qteventloop.h"
#include "platform/serial/systemports.h"
#include "sim/scriptedwindow.h"

namespace {

struct Rig {
    explicit Rig(const QString &port)
    {
        ui.button("cmdBrowse")->click();
        ui.window.findChild<QComboBox *>(QStringLiteral("cboPorts"))->setCurrentText(port);
        ui.window.show();
    }
    SystemPorts ports;
    QtEventLoop events;
    ScriptedWindow ui{ports.serialPort(), events, ports.comPorts(),
                      qEnvironmentVariable("ZELVOR_TEST_FILE")};
};

} // namespace

class TestWindowsDevice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void uploadArrives();
    void cancelWhileHeldOff();
    void deviceGoneMidUpload();
    void missingPort_data();
    void missingPort();
    void portAboveCom4();
    void typedPortAddedAfterStart();
};

// The device reads everything: no message, "Sent", and the window ready; then once more, as a
// second upload to the same port.
void TestWindowsDevice::uploadArrives()
{
    Rig rig(QStringLiteral("COM3"));
    for (int i = 0; i < 2; ++i) {
        rig.ui.upload();
        QVERIFY2(rig.ui.messages.shown.isEmpty(), qPrintable(rig.ui.messages.shown.join(' ')));
        QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
        QVERIFY(rig.ui.ready());
    }
}

// The device never reads: the bar says so, Cancel gives the window back within 0.5 s, and the
// bar says that what was handed over did not all reach the device.
void TestWindowsDevice::cancelWhileHeldOff()
{
    Rig rig(QStringLiteral("COM3"));
    QString held;
    qint64 clickedAt = 0;
    QElapsedTimer timer;
    timer.start();
    QTimer::singleShot(2500, &rig.ui.window, [&] {
        held = rig.ui.bar();
        clickedAt = timer.elapsed();
        rig.ui.button("cmdCancel")->click();
    });
    rig.ui.upload();
    const qint64 afterClick = timer.elapsed() - clickedAt;
    QVERIFY2(held.startsWith(QStringLiteral("Waiting for the device \u00b7 0:0")),
             qPrintable(held));
    QVERIFY2(afterClick < 500, qPrintable(QString::number(afterClick)));
    QCOMPARE(rig.ui.messages.shown, QStringList());
    static const QRegularExpression notSent(
        QStringLiteral("^Cancelled \u00b7 (about \\d+|not all) not sent$"));
    QVERIFY2(notSent.match(rig.ui.bar()).hasMatch(), qPrintable(rig.ui.bar()));
    QVERIFY(rig.ui.ready());
}

// The device's end closes midway: a lost connection, never a success.
void TestWindowsDevice::deviceGoneMidUpload()
{
    Rig rig(QStringLiteral("COM3"));
    const qint64 took = rig.ui.upload();
    QVERIFY(took < 10000);
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    QVERIFY2(
        rig.ui.messages.shown.first().startsWith(QLatin1String("Lost the connection to COM3: ")),
        qPrintable(rig.ui.messages.shown.first()));
    QCOMPARE(rig.ui.bar(), QStringLiteral("Stopped"));
    QVERIFY(rig.ui.ready());
}

void TestWindowsDevice::missingPort_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("told");
    QTest::newRow("nothing linked") << "COM4"
                                    << "COM4: no serial port has this number. ";
    QTest::newRow("linked to /dev/null") << "COM6"
                                         << " COM6 is not a serial port; ";
}

// Nothing is linked as COM4, and COM6 is linked to something that is no serial port: each is
// told as what it is, never as a lost connection.
void TestWindowsDevice::missingPort()
{
    QFETCH(QString, port);
    QFETCH(QString, told);
    Rig rig(port);
    rig.ui.upload();
    QCOMPARE(rig.ui.messages.shown.size(), 1);
    QVERIFY2(rig.ui.messages.shown.first().contains(told),
             qPrintable(rig.ui.messages.shown.first()));
    QVERIFY(rig.ui.ready());
}

// The device's port is COM12, as Windows numbers many USB adapters: the list offers it after
// COM1 to COM4, and the upload to it arrives.
void TestWindowsDevice::portAboveCom4()
{
    Rig rig(QStringLiteral("COM1"));
    auto *box = rig.ui.window.findChild<QComboBox *>(QStringLiteral("cboPorts"));
    const int at = box->findText(QStringLiteral("COM12"));
    QVERIFY2(at >= 4, qPrintable(QString::number(at)));
    box->setCurrentIndex(at);
    rig.ui.upload();
    QVERIFY2(rig.ui.messages.shown.isEmpty(), qPrintable(rig.ui.messages.shown.join(' ')));
    QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
}

// An adapter plugged in after the program started: once the window is up, this says so in the
// file ZELVOR_TEST_STARTED names, and the script links the device as COM7 and creates the file
// ZELVOR_TEST_LINKED names. COM7, typed into the port box as Device Manager shows it, without
// the list having dropped down since, is uploaded to.
void TestWindowsDevice::typedPortAddedAfterStart()
{
    Rig rig(QStringLiteral("COM1"));
    QVERIFY(QTest::qWaitForWindowExposed(&rig.ui.window));
    auto *box = rig.ui.window.findChild<QComboBox *>(QStringLiteral("cboPorts"));
    QCOMPARE(box->findText(QStringLiteral("COM7")), -1);
    QFile started(qEnvironmentVariable("ZELVOR_TEST_STARTED"));
    QVERIFY(started.open(QIODevice::WriteOnly));
    started.close();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(qEnvironmentVariable("ZELVOR_TEST_LINKED")), 30000);

    box->lineEdit()->selectAll();
    QTest::keyClicks(box->lineEdit(), QStringLiteral("COM7"));
    QCOMPARE(box->findText(QStringLiteral("COM7")), -1); // the list has not shown it
    rig.ui.upload();
    QVERIFY2(rig.ui.messages.shown.isEmpty(), qPrintable(rig.ui.messages.shown.join(' ')));
    QVERIFY2(rig.ui.bar().startsWith(QLatin1String("Sent in")), qPrintable(rig.ui.bar()));
}

QTEST_MAIN(TestWindowsDevice)
#include "tst_windowsdevice.moc"
