// How quickly Cancel gives the window back while the device holds off.

#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"

using namespace std::chrono_literals;

namespace bench {

void cancelFigures(const Context &context)
{
    // Held from 1 s on, Cancel at 1.5 s.
    std::vector<double> cancelTook;
    for (int i = 0; i < context.runs; ++i) {
        SimulatedUart uart(context.folder);
        uart.tty.holdOff(1s, 3600s);
        QtEventLoop events;
        QElapsedTimer clock;
        qint64 clickedAt = 0;
        const auto during = [&](MainWindow &window) {
            QTimer::singleShot(1500, &window, [&, w = &window] {
                clickedAt = clock.nsecsElapsed();
                w->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
            });
        };
        clock.start();
        upload(uart.port, events, context.reference, during);
        cancelTook.push_back(double(clock.nsecsElapsed() - clickedAt) / 1e6);
    }
    row("Cancel while held off: click to window ready and port closed",
        QStringLiteral("%1 ms").arg(median(cancelTook), 0, 'f', 1), "<= 500 ms",
        median(cancelTook) <= 500);
}

} // namespace bench
