// The CPU that pacing costs in a real desktop: this program started again with --child-desktop
// on a real X server (Xvfb), where every change of the bar is drawn and sent to the server,
// uploading to a pseudo-terminal read at the line's rate. The offscreen figures leave that out.
// Beside it, in the same run and in a process of its own, what this machine allows at all: the
// same lines written to the same kind of pseudo-terminal with nothing between two but one timed
// sleep, the least any line-paced upload does; its cost is the wake and the write, and it varies
// from machine to machine.

#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "sim/atspireader.h"
#include "upload/linetiming.h"
#include "upload/upload.h"

namespace bench {

int childDesktop(const QString &file, int idleMs)
{
    PacedPty pty(QStringLiteral("/var/lock"));
    QtEventLoop events;
    const Outcome outcome = upload(pty.port, events, file, [idleMs](ScriptedWindow &desk) {
        desk.window.show();
        if (!QTest::qWaitForWindowExposed(&desk.window))
            std::printf("the window was not shown\n");
        // Idle as a window is, in its event loop, for a screen reader to find it.
        QEventLoop idle;
        QTimer::singleShot(idleMs, &idle, &QEventLoop::quit);
        idle.exec();
    });
    std::printf("%f %f\n", outcome.cpu, outcome.wall);
    return outcome.messages.isEmpty() ? 0 : 1;
}

// The floor, in a process of its own as the program is: each line of `file` written to a
// pseudo-terminal read at the line's rate, then a sleep for its time on the wire, and nothing
// else. Prints its CPU time and wall time.
int childFloor(const QString &file)
{
    QFile lines(file);
    if (!lines.open(QIODevice::ReadOnly))
        return 1;
    PacedPty pty(QStringLiteral("/var/lock")); // its port unused
    const int fd = ::open(QFile::encodeName(pty.path()).constData(), O_WRONLY | O_NOCTTY);
    if (fd < 0)
        return 1;
    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    while (!lines.atEnd()) {
        const QByteArray line = lines.readLine();
        if (::write(fd, line.constData(), size_t(line.size())) != line.size())
            break;
        std::this_thread::sleep_for(linetiming::transmitTime(line.size()));
    }
    std::printf("%f %f\n", cpuSeconds() - cpuBefore, double(wall.nsecsElapsed()) / 1e9);
    ::close(fd);
    return 0;
}

namespace {

// How long a screen reader waits for the bar's name: the program started with the screen-reader
// interface on, in a D-Bus session of its own, idle for a while and then uploading; this process
// asks for the bar's name over AT-SPI all along, one question at a time, and sorts the answers
// by what the name said (idle before the upload, or during it). Medians in ms.
std::pair<double, double> screenReaderFigures(const Context &context, const QString &display)
{
    QProcess session;
    const QString bus = firstLine(session, QStringLiteral("dbus-daemon"),
                                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                   QStringLiteral("--print-address=1")});
    std::vector<double> idle;
    std::vector<double> during;
    {
        AtSpiReader reader(QStringLiteral("bench"), bus); // asking starts the bus
        QProcess child;
        QProcessEnvironment environment = onDisplay(display);
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--child-desktop"), context.reference, QStringLiteral("3000")});
        std::optional<AtSpiReader::Node> bar;
        while (reader.connected() && child.state() != QProcess::NotRunning) {
            child.waitForFinished(20);
            if (!bar) {
                if (const auto app = reader.application(QStringLiteral("zelvor-upload")))
                    bar = reader.find(*app, QStringLiteral("progress bar"));
                continue;
            }
            QElapsedTimer asked;
            asked.start();
            const QString name = reader.name(*bar);
            const double ms = double(asked.nsecsElapsed()) / 1e6;
            if (name == QLatin1String("Upload progress"))
                idle.push_back(ms);
            else if (name.contains(QLatin1String(" %")))
                during.push_back(ms);
        }
        child.waitForFinished(120000);
    }
    session.terminate();
    session.waitForFinished(5000);
    return {idle.empty() ? -1 : median(idle), during.empty() ? -1 : median(during)};
}

} // namespace

void desktopFigure(const Context &context)
{
    QProcess server;
    const QString number =
        firstLine(server, QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp")});
    if (number.isEmpty()) {
        row("CPU time / wall time, pseudo-terminal, window on a real X server (Xvfb)",
            QStringLiteral("not measured: Xvfb did not start"), "<= 0.01", false);
        return;
    }
    // The program and its floor take turns, so that both see the same machine.
    const QString display = ":" + number;
    std::vector<double> cpuShare;
    std::vector<double> floorShare;
    for (int i = 0; i < context.runs; ++i)
        for (auto [mode, shares] :
             {std::pair{"--child-desktop", &cpuShare}, std::pair{"--child-floor", &floorShare}})
            if (const auto figures = runChild({QLatin1String(mode), context.reference}, display);
                figures.size() >= 2)
                shares->push_back(figures[0].toDouble() / figures[1].toDouble());
    const auto [idle, during] = screenReaderFigures(context, display);
    server.terminate();
    server.waitForFinished(5000);
    row("a screen reader's question (the bar's name over AT-SPI), the window idle, ms (median)",
        QString::number(idle, 'f', 2), "(what the row below is held to)", idle >= 0);
    row("the same question during an upload, ms (median)", QString::number(during, 'f', 2), "<= 5",
        during >= 0 && during <= 5);
    const double floor = median(floorShare);
    row("the floor: a write and a timed sleep a line, nothing else, in a process of its own",
        QString::number(floor, 'f', 4), "(what the row below is held to)", !floorShare.empty());
    const double program = median(cpuShare);
    row("CPU time / wall time, pseudo-terminal, window on a real X server (Xvfb)",
        QStringLiteral("%1 (%2x the floor)")
            .arg(program, 0, 'f', 4)
            .arg(floor > 0 ? program / floor : 0, 0, 'f', 2),
        "<= 1.25x the floor", !cpuShare.empty() && floor > 0 && program <= 1.25 * floor);
}

} // namespace bench
