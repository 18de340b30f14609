// The upload's own cost per line: lines handed over a second to a queue that is always empty;
// and what the look through the file for bytes a 7-bit line cannot carry costs of that.

#include <QElapsedTimer>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "platform/files/diskfilesystem.h"

namespace bench {

void overheadFigure(const Context &context)
{
    const QString many = context.folder + QStringLiteral("/many.DNL");
    const qint64 manyLines = SampleLines::writeFile(many, 10 * 1024 * 1024);
    std::vector<double> linesPerSecond, checkShare, checkRate;
    for (int i = 0; i < context.runs; ++i) {
        InstantPort port;
        QtEventLoop events;
        const Outcome outcome = upload(port, events, many);
        linesPerSecond.push_back(double(port.lines) / outcome.wall);

        // The same check on its own, piece by piece as the upload makes it.
        DiskFileSystem files;
        const std::unique_ptr<TextStream> stream = files.openTextFile(many);
        QElapsedTimer clock;
        clock.start();
        ByteCheck check;
        while (!check.done)
            check = stream->checkBytes(TextStream::kCheckPiece);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        checkShare.push_back(seconds / outcome.wall);
        checkRate.push_back(double(check.checked) / 1e6 / seconds);
    }
    row("own overhead: lines/s handed over, queue always empty",
        QStringLiteral("%1 lines/s (%2 lines)")
            .arg(median(linesPerSecond), 0, 'f', 0)
            .arg(manyLines),
        ">= 50 000", median(linesPerSecond) >= 50000);
    row("the check for bytes of 0x80 or above: share of that upload's time, and its rate",
        QStringLiteral("%1 % (%2 MB/s)")
            .arg(100 * median(checkShare), 0, 'f', 1)
            .arg(median(checkRate), 0, 'f', 0),
        "a few %", median(checkShare) <= 0.05);
}

} // namespace bench
