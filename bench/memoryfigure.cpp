// Peak memory of a whole upload, a large file against a small one, each in a process of its own
// (this program started again with --child-memory), with the queue always empty.

#include <cmath>
#include <cstdio>

#include <QFile>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"

namespace bench {

int childMemory(const QString &file)
{
    InstantPort port;
    QtEventLoop events;
    const Outcome outcome = upload(port, events, file);
    std::printf("%lld %lld\n", statusKilobytes("VmHWM:"), port.lines);
    return outcome.messages.isEmpty() ? 0 : 1;
}

void memoryFigure(const Context &context)
{
    const auto peakFor = [&](qint64 bytes) {
        const QString path = context.folder + QStringLiteral("/size%1.DNL").arg(bytes);
        SampleLines::writeFile(path, bytes);
        std::vector<double> peaks;
        for (int i = 0; i < context.runs; ++i)
            peaks.push_back(runChild({QStringLiteral("--child-memory"), path}).value(0).toDouble() /
                            1024);
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
}

} // namespace bench
