// The upload's own cost per line: lines handed over a second to a queue that is always empty.

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"

namespace bench {

void overheadFigure(const Context &context)
{
    const QString many = context.folder + QStringLiteral("/many.DNL");
    const qint64 manyLines = writeReferenceFile(many, 10 * 1024 * 1024);
    std::vector<double> linesPerSecond;
    for (int i = 0; i < context.runs; ++i) {
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
}

} // namespace bench
