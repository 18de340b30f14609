// Whole uploads from the real window through the real serial port on the kernel, file reading
// and event loop, to a pseudo-terminal that plays the device: one case for each kind of fault
// (bytes altered, hold-off and Cancel, the window closed, the adapter pulled).

#include <QElapsedTimer>
#include <QFile>
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
#include "ptypair.h"
#include "ptyreader.h"
#include "testfiles.h"

namespace {

struct Rig {
    explicit Rig(const QString &device)
        : port(
              tty, [device](int) { return device; }, locks.path())
    {}

    // Chooses the file through Browse, as the operator does.
    void choose(const QString &file)
    {
        dialog.answers = {file};
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
    bool ready()
    {
        return button("cmdBrowse")->isEnabled() && button("cmdLoad")->isEnabled() &&
               !button("cmdCancel")->isEnabled() && button("cmdOk")->isEnabled();
    }

    // Whether another program could open the device now, that is whether the upload let it go.
    bool deviceIsFree(const QString &device)
    {
        PosixSerialPort other(
            tty, [device](int) { return device; }, locks.path());
        other.open();
        return other.isOpen();
    }

    QTemporaryDir locks;
    FakeOpenFileDialog dialog;
    KernelTty tty;
    PosixSerialPort port;
    DiskFileSystem files;
    FakeMessageBox messages;
    QtEventLoop events;
    const ComPorts comPorts{locks.path(), locks.path()};
    MainWindow window{Services{dialog, port, files, messages, events, comPorts}};
};

} // namespace

class TestUploadToDevice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyLineArrivesExactly();
    void cancelWhileTheDeviceHoldsOff();
    void closingTheWindowMidUpload();
    void deviceUnpluggedMidUpload();

private:
    QString write(const QByteArray &content)
    {
        return writeFile(m_dir.filePath(QStringLiteral("app%1.DNL").arg(m_count++)), content);
    }
    QString manyLines(int count)
    {
        QByteArray content;
        for (int i = 0; i < count; ++i)
            content += "S113" + QByteArray::number(i).rightJustified(6, '0') + QByteArray(60, 'F') +
                       "\r\n";
        return write(content);
    }

    QTemporaryDir m_dir;
    int m_count = 0;
};

// Catches any lost, added, reordered or altered byte on the way to the device.
void TestUploadToDevice::everyLineArrivesExactly()
{
    const QByteArray longLine(2000, 'D');
    const QByteArray content =
        QByteArray("S0030000FC\r\nlf line\nlone cr\r\r\n\xe9\xff\x80 8-bit\n") + longLine +
        "\r\n\nlast without end";
    const QByteArray expected = QByteArray("S0030000FC\r\nlf line\r\nlone cr\r\n\r\n"
                                           "\xe9\xff\x80 8-bit\r\n") +
                                longLine + "\r\n\r\nlast without end\r\n";
    PtyPair pty;
    PtyReader device(pty);
    Rig rig(pty.slavePath());
    rig.choose(write(content));
    const qint64 took = rig.upload();

    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(device.finish(), expected);
    // A pseudo-terminal keeps no count; the end still comes no sooner than on the wire.
    QVERIFY(took >= expected.size() * 1000 / 11520);
    QVERIFY(rig.ready());
    QCOMPARE(rig.window.progress().maximum(), float(content.size()));
    // Every line but the last with its CR LF; empty lines add nothing.
    QCOMPARE(rig.window.progress().value(), float(12 + 9 + 9 + 11 + 2002));
    QVERIFY(rig.deviceIsFree(pty.slavePath()));
}

// Catches a Cancel that is not seen, or that waits for the device, while it holds off.
void TestUploadToDevice::cancelWhileTheDeviceHoldsOff()
{
    PtyPair pty;
    pty.holdOff();
    Rig rig(pty.slavePath());
    rig.choose(manyLines(100));
    QTimer::singleShot(300, &rig.window, [&rig] { rig.button("cmdCancel")->click(); });
    const qint64 took = rig.upload();

    QVERIFY2(took < 1300, qPrintable(QString::number(took)));
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.window.progress().value(), 0.0f);
    QVERIFY(rig.ready());
    QVERIFY(rig.deviceIsFree(pty.slavePath()));

    // The next upload starts afresh.
    pty.release();
    PtyReader device(pty);
    rig.upload();
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(device.finish().count('\n'), 100);
}

void TestUploadToDevice::closingTheWindowMidUpload()
{
    PtyPair pty;
    pty.holdOff();
    Rig rig(pty.slavePath());
    rig.choose(manyLines(100));
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QTimer::singleShot(200, &rig.window, [&rig] { rig.window.close(); });
    const qint64 took = rig.upload();

    QVERIFY2(took < 1200, qPrintable(QString::number(took)));
    QVERIFY(!rig.window.isVisible());
    QCOMPARE(rig.messages.shown, QStringList());
    QVERIFY(rig.deviceIsFree(pty.slavePath()));
}

// Catches an upload that hangs or reports success after the adapter is pulled.
void TestUploadToDevice::deviceUnpluggedMidUpload()
{
    PtyPair pty;
    PtyReader device(pty, 3000);
    Rig rig(pty.slavePath());
    rig.choose(manyLines(1000));
    const qint64 took = rig.upload();

    QVERIFY(took < 5000);
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().startsWith(
                 QStringLiteral("Lost the connection to COM1 (%1): Input/output error.")
                     .arg(pty.slavePath())),
             qPrintable(rig.messages.shown.first()));
    QVERIFY(rig.ready());
}

QTEST_MAIN(TestUploadToDevice)
#include "tst_uploadtodevice.moc"
