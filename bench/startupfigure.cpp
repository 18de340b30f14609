// From starting the program to its window shown: this program started again with
// --child-startup, which builds the window as main() does and reports its first paint.

#include <cstdio>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "platform/desktop/qtmessagebox.h"
#include "platform/desktop/qtopenfiledialog.h"
#include "platform/files/diskfilesystem.h"
#include "platform/serial/systemports.h"

namespace bench {

int childStartup()
{
    QtOpenFileDialog dialog;
    SystemPorts ports;
    DiskFileSystem files;
    QtMessageBox messages;
    QtEventLoop events;
    MainWindow window(
        Services{dialog, ports.serialPort(), files, messages, events, ports.comPorts()});
    struct PaintWatch : QObject {
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                std::printf("shown\n");
                std::fflush(stdout);
                QCoreApplication::quit();
            }
            return false;
        }
    } watch;
    window.installEventFilter(&watch);
    window.show();
    return QApplication::exec();
}

void startupFigure(const Context &context)
{
    std::vector<double> startup;
    for (int i = 0; i < std::max(context.runs, 5); ++i) {
        QProcess child;
        QElapsedTimer clock;
        clock.start();
        firstLine(child, QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--child-startup")});
        startup.push_back(double(clock.nsecsElapsed()) / 1e6);
        child.waitForFinished(5000);
    }
    row("start of the program to window shown", ms(startup, 0), "<= 300 ms",
        median(startup) <= 300);
}

} // namespace bench
