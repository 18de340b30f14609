// How quickly Cancel gives the window back while the device holds off, and how quickly the next
// upload to the same port starts.

#include <QTimer>

#include "benchrig.h"
#include "platform/desktop/qteventloop.h"
#include "platform/serial/posix/kerneltty.h"

using namespace std::chrono_literals;

namespace bench {

namespace {

// The real port, noting when it was first seen open after the last click.
class TimedPort final : public PosixSerialPort {
public:
    using PosixSerialPort::PosixSerialPort;
    bool startOpen() override { return noted(PosixSerialPort::startOpen()); }
    bool opened() override { return noted(PosixSerialPort::opened()); }

    QElapsedTimer clock;
    qint64 openedAt = 0;

private:
    bool noted(bool open)
    {
        if (open)
            openedAt = clock.nsecsElapsed();
        return open;
    }
};

// Two uploads from one window, each cancelled after `cancelMs` ms (never when negative).
// Returns the second one's click to its port being open, in ms.
double secondStart(TimedPort &timed, const QString &file, int cancelMs)
{
    QtEventLoop events;
    // The first upload runs before upload() clicks Upload for the second, to which the device
    // still holds off; the clock restarts for each click.
    const auto firstUpload = [&](ScriptedWindow &desk) {
        if (cancelMs >= 0)
            QTimer::singleShot(cancelMs, desk.button("cmdCancel"), &QPushButton::click);
        timed.clock.start();
        desk.button("cmdLoad")->click();
        timed.clock.start();
    };
    upload(timed, events, file, firstUpload, cancelMs);
    return double(timed.openedAt) / 1e6;
}

} // namespace

void cancelFigures(const Context &context)
{
    // Held from 1 s on, Cancel at 1.5 s.
    std::vector<double> cancelTook;
    for (int i = 0; i < context.runs; ++i) {
        SimulatedUart uart(context.folder);
        uart.tty.holdOff(1s, 3600s);
        QtEventLoop events;
        cancelTook.push_back(upload(uart.port, events, context.reference, {}, 1500).cancelToReady);
    }
    row("Cancel while held off: click to window ready and port closed", ms(cancelTook), "<= 500 ms",
        median(cancelTook) <= 500);

    // A last line of 40 000 characters on a pseudo-terminal whose device takes about its first
    // 1 000 and then holds off for good; Cancel at 2.5 s, while the port still holds most of it.
    const QString longLine = context.folder + QStringLiteral("/longline.DNL");
    writeFile(longLine, "S0030000FC\r\n" + QByteArray(40000, 'L') + "\r\n");
    std::vector<double> longTook;
    QString longBar;
    for (int i = 0; i < context.runs; ++i) {
        PtyDevice pty;
        KernelTty tty;
        PosixSerialPort port(
            tty, [&pty](int) { return QString::fromStdString(pty.path()); }, context.folder);
        QtEventLoop events;
        QTimer device;
        std::size_t taken = 0;
        QObject::connect(&device, &QTimer::timeout, [&] {
            taken += pty.pump();
            if (taken >= 1000) {
                pty.holdOff(true);
                device.stop();
            }
        });
        const Outcome outcome = upload(
            port, events, longLine, [&device](ScriptedWindow &) { device.start(1); }, 2500);
        longBar = outcome.bar;
        longTook.push_back(outcome.cancelToReady);
    }
    row("Cancel while a device holds off most of a long last line (pty): click to window ready",
        QStringLiteral("%1, bar \"%2\"").arg(ms(longTook), longBar), "<= 500 ms, never \"Sent\"",
        median(longTook) <= 500 && !longBar.startsWith(QLatin1String("Sent")));

    // The next upload to the same port: after a whole upload to a pseudo-terminal, and after a
    // Cancel while a simulated USB adapter holds off, whose close the kernel would make wait.
    const QString small = context.folder + QStringLiteral("/small.DNL");
    SampleLines::writeFile(small, 2000);
    std::vector<double> afterUpload, afterCancel;
    for (int i = 0; i < context.runs; ++i) {
        PtyDevice pty;
        KernelTty tty;
        TimedPort ptyPort(
            tty, [&pty](int) { return QString::fromStdString(pty.path()); }, context.folder);
        afterUpload.push_back(secondStart(ptyPort, small, -1));

        SimulatedTty usb(SimulatedTty::Driver::UsbSerial, [] { return Tty::Clock::now(); });
        usb.holdOff(50ms, 1h);
        TimedPort usbPort(
            usb, [](int) { return QStringLiteral("/dev/ttyUSB0"); }, context.folder);
        afterCancel.push_back(secondStart(usbPort, context.reference, 300));
    }
    row("second upload to the same port: click to port open, after a whole upload (pty)",
        ms(afterUpload), "<= 100 ms", median(afterUpload) <= 100);
    row("second upload: click to port open, after Cancel while held off (USB adapter)",
        ms(afterCancel), "<= 100 ms", median(afterCancel) <= 100);
}

} // namespace bench
