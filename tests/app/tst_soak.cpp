// A thousand uploads in a row from one window, through pseudo-terminal devices, mixing normal
// ends, Cancel while held off, and errors (missing file, port in use, device unplugged). Every
// normal upload must deliver its bytes exactly, and the process must end with no more open
// descriptors and no more memory than it had after the first rounds.

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/mainwindow.h"
#include "fakemessagebox.h"
#include "fakeopenfiledialog.h"
#include "platform/diskfilesystem.h"
#include "platform/qteventloop.h"
#include "platform/qtserialport.h"
#include "ptypair.h"
#include "ptyreader.h"
#include "testfiles.h"

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void thousandUploads();
};

void TestSoak::thousandUploads()
{
    QTemporaryDir dir;
    QByteArray content;
    for (int i = 0; i < 20; ++i)
        content += "S113" + QByteArray::number(i * 16, 16).rightJustified(4, '0') +
                   QByteArray(56, char('A' + i)) + (i % 3 ? "\r\n" : "\n");
    const QString file = writeFile(dir.filePath(QStringLiteral("app.DNL")), content);
    QByteArray expected = content;
    expected.replace("\r\n", "\n").replace("\n", "\r\n");
    const QString missing = dir.filePath(QStringLiteral("missing.DNL"));

    QString device;
    FakeOpenFileDialog dialog;
    QtSerialPort port([&device](int) { return device; });
    DiskFileSystem files;
    FakeMessageBox messages;
    QtEventLoop events;
    MainWindow window(Services{dialog, port, files, messages, events});
    auto *browse = window.findChild<QPushButton *>(QStringLiteral("cmdBrowse"));
    auto *load = window.findChild<QPushButton *>(QStringLiteral("cmdLoad"));
    auto *cancel = window.findChild<QPushButton *>(QStringLiteral("cmdCancel"));
    const auto choose = [&](const QString &path) {
        dialog.answers = {path};
        browse->click();
    };

    constexpr int kUploads = 1000;
    constexpr int kWarmUp = 100;
    int descriptorsBefore = 0;
    qint64 memoryBefore = 0;
    int normal = 0;
    for (int i = 0; i < kUploads; ++i) {
        if (i == kWarmUp) {
            descriptorsBefore = openDescriptors();
            memoryBefore = residentKilobytes();
        }
        PtyPair pty;
        device = pty.slavePath();
        messages.shown.clear();
        switch (i % 6) {
        case 0:
        case 1: { // a normal end; every byte arrives
            PtyReader reader(pty);
            choose(file);
            load->click();
            const QByteArray received = reader.finish(20);
            QVERIFY2(received == expected, qPrintable(QStringLiteral("upload %1").arg(i)));
            QCOMPARE(messages.shown, QStringList());
            ++normal;
            break;
        }
        case 2: { // Cancel while the device holds off
            pty.holdOff();
            choose(file);
            QTimer::singleShot(5, cancel, &QPushButton::click);
            load->click();
            QCOMPARE(messages.shown, QStringList());
            break;
        }
        case 3: // no file
            choose(missing);
            load->click();
            QCOMPARE(messages.shown, QStringList{QStringLiteral("File not found: ") + missing});
            break;
        case 4: { // another program holds the port
            QSerialPort other(device);
            QVERIFY(other.open(QIODevice::ReadWrite));
            choose(file);
            load->click();
            QCOMPARE(messages.shown.size(), 1);
            QVERIFY(
                messages.shown.first().endsWith(QLatin1String("is in use by another program.")));
            break;
        }
        case 5: { // the adapter is pulled while the device holds off
            pty.holdOff();
            choose(file);
            QTimer::singleShot(3, [&pty] { pty.closeMaster(); });
            load->click();
            QCOMPARE(messages.shown.size(), 1);
            QVERIFY2(messages.shown.first().startsWith(QLatin1String("Lost the connection to")),
                     qPrintable(messages.shown.first()));
            break;
        }
        }
        QVERIFY(!port.isOpen());
        QVERIFY(load->isEnabled() && !cancel->isEnabled());
    }

    const int descriptorsAfter = openDescriptors();
    const qint64 memoryAfter = residentKilobytes();
    qInfo("%d uploads, %d normal; descriptors %d -> %d; resident memory %lld -> %lld kB", kUploads,
          normal, descriptorsBefore, descriptorsAfter, memoryBefore, memoryAfter);
    QVERIFY(descriptorsAfter <= descriptorsBefore);
    QVERIFY2(memoryAfter - memoryBefore < 2048, "resident memory grew by 2 MB or more");
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
