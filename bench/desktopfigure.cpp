// The CPU that pacing costs in a real desktop: this program started again with --child-desktop
// on a real X server (Xvfb), where every change of the bar is drawn and sent to the server,
// uploading to a pseudo-terminal read at the line's rate. The offscreen figures leave that out.
// Beside it, what this machine allows at all: the same lines written to the same kind of
// pseudo-terminal with nothing between two but one timed sleep, the least any line-paced upload
// does; its cost is the wake and the write, and it varies from machine to machine.

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "platform/serial/posix/kerneltty.h"
#include "upload/linetiming.h"
#include "upload/upload.h"

namespace bench {

int childDesktop(const QString &file)
{
    PacedPty pty(11520);
    KernelTty tty;
    PosixSerialPort port(
        tty, [&pty](int) { return pty.path(); }, QStringLiteral("/var/lock"));
    QtEventLoop events;
    const Outcome outcome = upload(port, events, file, [](MainWindow &window) {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            std::printf("the window was not shown\n");
    });
    std::printf("%f %f %s\n", outcome.cpu, outcome.wall, qPrintable(outcome.messages.join(' ')));
    return outcome.messages.isEmpty() ? 0 : 1;
}

namespace {

// CPU time / wall time of writing each line of `file`, then sleeping its time on the wire.
double floorShare(const QString &file)
{
    QFile lines(file);
    if (!lines.open(QIODevice::ReadOnly))
        return -1;
    PacedPty pty(11520);
    const int fd = ::open(QFile::encodeName(pty.path()).constData(), O_WRONLY | O_NOCTTY);
    if (fd < 0)
        return -1;
    const LineTiming timing(Upload::kLineSettings);
    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    while (!lines.atEnd()) {
        const QByteArray line = lines.readLine();
        if (::write(fd, line.constData(), size_t(line.size())) != line.size())
            break;
        sleepOutsideEvents(timing.transmitTime(line.size()), -1);
    }
    const double share = (cpuSeconds() - cpuBefore) / (double(wall.nsecsElapsed()) / 1e9);
    ::close(fd);
    return share;
}

} // namespace

void desktopFigure(const Context &context)
{
    QProcess server;
    server.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp")});
    QByteArray display;
    while (!display.contains('\n') && server.waitForReadyRead(10000))
        display += server.readAllStandardOutput();
    if (display.trimmed().isEmpty()) {
        row("CPU time / wall time, pseudo-terminal, window on a real X server (Xvfb)",
            QStringLiteral("not measured: Xvfb did not start"), "<= 0.01", false);
        return;
    }
    std::vector<double> cpuShare;
    for (int i = 0; i < context.runs; ++i) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), ":" + QString::fromLatin1(display.trimmed()));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--child-desktop"), context.reference});
        child.waitForFinished(120000);
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        if (child.exitCode() != 0 || figures.size() < 2) {
            std::printf("the upload in Xvfb failed: %s\n", figures.join(' ').constData());
            continue;
        }
        cpuShare.push_back(figures[0].toDouble() / figures[1].toDouble());
    }
    server.terminate();
    server.waitForFinished(5000);
    row("CPU time / wall time, pseudo-terminal, window on a real X server (Xvfb)",
        QString::number(median(cpuShare), 'f', 4), "<= 0.01",
        !cpuShare.empty() && median(cpuShare) <= 0.01);
    const double floor = floorShare(context.reference);
    row("this machine's floor for it: a write and a timed sleep a line, nothing else",
        QString::number(floor, 'f', 4), "(what the target must allow)", floor <= 0.01);
}

} // namespace bench
