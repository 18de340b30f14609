// zelvor-bench: measures the real upload in the real window (offscreen) through the real serial
// port, and prints each figure beside its target. Nothing here is asserted: it reports.
//
//   build/bench/zelvor-bench [--runs N] [--only lines|desktop|cancel|overhead|memory|startup]
//                            [--table FILE]
//   build/bench/zelvor-bench --soak [UPLOADS]
//
// The port runs over two devices: the simulated 16550 UART at 115 200 baud 7N2 on the real clock
// (a counted 4 KiB queue feeding a 16-character FIFO that is not counted), and a real
// pseudo-terminal whose other end a child process reads at 11 520 characters a second (where
// the kernel keeps no count). Each file measures one thing: linefigures.cpp how busy the upload
// keeps the line and the CPU it costs, cancelfigures.cpp how quickly Cancel gives the window
// back and a second upload starts, overheadfigure.cpp the upload's own cost per line,
// memoryfigure.cpp peak memory, startupfigure.cpp the start to the window, soak.cpp many uploads
// in a row. The table of figures is also written, as Markdown, to FILE, by default
// bench-figures.md in the build folder.

#include <cstdio>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include "benchrig.h"
#include "upload/linetiming.h"
#include "upload/upload.h"

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelvor-upload"));
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == QLatin1String("--child-memory"))
        return bench::childMemory(args.value(2));
    if (args.value(1) == QLatin1String("--child-desktop"))
        return bench::childDesktop(args.value(2), args.value(3).toInt());
    if (args.value(1) == QLatin1String("--child-floor"))
        return bench::childFloor(args.value(2));
    if (args.value(1) == QLatin1String("--child-startup"))
        return bench::childStartup();
    if (args.value(1) == QLatin1String("--soak"))
        return bench::soak(args.size() > 2 ? std::max(10, args.value(2).toInt()) : 1000);

    // The value given after flag, if any.
    const auto option = [&args](const char *flag) {
        const qsizetype at = args.indexOf(QLatin1String(flag));
        return at > 0 ? args.value(at + 1) : QString();
    };
    QTemporaryDir dir;
    bench::Context context;
    if (const QString runs = option("--runs"); !runs.isEmpty())
        context.runs = std::max(1, runs.toInt());
    const QString only = option("--only");
    context.folder = dir.path();
    context.reference = dir.filePath(QStringLiteral("reference.DNL"));
    const qint64 referenceLines = SampleLines::writeFile(context.reference, 200 * 1024);
    const qint64 referenceBytes = QFile(context.reference).size();
    context.wireSeconds =
        std::chrono::duration<double>(linetiming::transmitTime(referenceBytes)).count();

    bench::startTable(
        QStringLiteral("zelvor-upload benchmark, median of %1 runs; reference file %2 bytes in %3 "
                       "lines, %4 s on the wire at 115 200 baud 7N2\n\nmachine: %5")
            .arg(context.runs)
            .arg(referenceBytes)
            .arg(referenceLines)
            .arg(context.wireSeconds, 0, 'f', 2)
            .arg(bench::machine()),
        option("--table").isEmpty() ? QStringLiteral(ZELVOR_BENCH_TABLE) : option("--table"));
    const std::pair<const char *, void (*)(const bench::Context &)> groups[] = {
        {"lines", bench::lineFigures},    {"desktop", bench::desktopFigure},
        {"cancel", bench::cancelFigures}, {"overhead", bench::overheadFigure},
        {"memory", bench::memoryFigure},  {"startup", bench::startupFigure}};
    for (const auto &[name, measure] : groups)
        if (only.isEmpty() || only == QLatin1String(name))
            measure(context);
    return 0;
}
