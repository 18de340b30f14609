// The Windows program's window on the real Win32 port, for tools/windows/bench under Wine:
// uploads a file to a COM port as many times as asked, with the window idle for a while before
// and after, and prints a line at each mark, so that the script can measure between marks the
// CPU that all of Wine's processes use. An upload that does not end as sent is printed.
// With `floor` for UPLOADS it runs what any line-paced upload must do at the least, without
// the window: each line of FILE written to PORT, then a timed sleep for its time on the wire.
//   zelvor-wine-bench PORT FILE UPLOADS|floor IDLE_SECONDS

#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include "platform/desktop/qteventloop.h"
#include "platform/serial/systemports.h"
#include "sim/scriptedwindow.h"
#include "winefloor.h"

void mark(const char *what, int value)
{
    std::printf("%s %d\n", what, value);
    std::fflush(stdout);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: zelvor-wine-bench PORT FILE UPLOADS IDLE_SECONDS\n");
        return 2;
    }
    if (args[3] == QLatin1String("floor"))
        return winefloor(args[1], args[2]);
    SystemPorts ports;
    QtEventLoop events;
    ScriptedWindow desk(ports.serialPort(), events, ports.comPorts(), args[2]);
    desk.window.show();
    if (!QTest::qWaitForWindowExposed(&desk.window))
        mark("not-shown");
    desk.window.findChild<QComboBox *>(QStringLiteral("cboPorts"))->setCurrentText(args[1]);
    desk.button("cmdBrowse")->click();
    QStringList &messages = desk.messages.shown;
    const int idle = args[4].toInt() * 1000;

    // Idle as a window is: the event loop waiting, nothing polled.
    const auto stayIdle = [idle] {
        QEventLoop loop;
        QTimer::singleShot(idle, &loop, &QEventLoop::quit);
        loop.exec();
    };
    mark("idle-before");
    stayIdle();
    mark("uploads");
    int failed = 0;
    for (int i = 0; i < args[3].toInt(); ++i) {
        messages.clear();
        desk.button("cmdLoad")->click();
        if (!messages.isEmpty() || !desk.bar().startsWith(QLatin1String("Sent in"))) {
            ++failed;
            std::printf("failed %d: %s\n", i + 1,
                        qPrintable(messages.isEmpty() ? desk.bar() : messages.join(' ')));
        }
    }
    mark("idle-after", failed);
    stayIdle();
    mark("end");
    return failed == 0 ? 0 : 1;
}
