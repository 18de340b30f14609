// The Win32 serial port at the edges, over each simulated Windows driver on a fake clock: what a
// whole upload delivers and reports when the device holds off, answers, is unplugged or is
// cancelled; and what opening says when the port is in use, missing or refuses the settings.
// Built for Linux and for Windows; under Wine it runs as it does here.

#include <tuple>

#include <QTest>

#include "edgerun.h"
#include "testfiles.h"

using namespace std::chrono_literals;
using Driver = SimulatedComm::Driver;

Q_DECLARE_METATYPE(Driver)

class TestWin32SerialPort : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void edges_data();
    void edges();
    void openRefused_data();
    void openRefused();
    void settingsLeftByAnotherProgram();
    void shortWritesAreCompleted();
    void bluetoothPortConnects();
    void callsADriverCannotAnswer_data();
    void callsADriverCannotAnswer();
};

void TestWin32SerialPort::edges_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<QString>("scenario");

    const QList<std::pair<Driver, const char *>> drivers{
        {Driver::Serial16550, "serial.sys"}, {Driver::UsbSer, "usbser.sys"},
        {Driver::FtdiVcp, "ftdi vcp"},       {Driver::VirtualPort, "virtual port"},
        {Driver::Bluetooth, "bluetooth"},    {Driver::WinePty, "wine pty"}};
    // Wine's pseudo-terminal has long taken the whole file when the end of it leaves the wire.
    for (const auto &[driver, name] : drivers)
        for (const QString &scenario : kEdgeScenarios)
            if (driver != Driver::WinePty || scenario != "unplugged at the end")
                QTest::addRow("%s, %s", name, qPrintable(scenario)) << driver << scenario;
}

// Catches a success declared for characters still in an adapter's chip or held off at the end,
// settings changed in flight, a device that answers stalling the line, a lost adapter not
// reported, a hold-off the bar does not show, a Cancel that keeps the window waiting or a close
// that hangs blamed on another program, a CDC device's CTS that never comes taken for a
// hold-off, and a second upload refused.
void TestWin32SerialPort::edges()
{
    QFETCH(Driver, driver);
    QFETCH(QString, scenario);

    // A pseudo-terminal takes 22 KB before Wine's write stays pending: the file is longer.
    const bool pty = driver == Driver::WinePty;
    Win32UploadRig rig(edgeLines(scenario, pty ? 400 : 64), driver);
    EdgeRun run;
    run.scenario = scenario;
    runEdge(rig, rig.comm, run);
    for (const auto &c : rig.comm.wire()) {
        QCOMPARE(c.settings.baudRate, 115200u);
        QCOMPARE(c.settings.byteSize, quint8(7));
        QCOMPARE(c.settings.stopBits, quint8(2)); // TWOSTOPBITS
        QVERIFY(c.settings.outxCtsFlow && c.settings.rtsControl == CommSettings::Rts::Handshake);
    }
    // Only serial.sys and the FTDI driver know a CTS line. Wine's pseudo-terminal counts nothing,
    // so the upload keeps to the line's time there too, and its reader still reads what it holds
    // when a hold-off at the end begins.
    const bool cts =
        driver == Driver::Serial16550 || driver == Driver::FtdiVcp || driver == Driver::Bluetooth;
    checkEdge(rig, rig.comm, run,
              cts ? "CTS off \u00b7 waiting 0:0" : "Waiting for the device \u00b7 0:0",
              pty ? "Lost the connection to COM1: The device is not ready."
                  : "Lost the connection to COM1: ",
              !pty, true, pty ? 1000 : 400);
    // Cancel leaves the FTDI driver hanging in CloseHandle() while its chip holds what the device
    // holds off: the next Upload says so, rather than blame another program.
    if (driver == Driver::FtdiVcp && scenario.contains(QLatin1String("Cancel"))) {
        rig.messages.shown.clear();
        rig.run();
        QCOMPARE(rig.messages.shown,
                 QStringList{"COM1 is still being closed after the last upload: its driver has not "
                             "let go of it yet. Wait a moment, then upload again."});
    }
}

void TestWin32SerialPort::openRefused_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("another program has the port")
        << "in use"
        << "COM1 is in use by another program. Close the program that has it open, then upload "
           "again.";
    QTest::newRow("no port has the number") << "missing"
                                            << "COM1: no serial port has this number.";
    QTest::newRow("SetCommState refuses 7 data bits")
        << "refuses"
        << "COM1 does not take the line settings 115200 baud, 7 data bits, no parity, 2 stop "
           "bits, RTS/CTS: The parameter is incorrect. Nothing was sent.";
    QTest::newRow("the driver keeps 8 data bits")
        << "keeps"
        << "COM1 does not take the line settings 115200 baud, 7 data bits, no parity, 2 stop "
           "bits, RTS/CTS: its driver kept 8 data bits. Nothing was sent.";
}

