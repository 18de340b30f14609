#pragma once
// One upload on a fake clock: the real procedure, the real serial port over a simulated driver
// and the real file reading, with a form and a message box that the test reads. The download
// file and the lock files live in a folder of the rig's own. UploadRig runs the POSIX port over
// a simulated tty driver; Win32UploadRig the Win32 port over a simulated Windows driver.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "fakeeventloop.h"
#include "sim/collectedmessages.h"
#include "fakeuploadform.h"
#include "platform/files/diskfilesystem.h"
#include "platform/serial/windows/registrycomports.h"
#include "platform/serial/windows/win32serialport.h"
#include "sim/samplelines.h"
#include "sim/simulatedcomm.h"
#include "testfiles.h"
#include "upload/upload.h"
#ifndef Q_OS_WIN
#include "platform/serial/posix/posixserialport.h"
#include "sim/simulatedtty.h"
#endif

inline QByteArray withCrLf(const QList<QByteArray> &lines)
{
    return SampleLines::withCrLf(lines);
}

// What both rigs share: the file, the form, the clock and the message box.
struct RigBase {
    explicit RigBase(const QList<QByteArray> &fileLines) : lines(fileLines)
    {
        form.filePath = writeFile(lockFolder.filePath(QStringLiteral("app.DNL")), withCrLf(lines));
    }

    // Since the port was last opened.
    std::chrono::milliseconds sinceOpen() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(events.now() - openedAt);
    }

    QTemporaryDir lockFolder;
    const QList<QByteArray> lines;
    FakeUploadForm form;
    DiskFileSystem files;
    CollectedMessages messages;
    FakeEventLoop events;
    int askedFor = 0; // the port number the mapping was last asked for
    EventLoop::Clock::time_point openedAt{};
};

// Runs upload and returns the fake time it took.
inline std::chrono::milliseconds timed(FakeEventLoop &events, Upload &upload)
{
    const auto start = events.now();
    upload.run();
    return std::chrono::duration_cast<std::chrono::milliseconds>(events.now() - start);
}

struct Win32UploadRig : RigBase {
    explicit Win32UploadRig(const QList<QByteArray> &fileLines,
                            SimulatedComm::Driver driver = SimulatedComm::Driver::Serial16550)
        : RigBase(fileLines), comm(driver, [this] { return events.now(); })
    {
        // A Bluetooth port opens seconds after it is asked to: times count from then.
        comm.opened = [this] { openedAt = events.now(); };
    }
    std::chrono::milliseconds run() { return timed(events, upload); }

    SimulatedComm comm;
    RegistryComPorts comPorts{comm};
    Win32SerialPort port{comm,
                         [this](int n) {
                             askedFor = n;
                             openedAt = events.now();
                             return QStringLiteral("\\\\.\\COM%1").arg(n);
                         },
                         [this](int n) { return comPorts.missing(n); }};
    Upload upload{form, port, files, messages, events};
};

#ifndef Q_OS_WIN
// How many of this process's descriptors have path open.
inline int descriptorsOn(const QString &path)
{
    int count = 0;
    for (const QFileInfo &fd :
         QDir(QStringLiteral("/proc/self/fd"))
             .entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == path;
    return count;
}

struct UploadRig : RigBase {
    explicit UploadRig(const QList<QByteArray> &fileLines,
                       SimulatedTty::Driver driver = SimulatedTty::Driver::Uart16550)
        : RigBase(fileLines), tty(driver, [this] { return events.now(); })
    {}
    // Clicks Upload; returns the fake time it took.
    std::chrono::milliseconds run() { return timed(events, upload); }
    // Whether this process still has the download file open.
    bool fileOpen() const { return descriptorsOn(form.filePath) > 0; }

    SimulatedTty tty;
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

// Whether every character left the wire at 115 200 baud, 7 data bits (a pseudo-terminal keeps
// 8), no parity, 2 stop bits, with RTS/CTS, and reached the device.
inline bool sentAtLineSettings(SimulatedTty &tty)
{
    const bool pty = tty.driver() == SimulatedTty::Driver::PseudoTerminal;
    return std::all_of(tty.wire().begin(), tty.wire().end(), [pty](const auto &c) {
        const tcflag_t f = c.flags;
        return c.speed == B115200 && (pty || (f & CSIZE) == CS7) && !(f & PARENB) && (f & CSTOPB) &&
               (f & CRTSCTS);
    });
}
#endif
