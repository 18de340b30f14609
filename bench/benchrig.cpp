#include "benchrig.h"

#include <algorithm>
#include <ctime>

#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QPushButton>
#include <QTimer>

#include "platform/serial/posix/sysfscomports.h"

namespace bench {

void SpinningEventLoop::processEvents(std::chrono::milliseconds, qintptr)
{
    QCoreApplication::processEvents();
}

PacedPty::PacedPty(const QString &lockFolder)
    : port(
          tty, [this](int) { return path(); }, lockFolder)
{
    m_reader = ::fork();
    if (m_reader == 0) {
        readPaced(11520);
        ::_exit(0);
    }
}

PacedPty::~PacedPty()
{
    ::kill(m_reader, SIGTERM);
    ::waitpid(m_reader, nullptr, 0);
}

// Takes what the rate allows every 2 ms, never more.
void PacedPty::readPaced(double rate)
{
    const auto start = std::chrono::steady_clock::now();
    double taken = 0;
    char buffer[4096];
    for (;;) {
        ::usleep(2000);
        const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
        const qint64 allowed = qint64(since.count() * rate - taken);
        if (allowed <= 0)
            continue;
        const ssize_t got =
            ::read(m_device.master(), buffer, size_t(std::min<qint64>(allowed, 4096)));
        if (got > 0)
            taken += double(got);
        else
            taken = std::max(taken, since.count() * rate - 64); // idle: bank no time
    }
}

Outcome upload(SerialPort &port, EventLoop &events, const QString &file,
               const std::function<void(ScriptedWindow &)> &during, int cancelMs)
{
    SysfsComPorts comPorts;
    ScriptedWindow desk(port, events, comPorts, file);
    desk.button("cmdBrowse")->click();
    if (during)
        during(desk);
    QElapsedTimer wall;
    qint64 cancelledAt = 0;
    if (cancelMs >= 0)
        QTimer::singleShot(cancelMs, &desk.window, [&] {
            cancelledAt = wall.nsecsElapsed();
            desk.button("cmdCancel")->click();
        });
    const double cpuBefore = cpuSeconds();
    wall.start();
    desk.button("cmdLoad")->click();
    const qint64 took = wall.nsecsElapsed();
    const double cpu = cpuSeconds() - cpuBefore;
    if (!desk.messages.shown.isEmpty())
        std::printf("unexpected message: %s\n", qPrintable(desk.messages.shown.join(' ')));
    return {double(took) / 1e9, cpu, double(took - cancelledAt) / 1e6, desk.messages.shown,
            desk.bar()};
}

double cpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString ms(const std::vector<double> &values, int decimals)
{
    return QStringLiteral("%1 ms").arg(median(values), 0, 'f', decimals);
}

QString firstLine(QProcess &process, const QString &program, const QStringList &args)
{
    process.start(program, args);
    QByteArray line;
    while (!line.contains('\n') && process.waitForReadyRead(10000))
        line += process.readAllStandardOutput();
    return QString::fromLatin1(line.trimmed());
}

QProcessEnvironment onDisplay(const QString &display)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

QList<QByteArray> runChild(const QStringList &args, const QString &display)
{
    QProcess child;
    if (!display.isEmpty())
        child.setProcessEnvironment(onDisplay(display));
    child.start(QCoreApplication::applicationFilePath(), args);
    child.waitForFinished(-1);
    const QList<QByteArray> words = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitCode() == 0)
        return words;
    std::printf("%s failed: %s\n", qPrintable(args.join(' ')), words.join(' ').constData());
    return {};
}

namespace {

// The rest of the first line in the /proc file that starts with field.
QByteArray procLine(const char *file, const char *field)
{
    QFile in(QString::fromLatin1(file));
    if (in.open(QIODevice::ReadOnly))
        for (const QByteArray &line : in.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qstrlen(field));
    return {};
}

} // namespace

qint64 statusKilobytes(const char *field)
{
    const QByteArray value = procLine("/proc/self/status", field);
    return value.isEmpty() ? -1 : value.trimmed().split(' ').value(0).toLongLong();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

QString machine()
{
    const QByteArray model = procLine("/proc/cpuinfo", "model name");
    utsname system{};
    ::uname(&system);
    return QStringLiteral("%1, %2 cores, Linux %3, Qt %4, QPA %5")
        .arg(model.isEmpty() ? QStringLiteral("unknown CPU")
                             : QString::fromLatin1(model.mid(model.indexOf(':') + 1).trimmed()))
        .arg(::sysconf(_SC_NPROCESSORS_ONLN))
        .arg(QString::fromLatin1(system.release), QString::fromLatin1(qVersion()),
             QGuiApplication::platformName());
}

namespace {

QString tablePath;

// Prints text, and adds it to the table's file where there is one.
void put(const QString &text, QIODevice::OpenMode mode = QIODevice::Append)
{
    std::printf("%s", qPrintable(text));
    std::fflush(stdout);
    if (tablePath.isEmpty())
        return;
    QFile file(tablePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | mode) || file.write(text.toUtf8()) < 0)
        qFatal("cannot write %s", qPrintable(tablePath));
}

} // namespace

void startTable(const QString &heading, const QString &path)
{
    tablePath = path;
    put(heading + QStringLiteral("\n\n| figure | measured | target | met |\n|---|---|---|---|\n"),
        QIODevice::Truncate);
}

void row(const char *figure, const QString &measured, const char *target, bool met)
{
    put(QStringLiteral("| %1 | %2 | %3 | %4 |\n")
            .arg(QLatin1String(figure), measured, QLatin1String(target),
                 met ? QLatin1String("yes") : QLatin1String("NO")));
}

} // namespace bench
