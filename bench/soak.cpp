// Many uploads in a row from one window through pseudo-terminals: normal ends (every byte
// checked), Cancel while held off, a missing file, a port held by another program, an unplug.
// Prints failed checks, open descriptors and resident memory before and after.

#include <cstdio>

#include <unistd.h>

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/portlock.h"
#include "platform/serial/posix/sysfscomports.h"

namespace bench {

int soak(int uploads)
{
    QTemporaryDir dir;
    QByteArray content;
    SampleLines sample(64, 64);
    for (int i = 0; i < 20; ++i) // ended by CR LF, and every third by LF alone
        content += sample.next() + (i % 3 ? "\r\n" : "\n");
    const QString file = dir.filePath(QStringLiteral("app.DNL"));
    writeFile(file, content);
    QByteArray expected = content;
    expected.replace("\r\n", "\n").replace("\n", "\r\n");

    QString device;
    KernelTty tty;
    PosixSerialPort port(
        tty, [&device](int) { return device; }, dir.path());
    QtEventLoop events;
    SysfsComPorts comPorts;
    ScriptedWindow desk(port, events, comPorts, file);
    QStringList &messages = desk.messages.shown;
    QPushButton *load = desk.button("cmdLoad");
    QPushButton *cancel = desk.button("cmdCancel");

    int descriptorsBefore = 0;
    qint64 memoryBefore = 0;
    int failures = 0;
    const auto expect = [&failures](bool met, int i, const char *what) {
        if (!met) {
            ++failures;
            std::printf("upload %d: %s\n", i, what);
        }
    };
    for (int i = 0; i < uploads; ++i) {
        if (i == std::min(100, uploads / 2)) {
            descriptorsBefore = openDescriptors();
            memoryBefore = statusKilobytes("VmRSS:");
        }
        PtyDevice pty;
        device = QString::fromStdString(pty.path());
        messages.clear();
        // Browse chooses the file, or one that is missing.
        desk.dialog.held = i % 5 == 2 ? dir.filePath(QStringLiteral("missing.DNL")) : file;
        desk.button("cmdBrowse")->click();
        switch (i % 5) {
        case 0: // a normal end; every byte arrives
            load->click();
            expect(pty.received() == expected.toStdString() && messages.isEmpty(), i,
                   "bytes differ");
            break;
        case 1: // Cancel while the device holds off
            pty.holdOff(true);
            QTimer::singleShot(5, cancel, &QPushButton::click);
            load->click();
            expect(messages.isEmpty(), i, "Cancel reported an error");
            break;
        case 2: // no file
            load->click();
            expect(messages.size() == 1, i, "no message for a missing file");
            break;
        case 3: { // another program holds the port
            const QString lock = dir.filePath(PortLock::lockName(device));
            writeFile(lock, QByteArray::number(::getppid()).rightJustified(10) + '\n');
            load->click();
            QFile::remove(lock);
            expect(messages.value(0).contains(QLatin1String("in use by another program")), i,
                   "a held port was not refused");
            break;
        }
        case 4: // the adapter is pulled while the device holds off
            pty.holdOff(true);
            QTimer::singleShot(3, [&pty] { pty.unplug(); });
            load->click();
            expect(messages.value(0).startsWith(QLatin1String("Lost the connection")), i,
                   "an unplug was not reported");
            break;
        }
        expect(!port.isOpen() && load->isEnabled() && !cancel->isEnabled(), i,
               "the window is not ready again");
    }
    const int descriptorsAfter = openDescriptors();
    const qint64 memoryAfter = statusKilobytes("VmRSS:");
    std::printf("%d uploads, %d failed checks; open descriptors %d -> %d; resident memory %lld -> "
                "%lld kB\n",
                uploads, failures, descriptorsBefore, descriptorsAfter, memoryBefore, memoryAfter);
    return failures == 0 && descriptorsAfter <= descriptorsBefore ? 0 : 1;
}

} // namespace bench
