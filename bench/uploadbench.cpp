// Measures the real upload in the real window (offscreen) against a UART model at 115 200 baud,
// and prints each figure beside its target. Nothing here is asserted: it reports.
//
//   build/bench/zelvor-bench [--runs N]
//
// The figures: how busy the upload keeps the line, the CPU it costs (beside a baseline whose
// passes never wait), how quickly Cancel takes effect while the device holds off, the lines a
// second it can hand over when the port never waits, peak memory for a large and a small file,
// and the time from starting the program to its window being shown.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>

#include <sys/utsname.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "app/mainwindow.h"
#include "platform/diskfilesystem.h"
#include "platform/qteventloop.h"
#include "platform/qtmessagebox.h"
#include "platform/qtopenfiledialog.h"
#include "platform/qtserialport.h"
#include "uartmodel.h"
#include "upload/linetiming.h"

using namespace std::chrono_literals;

namespace {

class ChosenFile final : public OpenFileDialog {
public:
    explicit ChosenFile(QString path) : m_path(std::move(path)) {}
    QString chooseFile(const OpenFileSettings &) override { return m_path; }

private:
    QString m_path;
};

class CollectedMessages final : public MessageBox {
public:
    void show(const QString &text) override { shown.append(text); }
    QStringList shown;
};

// The baseline: a pass that never waits, only alternating event processing and polling.
class SpinningEventLoop final : public EventLoop {
public:
    void processEvents(std::chrono::milliseconds) override { QCoreApplication::processEvents(); }
    Clock::time_point now() const override { return Clock::now(); }
};

// A port whose queue is always empty: what is left is the upload's own cost per line.
class InstantPort final : public SerialPort {
public:
    void setPortNumber(qint16) override {}
    void setLineSettings(const LineSettings &) override {}
    void setHandshaking(Handshaking) override {}
    void open() override { m_open = true; }
    bool isOpen() const override { return m_open; }
    qint64 queuedCount() override { return 0; }
    void output(const QByteArray &data) override
    {
        ++lines;
        bytes += data.size();
    }
    void discardAndClose() noexcept override { m_open = false; }
    QString describe() const override { return QStringLiteral("COM1 (instant)"); }

