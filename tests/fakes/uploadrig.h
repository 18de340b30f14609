#pragma once
// One upload on a fake clock: the real procedure and the real serial port over a simulated
// driver, with a file, a form and a message box that the test reads. Lock files go to a folder
// of the rig's own.

#include <QTemporaryDir>

#include "fakeeventloop.h"
#include "fakefilesystem.h"
#include "fakemessagebox.h"
#include "fakeuploadform.h"
#include "platform/posixserialport.h"
#include "platform/simulatedtty.h"
#include "upload/upload.h"

struct UploadRig {
    explicit UploadRig(QList<QByteArray> lines,
                       SimulatedTty::Driver driver = SimulatedTty::Driver::Uart16550)
        : files(std::move(lines)), tty(driver, [this] { return events.now(); })
    {}

    // Clicks Upload; returns the fake time it took.
    std::chrono::milliseconds run()
    {
        const auto start = events.now();
        upload.run();
        return std::chrono::duration_cast<std::chrono::milliseconds>(events.now() - start);
    }

    // Since the port was last opened.
    std::chrono::milliseconds sinceOpen() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(events.now() - openedAt);
    }

    QTemporaryDir lockFolder;
    FakeUploadForm form;
    FakeFileSystem files;
    FakeMessageBox messages;
    FakeEventLoop events;
    SimulatedTty tty;
    int askedFor = 0; // the port number the mapping was last asked for
    EventLoop::Clock::time_point openedAt{};
    QString device = QStringLiteral("/dev/ttyS0");
    PosixSerialPort port{tty,
                         [this](int n) {
                             askedFor = n;
                             openedAt = events.now();
                             return device;
                         },
                         lockFolder.path()};
    Upload upload{form, port, files, messages, events};
};

inline QByteArray withCrLf(const QList<QByteArray> &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + "\r\n";
    return all;
}

// Whether every character left the wire at 115 200 baud, 7 data bits (a pseudo-terminal keeps
// 8), no parity, 2 stop bits, with RTS/CTS, and reached the device.
inline bool sentAtLineSettings(SimulatedTty &tty)
{
    const bool pty = tty.driver() == SimulatedTty::Driver::PseudoTerminal;
    return std::all_of(tty.wire().begin(), tty.wire().end(), [pty](const auto &c) {
        const tcflag_t f = c.flags;
        return c.taken && c.speed == B115200 && (pty || (f & CSIZE) == CS7) && !(f & PARENB) &&
               (f & CSTOPB) && (f & CRTSCTS);
    });
}
