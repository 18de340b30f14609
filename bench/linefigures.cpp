// How busy the upload keeps the line, and the CPU it costs while waiting: on the simulated UART
// beside a baseline whose passes never wait, and on a pseudo-terminal read at the line's rate.

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"

namespace bench {

void lineFigures(const Context &context)
{
    std::vector<double> efficiency, cpuShare, spinEfficiency, spinCpuShare, ptyEfficiency,
        ptyCpuShare;
    const auto measure = [&context](SerialPort &port, EventLoop &events,
                                    std::vector<double> &lineShare, std::vector<double> &cpu) {
        const Outcome outcome = upload(port, events, context.reference);
        lineShare.push_back(context.wireSeconds / outcome.wall);
        cpu.push_back(outcome.cpu / outcome.wall);
    };
    for (int i = 0; i < context.runs; ++i) {
        SimulatedUart uart(context.folder);
        QtEventLoop events;
        measure(uart.port, events, efficiency, cpuShare);

        SimulatedUart spinUart(context.folder);
        SpinningEventLoop spinning;
        measure(spinUart.port, spinning, spinEfficiency, spinCpuShare);

        PacedPty pty(context.folder);
        measure(pty.port, events, ptyEfficiency, ptyCpuShare);
    }
    row("line efficiency, simulated UART",
        QStringLiteral("%1 (spinning baseline %2)")
            .arg(median(efficiency), 0, 'f', 4)
            .arg(median(spinEfficiency), 0, 'f', 4),
        ">= 0.98", median(efficiency) >= 0.98);
    row("CPU time / wall time, simulated UART",
        QStringLiteral("%1 (spinning baseline %2)")
            .arg(median(cpuShare), 0, 'f', 4)
            .arg(median(spinCpuShare), 0, 'f', 3),
        "<= 0.03", median(cpuShare) <= 0.03);
    row("line efficiency, pseudo-terminal read at 11 520 characters/s",
        QString::number(median(ptyEfficiency), 'f', 4), ">= 0.98", median(ptyEfficiency) >= 0.98);
    row("CPU time / wall time, pseudo-terminal", QString::number(median(ptyCpuShare), 'f', 4),
        "<= 0.03", median(ptyCpuShare) <= 0.03);
}

} // namespace bench
