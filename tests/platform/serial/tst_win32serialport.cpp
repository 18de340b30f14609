// The Win32 serial port at the edges, over each simulated Windows driver on a fake clock: what a
// whole upload delivers and reports when the device holds off, answers, is unplugged or is
// cancelled; what opening says when the port is in use, missing, not working or refuses the
// settings; what becomes of an open given up on and of a close that hangs; and the port list
// from the ports Windows lists. Built for Linux and for Windows; under Wine it runs as it does
// here.

#include <tuple>

#include <QComboBox>
#include <QElapsedTimer>
#include <QTest>

#include "app/portlist.h"

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
    void otherLineFormatsRefused();
    void shortWritesAreCompleted();
    void bluetoothPortConnects();
    void closeThatHangs();
    void endSeenOnlyAsFarAsCtsLets();
    void callsADriverCannotAnswer_data();
    void callsADriverCannotAnswer();
    void portList();
};

// Only serial.sys, the FTDI driver and Bluetooth's know a CTS line; usbser.sys sees only as far
// as the USB device. Wine's pseudo-terminal counts nothing, so the upload keeps to the line's
// time there too, and has long taken the whole file when the end of it leaves the wire.
void TestWin32SerialPort::edges_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<EdgeRow>("row");
    const QString cts = "CTS off \u00b7 waiting 0:0";
    const QString waiting = "Waiting for the device \u00b7 0:0";
    const QString lost = "Lost the connection to COM1: ";
    addEdgeRows("serial.sys", Driver::Serial16550, false, "Sent in ", cts, lost);
    addEdgeRows("usbser.sys", Driver::UsbSer, false, "Taken by the USB device in ", waiting, lost);
    addEdgeRows("ftdi vcp", Driver::FtdiVcp, false, "Sent in ", cts, lost);
    addEdgeRows("virtual port", Driver::VirtualPort, false, "Sent in ", waiting, lost);
    addEdgeRows("bluetooth", Driver::Bluetooth, false, "Sent in ", cts, lost);
    addEdgeRows("wine pty", Driver::WinePty, true, "Sent in ", waiting,
                "Lost the connection to COM1: The device is not ready.", {"unplugged at the end"});
}

// Catches a success declared for characters still in an adapter's chip or held off at the end,
// settings changed in flight or taken over from the last program, a device that answers stalling
// the line, a lost adapter not reported, a hold-off the bar does not show, a Cancel that keeps the
// window waiting or a close that hangs blamed on another program, a CDC device's CTS that never
// comes taken for a hold-off, and a second upload refused.
void TestWin32SerialPort::edges()
{
    QFETCH(Driver, driver);
    QFETCH(EdgeRow, row);

    // A pseudo-terminal takes 22 KB before Wine's write stays pending: the file is longer.
    const bool pty = driver == Driver::WinePty;
    Win32UploadRig rig(edgeLines(row.scenario, pty ? 400 : 64), driver);
    // What the last program left: XonChar equal to XoffChar, limits beyond the input buffer,
    // parity errors replaced; the driver refuses or acts on each, so none may be taken over.
    CommSettings left;
    left.xonChar = left.xoffChar = 0;
    left.xonLimit = left.xoffLimit = 60000;
    left.errorChar = true;
    rig.comm.leftover = left;
    runEdge(rig, rig.comm, row, pty ? 1000 : 400);
    for (const auto &c : rig.comm.wire()) {
        QCOMPARE(c.settings.baudRate, 115200u);
        QCOMPARE(c.settings.byteSize, quint8(7));
        QCOMPARE(c.settings.stopBits, quint8(2)); // TWOSTOPBITS
        QVERIFY(c.settings.outxCtsFlow && c.settings.rtsControl == CommSettings::Rts::Handshake);
        QCOMPARE(std::tuple(c.settings.xonChar, c.settings.xoffChar, c.settings.errorChar),
                 std::tuple(char(0x11), char(0x13), false));
    }
}

