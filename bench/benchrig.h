#pragma once
// What the benchmark's measurements share: the real window around a port and an event loop,
// stand-ins for the dialog and the message box, the devices uploaded to (the simulated UART on
// the real clock, a pseudo-terminal read at a fixed rate, a port that never waits), the
// reference file, and the printing of a figure beside its target. Nothing here is asserted.

#include <chrono>
#include <functional>
#include <vector>

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "sim/instantport.h"
#include "sim/ptydevice.h"
#include "sim/samplelines.h"
#include "sim/scriptedwindow.h"
#include "sim/simulatedtty.h"

namespace bench {

// The baseline: a pass that never waits, only alternating event processing and polling.
class SpinningEventLoop final : public EventLoop {
public:
    void processEvents(std::chrono::milliseconds, qintptr) override;
    Clock::time_point now() const override { return Clock::now(); }
};

// The simulated UART on the real clock, behind the real port.
struct SimulatedUart {
    explicit SimulatedUart(const QString &lockFolder)
        : port(
              tty, [](int) { return QStringLiteral("/dev/ttyS0"); }, lockFolder)
    {}
    SimulatedTty tty{SimulatedTty::Driver::Uart16550, [] { return Tty::Clock::now(); }};
    PosixSerialPort port;
};

// A pseudo-terminal whose device end a child process reads at 11 520 characters a second, as a
// device at 115 200 baud would, behind the real port.
class PacedPty {
public:
    explicit PacedPty(const QString &lockFolder);
    ~PacedPty();
    PacedPty(const PacedPty &) = delete;
    PacedPty &operator=(const PacedPty &) = delete;

    QString path() const { return QString::fromStdString(m_device.path()); }

    KernelTty tty;
    PosixSerialPort port;

private:
    void readPaced(double rate);

    PtyDevice m_device;
    int m_reader = -1;
};

struct Outcome {
    double wall = 0;
    double cpu = 0;
    double cancelToReady = 0; // ms, from the click on Cancel to the window ready
    QStringList messages;
    QString bar; // the bar's text at the end
};

// One upload from the real window: Browse, then Upload; `during` may arrange events for it, and
// Cancel is clicked `cancelMs` ms after Upload where that is not negative. Prints any message
// the window shows.
Outcome upload(SerialPort &port, EventLoop &events, const QString &file,
               const std::function<void(ScriptedWindow &)> &during = {}, int cancelMs = -1);

// What every measurement gets: the runs per figure and the reference file (200 KB of
// S-record-like lines of 40 to 80 characters) with its time on the wire.
struct Context {
    int runs = 3;
    QString folder;
    QString reference;
    double wireSeconds = 0;
};

double cpuSeconds();
double median(std::vector<double> values);
// The median, as "12.3 ms".
QString ms(const std::vector<double> &values, int decimals = 1);
// Starts program and returns the first line it prints, within 10 s.
QString firstLine(QProcess &process, const QString &program, const QStringList &args);
// This process's environment, with Qt on the X server at display.
QProcessEnvironment onDisplay(const QString &display);
// Runs this program again with args, where display is given on that X server, and returns the
// words it printed; none, and says so, where it failed.
QList<QByteArray> runChild(const QStringList &args, const QString &display = {});
qint64 statusKilobytes(const char *field); // from /proc/self/status
int openDescriptors();
QString machine();
// Prints the table's heading, and writes it to `path` too, where row() then adds each row.
void startTable(const QString &heading, const QString &path);
void row(const char *figure, const QString &measured, const char *target, bool met);

// The measurements, each in a file of its own.
void lineFigures(const Context &context);
void desktopFigure(const Context &context);
int childDesktop(const QString &file, int idleMs);
int childFloor(const QString &file);
void cancelFigures(const Context &context);
void overheadFigure(const Context &context);
void memoryFigure(const Context &context);
void startupFigure(const Context &context);
int childMemory(const QString &file);
int childStartup();
int soak(int uploads);

} // namespace bench
