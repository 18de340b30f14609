// Whole uploads from the real window through the real serial port on the kernel, file reading
// and event loop, to a pseudo-terminal that plays the device: one case for each kind of fault
// (bytes altered, hold-off and Cancel, the window closed, the adapter pulled).

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/mainwindow.h"
#include "fakemessagebox.h"
#include "fakeopenfiledialog.h"
#include "platform/comports.h"
#include "platform/diskfilesystem.h"
#include "platform/kerneltty.h"
#include "platform/posixserialport.h"
#include "platform/qteventloop.h"
#include "testfiles.h"

namespace {

// A pseudo-terminal pair the test owns: the port opens the slave, the test plays the device on
// the master. Holding off stops the slave's output with tcflow(), as a device does with CTS;
// closing the master hangs the slave up, as pulling a USB adapter does.
struct Device {
    Device()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        termios raw{};
        ::tcgetattr(master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master, TCSANOW, &raw);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        path = QString::fromLocal8Bit(name);
    }
    ~Device()
    {
        unplug();
        ::close(slave);
    }
    void holdOff(bool held) { ::tcflow(slave, held ? TCOOFF : TCOON); }
    void unplug()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    // All the device end holds now.
    QByteArray received() const
    {
        QByteArray all;
        char chunk[4096];
        for (ssize_t got; (got = ::read(master, chunk, sizeof chunk)) > 0;)
            all.append(chunk, got);
        return all;
    }

    int master = -1;
    int slave = -1;
    QString path;
};

struct Rig {
    explicit Rig(const QString &content)
        : port(
              tty, [this](int) { return device.path; }, dir.path())
    {
        dialog.answers = {writeFile(dir.filePath(QStringLiteral("app.DNL")), content.toLatin1())};
        button("cmdBrowse")->click();
    }
    // Clicks Upload and returns how long the upload took, in ms.
    qint64 upload()
    {
        QElapsedTimer timer;
        timer.start();
        button("cmdLoad")->click();
        return timer.elapsed();
    }
    QPushButton *button(const char *name)
    {
        return window.findChild<QPushButton *>(QLatin1String(name));
    }
    // The window is ready again and another program could open the device now.
    bool ready()
    {
        PosixSerialPort other(
            tty, [this](int) { return device.path; }, dir.path());
        other.open();
        return other.isOpen() && button("cmdLoad")->isEnabled() &&
               !button("cmdCancel")->isEnabled();
    }

    Device device;
    QTemporaryDir dir;
    FakeOpenFileDialog dialog;
    KernelTty tty;
    PosixSerialPort port;
    DiskFileSystem files;
    FakeMessageBox messages;
    QtEventLoop events;
    const ComPorts comPorts{dir.path(), dir.path()};
    MainWindow window{Services{dialog, port, files, messages, events, comPorts}};
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
    void cancelWhileTheDeviceHoldsOff();
    void closingTheWindowMidUpload();
    void deviceUnpluggedMidUpload();
};

// Catches any lost, added, reordered or altered byte on the way to the device, and an end
// declared before the characters had their time on the wire (a pty keeps no count).
void TestUploadToDevice::everyLineArrivesExactly()
{
    const QString longLine(2000, 'D');
    Rig rig(QStringLiteral("S0030000FC\r\nlf line\nlone cr\r\r\n\u00e9\u00ff 8-bit\n") + longLine +
            "\r\n\nlast without end");
    const qint64 took = rig.upload();

    const QByteArray expected = "S0030000FC\r\nlf line\r\nlone cr\r\n\r\n\xe9\xff 8-bit\r\n" +
                                longLine.toLatin1() + "\r\n\r\nlast without end\r\n";
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.device.received(), expected);
    QVERIFY(took >= expected.size() * 1000 / 11520);
    QVERIFY(rig.ready());
    QCOMPARE(rig.window.progress().value(), float(12 + 9 + 9 + 10 + 2002));
}

// Catches a Cancel that is not seen, or that waits for the device, while it holds off, and a
// next upload that does not start afresh.
void TestUploadToDevice::cancelWhileTheDeviceHoldsOff()
{
    Rig rig(manyLines(100));
    rig.device.holdOff(true);
    QTimer::singleShot(300, &rig.window, [&rig] { rig.button("cmdCancel")->click(); });
    const qint64 took = rig.upload();

    QVERIFY2(took < 800, qPrintable(QString::number(took)));
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.window.progress().value(), 0.0f);
    QVERIFY(rig.ready());

    rig.device.holdOff(false);
    rig.device.received();
    rig.upload();
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.device.received(), manyLines(100).toLatin1());
}

void TestUploadToDevice::closingTheWindowMidUpload()
{
    Rig rig(manyLines(100));
    rig.device.holdOff(true);
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QTimer::singleShot(200, &rig.window, [&rig] { rig.window.close(); });
    const qint64 took = rig.upload();

    QVERIFY2(took < 800, qPrintable(QString::number(took)));
    QVERIFY(!rig.window.isVisible());
    QCOMPARE(rig.messages.shown, QStringList());
    QVERIFY(rig.ready());
}

// Catches an upload that hangs or reports success after the adapter is pulled.
void TestUploadToDevice::deviceUnpluggedMidUpload()
{
    Rig rig(manyLines(100));
    QTimer::singleShot(200, &rig.window, [&rig] { rig.device.unplug(); });
    const qint64 took = rig.upload();

    QVERIFY(took < 1000);
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().startsWith(
                 QStringLiteral("Lost the connection to COM1 (%1): Input/output error.")
                     .arg(rig.device.path)),
             qPrintable(rig.messages.shown.first()));
    QVERIFY(rig.button("cmdLoad")->isEnabled());
}

QTEST_MAIN(TestUploadToDevice)
#include "tst_uploadtodevice.moc"