void TestWin32SerialPort::openRefused_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    const QString refused = "COM1 does not take the line settings 115200 baud, 7 data bits, no "
                            "parity, 2 stop bits, RTS/CTS: ";
    const QString prolific = "COM1 (Prolific USB-to-Serial Comm Port (COM1)) cannot be opened: "
                             "Windows lists it, but ";
    QTest::newRow("another program has the port")
        << "in use"
        << "COM1 is in use by another program. Close the program that has it open, then upload "
           "again.";
    QTest::newRow("no port has the number")
        << "missing"
        << "COM1: no serial port has this number. Found: COM7 = USB Serial Port (COM7). Plug the "
           "adapter in or choose another port; Device Manager shows under Ports (COM & LPT) which "
           "number Windows gave it, and gives it another under the port's Properties \u2192 Port "
           "Settings \u2192 Advanced \u2192 COM Port Number.";
    QTest::newRow("its driver did not start")
        << "code 10"
        << prolific + "its driver did not start (Device Manager code 10). Unplug the adapter and "
                      "plug it in again. If Device Manager still shows the code under Ports (COM "
                      "& LPT), update or reinstall the adapter's driver there (right-click it, "
                      "Update driver), then upload again.";
    QTest::newRow("disabled") << "code 22"
                              << prolific + "it is disabled in Device Manager (code 22). Enable "
                                            "it in Device Manager: under Ports (COM & LPT), "
                                            "right-click it and choose Enable device, then upload "
                                            "again.";
    QTest::newRow("no serial port behind the name")
        << "not serial"
        << "Cannot open COM1: Incorrect function. COM1 is not a serial port; choose the port your "
           "device is connected to.";
    QTest::newRow("SetCommState refuses 7 data bits")
        << "refuses" << refused + "The parameter is incorrect. Nothing was sent.";
    QTest::newRow("the driver keeps 8 data bits")
        << "keeps" << refused + "its driver kept 8 data bits. Nothing was sent.";
}

// Catches another program's port opened or touched, messages without the reason or fix, and a
// port Windows lists but whose driver did not start, or that is disabled, called missing while
// the message lists it as found.
void TestWin32SerialPort::openRefused()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    Win32UploadRig rig({"S0030000FC"});
    rig.comm.openedElsewhere = fault == "in use";
    rig.comm.refusesSevenBits = fault == "refuses";
    rig.comm.keepsEightBits = fault == "keeps";
    rig.comm.notSerial = fault == "not serial";
    rig.comm.missing = fault == "missing" || fault.startsWith(QLatin1String("code"));
    // SetupAPI lists a present device whatever its problem; its COMn link exists only once its
    // driver has started.
    if (fault == "missing")
        rig.comm.ports = {{7, QStringLiteral("USB Serial Port (COM7)"), 0}};
    else if (fault.startsWith(QLatin1String("code")))
        rig.comm.ports = {{1, QStringLiteral("Prolific USB-to-Serial Comm Port (COM1)"),
                           fault.section(QLatin1Char(' '), 1).toUInt()}};
    rig.run();
    QCOMPARE(rig.messages.shown, QStringList{message});
    QVERIFY(!rig.comm.isOpen());
    QVERIFY(!rig.port.isOpen());
    QCOMPARE(rig.comm.purges, 0);
    QVERIFY(rig.comm.wire().isEmpty());
}