    qint64 lines = 0;
    qint64 bytes = 0;

private:
    bool m_open = false;
};

double cpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Outcome {
    double wall = 0;
    double cpu = 0;
    QStringList messages;
};

// One upload from the real window: Browse, then Upload; `during` may arrange events for it.
Outcome upload(SerialPort &port, EventLoop &events, const QString &file,
               const std::function<void(MainWindow &)> &during = {})
{
    ChosenFile dialog(file);
    DiskFileSystem files;
    CollectedMessages messages;
    MainWindow window(Services{dialog, port, files, messages, events});
    window.findChild<QPushButton *>(QStringLiteral("cmdBrowse"))->click();
    if (during)
        during(window);
    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    window.findChild<QPushButton *>(QStringLiteral("cmdLoad"))->click();
    return {double(wall.nsecsElapsed()) / 1e9, cpuSeconds() - cpuBefore, messages.shown};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// S-record-like lines of 40 to 80 characters with CR LF ends, up to about `bytes`.
qint64 writeReferenceFile(const QString &path, qint64 bytes)
{
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> length(40, 80);
    static const char hex[] = "0123456789ABCDEF";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    qint64 written = 0;
    qint64 lines = 0;
    QByteArray line;
    while (written < bytes) {
        const int n = length(random);
        line = "S2";
        while (line.size() < n)
            line += hex[random() % 16];
        line += "\r\n";
        file.write(line);
        written += line.size();
        ++lines;
    }
    return lines;
}

qint64 peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Child: an upload of the file with the queue always empty, then its peak memory.
int childMemory(const QString &file)
{
    InstantPort port;
    QtEventLoop events;
    const Outcome outcome = upload(port, events, file);
    std::printf("%lld %lld\n", peakKilobytes(), port.lines);
    return outcome.messages.isEmpty() ? 0 : 1;
}

// Child: starts as the program does and reports once the window has painted.
int childStartup()
{
    QtOpenFileDialog dialog;
    QtSerialPort port;
    DiskFileSystem files;
    QtMessageBox messages;
    QtEventLoop events;
    MainWindow window(Services{dialog, port, files, messages, events});
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

QString machine()
{
    QString cpu = QStringLiteral("unknown CPU");
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    utsname system{};
    ::uname(&system);
    return QStringLiteral("%1, %2 cores, Linux %3, Qt %4, QPA %5")
        .arg(cpu)
        .arg(::sysconf(_SC_NPROCESSORS_ONLN))
        .arg(QString::fromLatin1(system.release), QString::fromLatin1(qVersion()),
             QGuiApplication::platformName());
}

void row(const char *figure, const QString &measured, const char *target, bool met)
{
    std::printf("| %s | %s | %s | %s |\n", figure, qPrintable(measured), target,
                met ? "yes" : "NO");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelvor-upload"));
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == QLatin1String("--child-memory"))
        return childMemory(args.value(2));
    if (args.value(1) == QLatin1String("--child-startup"))
        return childStartup();
    int runs = 3;
    if (args.value(1) == QLatin1String("--runs"))
        runs = std::max(1, args.value(2).toInt());

    QTemporaryDir dir;
    const QString reference = dir.filePath(QStringLiteral("reference.DNL"));
    const qint64 referenceLines = writeReferenceFile(reference, 200 * 1024);
    const qint64 referenceBytes = QFile(reference).size();
    const LineTiming timing(Upload::kLineSettings);
    const double wireSeconds =
        std::chrono::duration<double>(timing.transmitTime(referenceBytes)).count();

    std::printf("zelvor-upload benchmark, median of %d runs; reference file %lld bytes in %lld "
                "lines, %.2f s on the wire at 115 200 baud 7N2\n",
                runs, referenceBytes, referenceLines, wireSeconds);
    std::printf("machine: %s\n\n", qPrintable(machine()));
    std::printf("| figure | measured | target | met |\n|---|---|---|---|\n");

    // Line efficiency and CPU, beside the spinning baseline in the same run.
    std::vector<double> efficiency, cpuShare, spinEfficiency, spinCpuShare;
    for (int i = 0; i < runs; ++i) {
        UartModel port;
        QtEventLoop events;
        const Outcome real = upload(port, events, reference);
        efficiency.push_back(wireSeconds / real.wall);
        cpuShare.push_back(real.cpu / real.wall);

        UartModel spinPort;
        SpinningEventLoop spinning;
        const Outcome spin = upload(spinPort, spinning, reference);
        spinEfficiency.push_back(wireSeconds / spin.wall);
        spinCpuShare.push_back(spin.cpu / spin.wall);
    }
    row("line efficiency",
        QStringLiteral("%1 (spinning baseline %2)")
            .arg(median(efficiency), 0, 'f', 4)
            .arg(median(spinEfficiency), 0, 'f', 4),
        ">= 0.98", median(efficiency) >= 0.98);
    row("CPU time / wall time during the upload",
        QStringLiteral("%1 (spinning baseline %2)")
            .arg(median(cpuShare), 0, 'f', 4)
            .arg(median(spinCpuShare), 0, 'f', 3),
        "<= 0.03", median(cpuShare) <= 0.03);

    // Cancel while the device holds off: held from 1 s on, Cancel at 1.5 s.
    std::vector<double> cancelExcess;
    for (int i = 0; i < runs; ++i) {
        UartModel port({{1s, 3600s}});
        QtEventLoop events;
        QElapsedTimer clock;
        qint64 clickedAt = 0;
        std::chrono::microseconds queuedTime{0};
        const auto during = [&](MainWindow &window) {
            QTimer::singleShot(1500, &window, [&, w = &window] {
                queuedTime = timing.transmitTime(port.queuedCount());
                clickedAt = clock.nsecsElapsed();
                w->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
            });
        };
        clock.start();
        upload(port, events, reference, during);
        const double took = double(clock.nsecsElapsed() - clickedAt) / 1e6;
        cancelExcess.push_back(took - double(queuedTime.count()) / 1e3);
    }
    row("Cancel while held off: to window ready and port closed, beyond the queued characters' "
        "time",
        QStringLiteral("%1 ms").arg(median(cancelExcess), 0, 'f', 2), "<= 50 ms",
        median(cancelExcess) <= 50);

    // The upload's own cost: a queue that is always empty.
    const QString many = dir.filePath(QStringLiteral("many.DNL"));
    const qint64 manyLines = writeReferenceFile(many, 10 * 1024 * 1024);
    std::vector<double> linesPerSecond;
    for (int i = 0; i < runs; ++i) {
        InstantPort port;
        QtEventLoop events;
        const Outcome outcome = upload(port, events, many);
        linesPerSecond.push_back(double(port.lines) / outcome.wall);
    }
    row("own overhead: lines/s handed over, queue always empty",
        QStringLiteral("%1 lines/s (%2 lines)")
            .arg(median(linesPerSecond), 0, 'f', 0)
            .arg(manyLines),
        ">= 50 000", median(linesPerSecond) >= 50000);

    // Peak memory of a whole upload, large file against small, each in a process of its own.
    const auto peakFor = [&](qint64 bytes) {
        const QString path = dir.filePath(QStringLiteral("size%1.DNL").arg(bytes));
        writeReferenceFile(path, bytes);
        std::vector<double> peaks;
        for (int i = 0; i < runs; ++i) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--child-memory"), path});
            child.waitForFinished(-1);
            peaks.push_back(child.readAllStandardOutput().split(' ').value(0).toDouble() / 1024);
        }
        QFile::remove(path);
        return median(peaks);
    };
    const double small = peakFor(1LL << 20);
    const double large = peakFor(200LL << 20);
    row("peak memory, 200 MB file against 1 MB file, queue always empty",
        QStringLiteral("%1 MB against %2 MB: %3 MB apart")
            .arg(large, 0, 'f', 1)
            .arg(small, 0, 'f', 1)
            .arg(large - small, 0, 'f', 2),
        "within 5 MB", std::abs(large - small) <= 5);

    // Start of the program to its window shown.
    std::vector<double> startup;
    for (int i = 0; i < std::max(runs, 5); ++i) {
        QProcess child;
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child-startup")});
        while (!child.canReadLine() && child.waitForReadyRead(5000)) {
        }
        startup.push_back(double(clock.nsecsElapsed()) / 1e6);
        child.waitForFinished(5000);
    }
    row("start of the program to window shown",
        QStringLiteral("%1 ms").arg(median(startup), 0, 'f', 0), "<= 300 ms",
        median(startup) <= 300);
    return 0;
}
