// Saves a picture of the main window in the middle of an upload, for the README: the file
// chosen, the bar with its text. The upload goes to a simulated UART, so no device is needed.
// Run it through tools/make-screenshot.sh, which gives it an X server of its own.

#include <cstdio>

#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "app/mainwindow.h"
#include "platform/files/diskfilesystem.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "platform/desktop/qteventloop.h"
#include "platform/desktop/qtmessagebox.h"
#include "sim/samplelines.h"
#include "sim/scriptedfiledialog.h"
#include "sim/simulatedtty.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", qPrintable(args.value(0)));
        return 2;
    }

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("CONTROLLER-2.4.DNL"));
    SampleLines::writeFile(file, 700 * 46, 44, 44);

    ScriptedFileDialog fileDialog(file);
    SimulatedTty uart(SimulatedTty::Driver::Uart16550, [] { return Tty::Clock::now(); });
    PosixSerialPort serialPort(
        uart, [](int) { return QStringLiteral("/dev/ttyUSB0"); }, dir.path());
    DiskFileSystem fileSystem;
    QtMessageBox messageBox;
    QtEventLoop eventLoop;
    SysfsComPorts comPorts;
    MainWindow window(
        Services{fileDialog, serialPort, fileSystem, messageBox, eventLoop, comPorts});
    window.show();

    int status = 1;
    const auto button = [&window](const char *name) {
        return window.findChild<QPushButton *>(QLatin1String(name));
    };
    QTimer::singleShot(300, &window, [&] {
        button("cmdBrowse")->click();
        button("cmdLoad")->click(); // returns when the upload has ended
        app.quit();
    });
    QTimer::singleShot(1800, &window, [&] {
        status = window.grab().save(args.at(1)) ? 0 : 1;
        button("cmdCancel")->click();
    });
    app.exec();
    return status;
}