// Catches a line format other than the upload's taken without a word: a port sets that one only.
void TestWin32SerialPort::otherLineFormatsRefused()
{
    Win32UploadRig rig({});
    rig.port.setPortNumber(3);
    const QString refused = "COM3: only 115200 baud, 7 data bits, no parity, 2 stop bits with "
                            "RTS/CTS handshaking can be set.";
    for (const LineSettings &other :
         {LineSettings{9600, Parity::None, 7, 2}, LineSettings{115200, Parity::Even, 7, 2},
          LineSettings{115200, Parity::None, 8, 2}, LineSettings{115200, Parity::None, 7, 1}})
        QCOMPARE(errorText([&] { rig.port.setLineSettings(other); }), refused);
    QCOMPARE(errorText([&] { rig.port.setHandshaking(Handshaking::XonXoff); }), refused);
    QCOMPARE(errorText([&] { rig.port.setHandshaking(Handshaking::None); }), refused);
    QCOMPARE(errorText([&] {
                 rig.port.setLineSettings(kLineFormat);
                 rig.port.setHandshaking(kHandshake);
             }),
             QStringLiteral("(no error)"));
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

    // The connection given up on is made all the same; its own thread lets go of the port then,
    // not the next Upload.
    rig.events.time += SimulatedComm::kBluetoothConnect;
    QVERIFY2(!rig.comm.isOpen(), "the open given up on holds the port");
    QCOMPARE(rig.openedAt, rig.events.time); // it was made

    QElapsedTimer real;
    real.start();
    QVERIFY(!rig.port.startOpen());
    QVERIFY2(real.elapsed() < 10, "the window's thread waited for CreateFile()");
    rig.port.abandonOpen();
}

// Catches a close that hangs (FTDI's, while its chip holds what the device holds off) waited
// for on the window's thread, told as "wait a moment" for ever, ending without a word when the
// window closes, or blamed on another program by the next copy of the program; and a close
// that unplugging the adapter does not end.
void TestWin32SerialPort::closeThatHangs()
{
    Win32UploadRig rig(edgeLines(QStringLiteral("plain")), Driver::FtdiVcp);
    rig.comm.holdOff(100ms, 100h);
    rig.events.beforePass = [&rig] {
        if (rig.sinceOpen() > 3s)
            rig.upload.cancel();
    };
    QElapsedTimer real;
    real.start();
    rig.run();
    QVERIFY2(real.elapsed() < 50, "the window's thread waited for the close");
    rig.events.beforePass = nullptr;
    QVERIFY(rig.form.bar.text.startsWith(QLatin1String("Cancelled")));
    QVERIFY(rig.comm.closingInThisProgram({}));

    const QString unplug = QStringLiteral(" Unplug the adapter and plug it in again to free the "
                                          "port, then upload again.");
    const std::pair<std::chrono::seconds, QString> told[]{
        {0s, "COM1 is still being closed after the last upload: its driver has not let go of it "
             "yet. Wait a moment, then upload again."},
        {10s, "COM1 is still being closed after the last upload: its driver has not let go of it "
              "for 10 s, and may not while the device holds off what the adapter still has." +
                  unplug}};
    const auto cancelledAt = rig.events.time;
    for (const auto &[after, message] : told) {
        rig.events.time = cancelledAt + after;
        rig.messages.shown.clear();
        rig.run();
        QCOMPARE(rig.messages.shown, QStringList{message});
    }
    QCOMPARE(rig.port.closeUnfinished(),
             QStringLiteral("COM1 is still being closed: its driver has not let go of it since the "
                            "last upload. The window closes, but Windows keeps this program, and "
                            "COM1 with it, until the driver lets go. Unplug the adapter and plug "
                            "it in again to free them."));

    // The program ends; the next copy finds the port still held by the close.
    Win32SerialPort next(
        rig.comm, [](int n) { return QStringLiteral("\\\\.\\COM%1").arg(n); },
        [](int) { return QString(); });
    Upload nextUpload{rig.form, next, rig.files, rig.messages, rig.events};
    rig.messages.shown.clear();
    nextUpload.run();
    QCOMPARE(rig.messages.shown,
             QStringList{"COM1 is held by an earlier copy of this program, whose close of the port "
                         "has not ended: its driver has not let go of it. Unplug the adapter and "
                         "plug it in again to free the port (the earlier copy then ends too), then "
                         "upload again."});

    rig.comm.unplugAt(200h);
    rig.events.time = cancelledAt + 200h;
    QVERIFY2(!rig.comm.closingInThisProgram({}), "unplugging the adapter did not end the close");
    QCOMPARE(rig.port.closeUnfinished(), QString());
}

