// Saves a picture of the main window as it first appears, for the README. Run it through
// tools/make-screenshot.sh, which gives it an X server of its own.

#include <cstdio>

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include "app/mainwindow.h"
#include "platform/comports.h"
#include "platform/diskfilesystem.h"
#include "platform/kerneltty.h"
#include "platform/posixserialport.h"
#include "platform/qteventloop.h"
#include "platform/qtmessagebox.h"
#include "platform/qtopenfiledialog.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelvor-upload"));
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", qPrintable(args.value(0)));
        return 2;
    }

    QtOpenFileDialog fileDialog;
    // The window never opens a port here.
    const ComPorts comPorts;
    KernelTty tty;
    PosixSerialPort serialPort(tty, [&comPorts](int n) { return comPorts.devicePath(n); });
    DiskFileSystem fileSystem;
    QtMessageBox messageBox;
    QtEventLoop eventLoop;
    MainWindow window(
        Services{fileDialog, serialPort, fileSystem, messageBox, eventLoop, comPorts});
    window.show();

    int status = 1;
    QTimer::singleShot(500, &window, [&] {
        status = window.grab().save(args.at(1)) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return status;
}