// Catches another program's port opened or touched, and messages without the reason or fix.
void TestWin32SerialPort::openRefused()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    Win32UploadRig rig({"S0030000FC"});
    rig.comm.openedElsewhere = fault == "in use";
    rig.comm.refusesSevenBits = fault == "refuses";
    rig.comm.keepsEightBits = fault == "keeps";
    rig.comm.missing = fault == "missing";
    rig.run();
    QCOMPARE(rig.messages.shown, QStringList{message});
    QVERIFY(!rig.comm.isOpen());
    QVERIFY(!rig.port.isOpen());
    QCOMPARE(rig.comm.purges, 0);
    QVERIFY(rig.comm.wire().isEmpty());
}

// Catches settings taken over from the last program: its XonChar equal to XoffChar, limits beyond
// the input buffer, parity errors replaced, all of which the driver refuses or acts on.
void TestWin32SerialPort::settingsLeftByAnotherProgram()
{
    Win32UploadRig rig({"S0030000FC"});
    CommSettings left;
    left.xonChar = left.xoffChar = 0;
    left.xonLimit = left.xoffLimit = 60000;
    left.errorChar = true;
    rig.comm.leftover = left;
    rig.run();
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.comm.received(), QByteArray("S0030000FC\r\n"));
    const CommSettings used = rig.comm.wire().constLast().settings;
    QCOMPARE(std::tuple(used.xonChar, used.xoffChar, used.errorChar),
             std::tuple(char(0x11), char(0x13), false));
}

// Catches the rest of a write that FTDI's driver ended early being lost or sent out of order.
void TestWin32SerialPort::shortWritesAreCompleted()
{
    const QList<QByteArray> lines{QByteArray(20000, 'L'), "S9030000FC"};
    Win32UploadRig rig(lines, Driver::FtdiVcp);
    rig.comm.holdOff(200ms, 3s);
    rig.run();
    QCOMPARE(rig.messages.shown, QStringList());
    QVERIFY(rig.comm.shortWrites > 0);
    QCOMPARE(rig.comm.received(), withCrLf(lines));
}

// Catches a window frozen while a Bluetooth port connects inside CreateFile(), a Cancel not
// honoured meanwhile, a port opened twice, and a failed connection told in bare system words.
void TestWin32SerialPort::bluetoothPortConnects()
{
    Win32UploadRig rig({"S0030000FC"}, Driver::Bluetooth);
    rig.comm.outOfReach = true;
    rig.run();
    QCOMPARE(rig.messages.shown,
             QStringList{"Cannot open COM1: The semaphore timeout period has expired. Its device "
                         "did not answer in time: a Bluetooth port connects to its device when it "
                         "is opened. Check that the device is switched on, in range and paired, "
                         "then upload again."});

    rig.messages.shown.clear();
    rig.comm.outOfReach = false;
    rig.events.passes = 0;
    rig.events.beforePass = [&rig] {
        if (rig.sinceOpen() >= 1s)
            rig.upload.cancel();
    };
    QVERIFY(rig.run() < 1500ms);
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.form.bar.text, QStringLiteral("Cancelled"));
    QVERIFY2(rig.events.passes > 20, "the window's events were not handled while it connected");
    rig.events.beforePass = nullptr;
    rig.run();
    QCOMPARE(rig.messages.shown,
             QStringList{"COM1 is still being opened for the upload that was cancelled: Windows "
                         "has not finished connecting to it. Wait a moment, then upload again."});
    QVERIFY(rig.comm.wire().isEmpty());
}

void TestWin32SerialPort::callsADriverCannotAnswer_data()
{
    QTest::addColumn<CommError>("statusRefused");
    QTest::newRow("not supported") << CommError(50);
    QTest::newRow("invalid parameter") << CommError(87);
    QTest::newRow("incorrect function") << CommError(1);
}

// Catches "Lost the connection" for a virtual port that merely cannot answer the status calls:
// the upload ends as sent, every byte on the wire, and no sooner than the wire allows.
void TestWin32SerialPort::callsADriverCannotAnswer()
{
    QFETCH(CommError, statusRefused);

    const QList<QByteArray> lines = edgeLines(QStringLiteral("plain"), 64);
    Win32UploadRig rig(lines, Driver::FtdiVcp);
    rig.comm.statusRefusedWith = statusRefused;
    const QByteArray expected = withCrLf(lines);
    QVERIFY(rig.run() >= std::chrono::milliseconds(expected.size() * 1000 / 11520));
    QCOMPARE(rig.messages.shown, QStringList());
    QVERIFY2(rig.form.bar.text.startsWith(QLatin1String("Sent in ")),
             qPrintable(rig.form.bar.text));
    QCOMPARE(rig.comm.received(), expected);
    QCOMPARE(rig.comm.cutAtClose, 0);
}

QTEST_GUILESS_MAIN(TestWin32SerialPort)
#include "tst_win32serialport.moc"