// Catches "Sent" where the port cannot know it: a CDC device's end (usbser.sys) seen only as far
// as the USB device, a bridge behind it that holds the last line; and an FT2232H's 4 KiB chip
// still holding characters when its CTS, seen up to 40 ms late in its status packets, read on
// for just the time the chip needs.
void TestWin32SerialPort::endSeenOnlyAsFarAsCtsLets()
{
    const QList<QByteArray> lines = edgeLines(QStringLiteral("plain"));
    Win32UploadRig bridge(lines, Driver::UsbSer);
    bridge.comm.bridgeBuffer = 1024;
    bridge.events.beforePass = [&bridge, all = allHandedOver(withCrLf(lines).size())] {
        if (bridge.form.bar.details.contains(all))
            bridge.comm.holdOff(0s, 100h);
    };
    bridge.run();
    QVERIFY2(bridge.form.bar.text.startsWith(QLatin1String("Taken by the USB device in ")),
             qPrintable(bridge.form.bar.text));
    QVERIFY(bridge.comm.received().size() < withCrLf(lines).size());

    const QList<QByteArray> line{QByteArray(12000, 'L')};
    for (int offset = 320; offset <= 360; ++offset) {
        Win32UploadRig rig(line, Driver::FtdiVcp);
        rig.comm.chipBuffer = 4096;
        rig.comm.holdOff(100ms, 900ms); // the line falls behind its own time
        std::optional<std::chrono::milliseconds> emptied;
        rig.events.beforePass = [&rig, &emptied, offset] {
            CommStatus status;
            if (emptied || rig.sinceOpen() < 900ms || !rig.comm.isOpen() ||
                rig.comm.clearError(SimulatedComm::kHandle, status) || status.outQueue > 0)
                return;
            emptied = rig.sinceOpen();
            const auto from = *emptied + std::chrono::milliseconds(offset);
            rig.comm.holdOff(from, from + 1s);
        };
        rig.run();
        QVERIFY(emptied);
        QVERIFY(rig.form.bar.text.startsWith(QLatin1String("Sent in ")));
        QVERIFY2(rig.comm.cutAtClose == 0, qPrintable(QString::number(offset)));
        QCOMPARE(rig.comm.received(), withCrLf(line));
    }
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
    // Whatever the device sent is purged now and then, not on every pass: besides the purges at
    // open and close.
    QVERIFY2(rig.comm.purges <=
                 3 + rig.events.time.time_since_epoch() / Win32SerialPort::kBlindPurgeEvery,
             qPrintable(QString::number(rig.comm.purges)));
}

// Catches a list described from a new SetupAPI enumeration for every entry, a port Windows
// lists after the program started, or one the list has not shown, that cannot be chosen, and
// a port whose driver did not start shown as if it worked.
void TestWin32SerialPort::portList()
{
    SimulatedComm comm(Driver::Serial16550, [] { return SimulatedComm::Clock::now(); });
    comm.ports = {{1, QStringLiteral("\\Device\\Serial0"), 0},
                  {7, QStringLiteral("Prolific USB-to-Serial Comm Port (COM7)"), 10}};
    RegistryComPorts ports(comm);
    QComboBox box;
    box.setEditable(true);
    portlist::fill(box);
    portlist::describe(box, ports);
    QCOMPARE(comm.listings, 1);
    QCOMPARE(box.count(), 5);
    QCOMPARE(box.itemData(0, Qt::ToolTipRole).toString(),
             QStringLiteral("COM1 \u2014 \\Device\\Serial0"));
    QCOMPARE(box.itemData(4, Qt::ToolTipRole).toString(),
             QStringLiteral("Prolific USB-to-Serial Comm Port (COM7) \u2014 its driver did not "
                            "start (Device Manager code 10)"));

    comm.ports.append({12, QStringLiteral("USB Serial Port (COM12)"), 0}); // plugged in since
    box.setCurrentText(QStringLiteral("com12"));
    QCOMPARE(portlist::selectedTag(box), 12);
    portlist::describe(box, ports);
    QCOMPARE(comm.listings, 2);
    QCOMPARE(box.itemText(5), QStringLiteral("COM12"));
}

QTEST_MAIN(TestWin32SerialPort)
#include "tst_win32serialport.moc"
