// Saves a picture of the main window in the middle of an upload, for the README: the file
// chosen, the bar with its text. The upload goes to a simulated UART, so no device is needed.
// Run it through tools/make-screenshot.sh, which gives it an X server of its own.

#include <cstdio>

#include <QApplication>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

#include "platform/desktop/qteventloop.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/samplelines.h"
#include "sim/scriptedwindow.h"
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

    SimulatedTty uart(SimulatedTty::Driver::Uart16550, [] { return Tty::Clock::now(); });
    PosixSerialPort serialPort(
        uart, [](int) { return QStringLiteral("/dev/ttyUSB0"); }, dir.path());
    QtEventLoop eventLoop;
    SysfsComPorts comPorts;
    ScriptedWindow desk(serialPort, eventLoop, comPorts, file);
    desk.window.show();

    int status = 1;
    QTimer::singleShot(300, &desk.window, [&] {
        desk.button("cmdBrowse")->click();
        desk.button("cmdLoad")->click(); // returns when the upload has ended
        app.quit();
    });
    QTimer::singleShot(1800, &desk.window, [&] {
        status = desk.window.grab().save(args.at(1)) ? 0 : 1;
        desk.button("cmdCancel")->click();
    });
    app.exec();
    return status;
}
