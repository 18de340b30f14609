// The serial port at the edges, over each simulated driver on a fake clock: what a whole upload
// delivers and reports when the device holds off, is unplugged or is cancelled; and the port's
// locks and open errors.

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include <pthread.h>

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTest>

#include "edgerun.h"
#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/withoutcapabilities.h"
#include "sim/ptydevice.h"
#include "testfiles.h"

using namespace std::chrono_literals;
using Driver = SimulatedTty::Driver;

Q_DECLARE_METATYPE(Driver)

class TestPosixSerialPort : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void edges_data();
    void edges();
    void ctsOffOnceAllIsTaken_data();
    void ctsOffOnceAllIsTaken();
    void closingNeverBlocks_data();
    void closingNeverBlocks();
    void openRefused_data();
    void openRefused();
    void locksAreTakenAndReleased();
    void onTheKernelsPseudoTerminals();
};

namespace {

// The kernel's calls, with an open() that takes as long as the test says: an open that waits
// for another program's close, or for an adapter's answers over USB.
class SlowOpenTty final : public KernelTty {
public:
    int open(const QByteArray &path) override
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!released && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return KernelTty::open(path);
    }
    std::atomic<bool> released{false};
};

} // namespace

// The kernel's own drivers prove the USB adapters' rows in tools/vm/test (ftdi_sio, pl2303,
// cp210x: five uploads, held off mid-file and at the end, Cancel while held for good,
// unplugged; cdc_acm: five uploads, unplugged); a 16550 cannot be unplugged there, and no
// device there echoes, so those rows stay here, as do a CDC-ACM device's hold-offs.
void TestPosixSerialPort::edges_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<EdgeRow>("row");
    const QString lost = "Lost the connection to COM1 (/dev/ttyS0): ";
    const QString waiting = "Waiting for the device \u00b7 0:0";
    addEdgeRows("16550", Driver::Uart16550, false, "Sent in ", "CTS off \u00b7 waiting 0:0", lost);
    addEdgeRows("pty", Driver::PseudoTerminal, true, "Sent in ", waiting, lost);
    // cdc-acm reports CTS always on, and the port sees only as far as the USB device.
    addEdgeRows("cdc-acm", Driver::CdcAcm, false, "Taken by the USB device in ", waiting, lost,
                {"delivered", "a single line", "five uploads in a row", "echoing device",
                 "unplugged midway", "unplugged at the end"});
}

// Catches the tail of the file garbled by a settings change or a close while it is still in the
// hardware; a success reported for characters the device never got (held off, unplugged while
// the count already read 0); a second upload refused by glibc's read-back of a pseudo-terminal's
// settings; a device cut off while it holds off at the end; a hold-off the bar does not show; a
// device that answers stalling the line; and a Cancel that keeps the window waiting.
void TestPosixSerialPort::edges()
{
    QFETCH(Driver, driver);
    QFETCH(EdgeRow, row);

    UploadRig rig(edgeLines(row.scenario), driver);
    runEdge(rig, rig.tty, row, 400);
    QCOMPARE(rig.tty.exclusiveSetAtClose, 0);
    QCOMPARE(rig.tty.opensWhileClosing, 0);
    QVERIFY(sentAtLineSettings(rig.tty));
}

void TestPosixSerialPort::ctsOffOnceAllIsTaken_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<bool>("sent");
    QTest::newRow("16550: its line status says all is out") << Driver::Uart16550 << true;
    QTest::newRow("pl2303: the chip may still hold some") << Driver::UsbSerialNoTxEmpty << false;
}

// Catches a device that lowers CTS once it has the whole file (it starts flashing) never getting
// "Sent" on a UART whose driver saw it empty (on adapters whose driver sees the chip, ftdi_sio
// and cp210x: real_drivers ctsDroppedAfterTheLastLine), a success claimed where the driver
// cannot see the chip, and a USB adapter's modem lines asked on the window's thread.
void TestPosixSerialPort::ctsOffOnceAllIsTaken()
{
    QFETCH(Driver, driver);
    QFETCH(bool, sent);
    UploadRig rig(edgeLines({}), driver);
    const auto wire = std::chrono::milliseconds(withCrLf(rig.lines).size() * 1000 / 11520);
    rig.tty.holdOff(wire + 100ms, 1h);
    rig.events.onPass = [&rig] {
        if (rig.sinceOpen() >= 5s)
            rig.upload.cancel();
    };
    rig.run();
    QCOMPARE(rig.tty.usbModemCallsWaitedFor, 0); // each can hold the window for 5 s
    QCOMPARE(rig.tty.received(), withCrLf(rig.lines));
    QCOMPARE(rig.form.bar.text.startsWith(QLatin1String("Sent in 0:00")), sent);
    QVERIFY(rig.sinceOpen() < (sent ? 1s : 6s));
}

void TestPosixSerialPort::closingNeverBlocks_data()
{
    QTest::addColumn<bool>("signalsEndTheWait");
    QTest::addColumn<bool>("drainGoesOn"); // a tcdrain() under way at Cancel does not end
    QTest::addColumn<int>("heldFor");      // ms the device holds off, from 0.1 s after the open
    QTest::newRow("the closing wait ends at a signal") << true << false << 10000;
    QTest::newRow("the closing wait goes on") << false << false << 10000;
    QTest::newRow("the closing wait goes on for a moment: the next open waits for it")
        << false << false << 2500;
    QTest::newRow("a drain at the end of the file goes on, keeping the file open")
        << true << true << 10000;
}

// Catches a close that leaves the kernel waiting on a held-off adapter (so that the next open
// blocks the window for up to 30 s), a lock file released while the descriptor is still open,
// and an Upload refused while the last close takes only a moment.
void TestPosixSerialPort::closingNeverBlocks()
{
    QFETCH(bool, signalsEndTheWait);
    QFETCH(bool, drainGoesOn);
    QFETCH(int, heldFor);
    const QList<QByteArray> lines = drainGoesOn ? edgeLines("a single line") : edgeLines({});
    UploadRig rig(lines, Driver::UsbSerial);
    rig.tty.closeIgnoresSignals = !signalsEndTheWait;
    rig.tty.drainIgnoresSignals = drainGoesOn;
    const auto heldFrom = drainGoesOn ? 0ms : 100ms;
    rig.tty.holdOff(heldFrom, heldFrom + std::chrono::milliseconds(heldFor));
    const bool keptLocked = !signalsEndTheWait || drainGoesOn;
    rig.events.onPass = [&rig] {
        if (rig.sinceOpen() >= 2s)
            rig.upload.cancel();
    };
    rig.run();
    rig.events.onPass = nullptr;
    const QString lock = rig.lockFolder.filePath(QStringLiteral("LCK..ttyS0"));
    QCOMPARE(QFile::exists(lock), keptLocked);
    QCOMPARE(rig.tty.closesInterrupted, signalsEndTheWait ? 1 : 0);

    const qsizetype before = rig.tty.received().size();
    rig.run(); // at once, the device still holding off
    QCOMPARE(rig.tty.opensWhileClosing, 0);
    if (keptLocked && heldFor > 2500) {
        QCOMPARE(rig.messages.shown,
                 QStringList{"COM1 (/dev/ttyS0) is still being closed after the last upload. "
                             "Its driver may be waiting for the device to take what was left: "
                             "wait a moment, then upload again."});
        rig.events.time += 10s;            // the device takes data again, and the close finishes
        QTRY_VERIFY(!QFile::exists(lock)); // at once, not at the next open
        rig.run();
    } else {
        QCOMPARE(rig.messages.shown, QStringList());
    }
    QCOMPARE(rig.tty.received().mid(before).right(withCrLf(lines).size()), withCrLf(lines));
    QVERIFY(!QFile::exists(lock));
}

void TestPosixSerialPort::openRefused_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QByteArray>("lock"); // a lock file's content; PID: a live process
    QTest::addColumn<QString>("message");
    // A row on /dev/ttyUSB0 unless the message names another device.
    const auto row = [](const char *name, const char *fault, const QByteArray &lock,
                        const QString &message, const char *device = "/dev/ttyUSB0") {
        QTest::newRow(name) << QString(fault) << QString(device) << lock << message;
    };
    const QString inUse = "COM1 (/dev/ttyUSB0) is in use by another program";
    const QString byPid = inUse + " (process PID).";
    row("no permission", "EACCES", {},
        "Cannot open COM1 (/dev/ttyUSB0): Permission denied. Add your user to the 'dialout' group "
        "and log in again.");
    row("phantom built-in port", "EIO", {},
        "Cannot open COM1 (/dev/ttyS3): Input/output error. There is no serial port hardware "
        "behind /dev/ttyS3; choose the port your device is connected to.",
        "/dev/ttyS3");
    row("ACM device being probed", "EBUSY", {},
        "COM1 (/dev/ttyACM0) is busy. A device that has just been plugged in is often probed by "
        "ModemManager for a few seconds: wait a moment, then upload again.",
        "/dev/ttyACM0");
    row("flock() taken between that look and the open", "flock race", {}, inUse + ".");
    row("lockdev's and Taylor UUCP's lock", "lock", "      PID\n", byPid);
    row("minicom's lock: pid, program and user on one line", "lock", "      PID minicom operator\n",
        byPid);
    row("QLockFile's lock, named after the link", "lock", "PID\nminicom\nbench\n",
        "COM1 (DIR/COM2 \u2192 DIR/ttyUSB0) is in use by another program (process PID).",
        "DIR/COM2");
    row("lockdev's lock named after the device number (1:3)", "lock", "      PID\n",
        "COM1 (/dev/null) is in use by another program (process PID).", "/dev/null");
    row("a binary pid", "lock", "BINARY", byPid);
    row("a lock still being written: empty", "lock", {}, inUse + ".");
    row("a lock without a number", "lock", "locked\n", inUse + ".");
    const QString unreadable = "COM1 (/dev/ttyUSB0) may be in use by another program: its lock "
                               "file DIR/LCK..ttyUSB0 cannot be read (Permission denied). Ask the "
                               "administrator to check it, then upload again.";
    row("an old lock this user may not read", "unreadable", "      PID\n", unreadable);
    row("a lock folder this user may not look into", "unsearchable", {}, unreadable);
    row("a holder /proc/locks does not name (in a container, or an OFD lock)", "unnamed", {},
        inUse + ", one that Linux does not name here (it may run in a sandbox or a container).");
    row("a live process of another user, which this one may not signal", "lock", "OTHER\n",
        inUse + " (process OTHER).");
    row("a pid of four characters, not a binary one", "lock", "  1\n", inUse + " (process 1).");
    row("CH340 on Linux 6.1, whose driver ignores RTS/CTS", "ch341", {},
        "COM1 (/dev/null) cannot be used for uploads: its adapter is a CH340 or CH341, whose "
        "driver "
        "(ch341) ignores RTS/CTS handshaking on this Linux kernel (6.1.0-57-amd64), so characters "
        "the device holds off would be lost. Use Linux 6.14 or later, or an adapter with another "
        "chip (FTDI, CP210x or PL2303). Nothing was sent.",
        "/dev/null");
    row("driver keeps 8 data bits", "8 bits", {},
        "COM1 (/dev/ttyUSB0) does not take the line settings 115200 baud, 7 data bits, no parity, "
        "2 stop bits, RTS/CTS: its driver kept 8 data bits. Nothing was sent.");
}

// Catches another program's port being taken over (its lock, in any writer's format, deleted or
// ignored) or touched (its settings changed, its queue flushed), messages that hide the reason or
// the fix, and a port left open or locked after. A flock() or exclusive mode held on a real
// port: real_drivers (heldByAnotherProgram).
void TestPosixSerialPort::openRefused()
{
    QFETCH(QString, fault);
    QFETCH(QString, device);
    QFETCH(QByteArray, lock);
    QFETCH(QString, message);

    UploadRig rig({});
    rig.tty.othersQueue = 100;
    const QString dir = rig.lockFolder.path();
    const qint32 parent = qint32(::getppid());
    rig.device = QString(device).replace(QLatin1String("DIR"), dir);
    writeFile(dir + QStringLiteral("/ttyUSB0"), {});
    QFile::link(dir + QStringLiteral("/ttyUSB0"), dir + QStringLiteral("/COM2"));
    rig.tty.openError =
        -QMap<QString, int>{{"EACCES", EACCES}, {"EIO", EIO}, {"EBUSY", EBUSY}}.value(fault);
    if (fault == "flock race")
        rig.tty.lockedElsewhere = true;
    else if (fault == "8 bits")
        rig.tty.keepsEightBits = true;
    else if (fault == "unnamed")
        rig.tty.lockHolderPid = Tty::kUnnamedHolder;
    else if (fault == "ch341")
        rig.tty.usbDriver = "ch341-uart";
    if (lock == "BINARY")
        lock = QByteArray(reinterpret_cast<const char *>(&parent), sizeof parent);
    lock.replace("PID", QByteArray::number(parent));
    // A process of another user, alive until the test ends: kill() says EPERM, not ESRCH.
    pid_t other = 0;
    const auto endOther = qScopeGuard([&other] {
        if (other > 0)
            ::kill(other, SIGKILL), ::waitpid(other, nullptr, 0);
    });
    if (lock.contains("OTHER")) {
        int changed[2];
        QCOMPARE(::pipe(changed), 0);
        other = ::fork();
        if (other == 0) {
            if (::setgid(65534) == 0 && ::setuid(65534) == 0 && ::write(changed[1], "u", 1) == 1)
                ::pause();
            ::_exit(1);
        }
        char user = 0;
        QCOMPARE(::read(changed[0], &user, 1), 1); // it is another user's from here on
        ::close(changed[0]);
        ::close(changed[1]);
        lock.replace("OTHER", QByteArray::number(other));
        message.replace(QLatin1String("OTHER"), QString::number(other));
    }
    const QString lockFile = dir + QLatin1Char('/') +
                             (rig.device == "/dev/null" ? PortLock::lockName(makedev(1, 3))
                                                        : PortLock::lockName(rig.device));
    if (fault == "lock" || fault == "unreadable")
        writeFile(lockFile, lock);
    if (fault == "unreadable") {
        QFile::setPermissions(lockFile, {});
        const timespec old[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(lockFile).constData(), old, 0), 0);
    }
    if (fault == "unsearchable")
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner);

    QString refused;
    {
        // Root would read and search it all; here it meets the permission bits as any user.
        const WithoutCapabilities asAnyUser{CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_KILL};
        refused = errorText([&] { rig.port.open(); });
    }
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(refused, QString(message)
                          .replace(QLatin1String("DIR"), dir)
                          .replace(QLatin1String("PID"), QString::number(parent)));
    QVERIFY(!rig.port.isOpen());
    QVERIFY(!rig.tty.isOpen());
    QCOMPARE(rig.tty.exclusiveSetAtClose, 0);
    const QStringList locks = QDir(dir).entryList({QStringLiteral("LCK.*")});
    const bool lockFileWritten = fault == "lock" || fault == "unreadable";
    QCOMPARE(locks, lockFileWritten ? QStringList{QFileInfo(lockFile).fileName()} : QStringList());
    if (fault == "unnamed" || lockFileWritten || fault == "unsearchable" || fault == "ch341")
        QCOMPARE(rig.tty.opens, 0); // its DTR and RTS stay as its program set them
    if (fault == "ch341") {         // from 6.14 on, the driver switches the chip's RTS/CTS on
        rig.tty.release = "6.14.0-1-amd64";
        rig.port.open();
        QVERIFY(rig.port.isOpen());
        rig.port.discardAndClose();
    }
    if (message.contains(QLatin1String("in use"))) {
        QCOMPARE(rig.tty.settingsChanged, 0);
        QCOMPARE(rig.tty.flushes, 0);
        QFile held(lockFile);
        QVERIFY(fault != "lock" || (held.open(QIODevice::ReadOnly) && held.readAll() == lock));
    }
}

// Catches a stale lock, in any format, that blocks the port for good; a lock of ours that is not
// there while the port is open or is left behind after it; lock names that collide; and a lock
// folder we cannot write to stopping the upload.
void TestPosixSerialPort::locksAreTakenAndReleased()
{
    QCOMPARE(PortLock::lockName(QStringLiteral("/dev/ttyUSB0")), QStringLiteral("LCK..ttyUSB0"));
    QCOMPARE(PortLock::lockName(QStringLiteral("/dev/pts/0")), QStringLiteral("LCK..pts_0"));
    QCOMPARE(PortLock::lockName(QStringLiteral("/tmp/x/0")), QStringLiteral("LCK..tmp_x_0"));

    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ::waitpid(ended, nullptr, 0);

    UploadRig rig({});
    const QString lock = rig.lockFolder.filePath(QStringLiteral("LCK..ttyS0"));
    const auto binary = [](qint32 pid) {
        return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
    };
    // 0x400031 is above any pid the kernel gives out, and its first byte is "1": read as text,
    // it would name init, which is always alive.
    for (const QByteArray &stale : {QByteArray::number(ended).rightJustified(10) + '\n',
                                    QByteArray::number(ended) + " minicom operator\n",
                                    binary(qint32(ended)), binary(0x400031), QByteArray()}) {
        writeFile(lock, stale);
        if (stale.isEmpty()) { // a lock never finished: stale once it is old
            const QByteArray name = QFile::encodeName(lock);
            const timespec old[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, name.constData(), old, 0), 0);
        }
        rig.port.open();
        QFile held(lock);
        QVERIFY(held.open(QIODevice::ReadOnly));
        QCOMPARE(held.readAll(), QByteArray::number(::getpid()).rightJustified(10) + '\n');
        rig.port.discardAndClose();
        QVERIFY(!QFile::exists(lock));
    }

    // Opened through a link, the port is locked under both names: a program that opens the link
    // looks for the link's.
    writeFile(rig.lockFolder.filePath(QStringLiteral("ttyUSB0")), {});
    QFile::link(rig.lockFolder.filePath(QStringLiteral("ttyUSB0")),
                rig.lockFolder.filePath(QStringLiteral("COM2")));
    rig.device = rig.lockFolder.filePath(QStringLiteral("COM2"));
    rig.port.open();
    QStringList both{PortLock::lockName(rig.lockFolder.filePath(QStringLiteral("ttyUSB0"))),
                     PortLock::lockName(rig.device)};
    both.sort();
    QCOMPARE(
        QDir(rig.lockFolder.path()).entryList({QStringLiteral("LCK.*")}, QDir::Files, QDir::Name),
        both);
    rig.port.discardAndClose();
    QCOMPARE(QDir(rig.lockFolder.path()).entryList({QStringLiteral("LCK.*")}), QStringList());

    PosixSerialPort noFolder(
        rig.tty, [](int) { return QStringLiteral("/dev/ttyS0"); },
        QStringLiteral("/nonexistent/lock"));
    noFolder.open();
    QVERIFY(noFolder.isOpen());

    // Two programs race for one port's lock, each holding it for a moment whenever it gets it:
    // never do both hold it at once (the one whose link() finds the other's lock stops there).
    const QString raced = rig.lockFolder.filePath(QStringLiteral("ttyRACE"));
    const QByteArray holding =
        QFile::encodeName(rig.lockFolder.filePath(QStringLiteral("holding")));
    const auto race = [&] {
        int overlaps = 0;
        for (int i = 0; i < 3000; ++i) {
            PortLock lock(rig.lockFolder.path());
            try {
                lock.acquire({raced}, QStringLiteral("COM9"));
            } catch (const OperatorError &) {
                continue;
            }
            const int marker = ::open(holding.constData(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            if (marker < 0) {
                ++overlaps;
                continue;
            }
            ::close(marker);
            ::unlink(holding.constData());
        }
        return overlaps;
    };
    const pid_t racer = ::fork();
    if (racer == 0)
        ::_exit(race() == 0 ? 0 : 1);
    const int overlaps = race();
    int status = 0;
    ::waitpid(racer, &status, 0);
    QCOMPARE(overlaps, 0);
    QCOMPARE(status, 0);
}

// On the kernel's own pseudo-terminals: catches an open that blocks the window or keeps the port
// (its descriptor and its lock files) once given up; a holder that /proc/locks shows without a
// pid taken for none; a device that is no serial port told as a lost connection. What real_drivers
// proves on the kernel's own UART and adapters stays there: cancelled characters that still arrive
// (the flush left out, or aimed at the input), a closing wait that a signal cannot end (30 s
// closing wait, the next open within a second).
void TestPosixSerialPort::onTheKernelsPseudoTerminals()
{
    PtyDevice device;
    const QString slave = QString::fromStdString(device.path());
    QTemporaryDir locks;
    SlowOpenTty tty;
    PosixSerialPort port(
        tty, [&](int) { return slave; }, locks.path());
    const QString lock = locks.filePath(PortLock::lockName(slave));
    const int ours = descriptorsOn(slave);

    // Given up while the driver has not answered: the window is never held, and once the open
    // returns, its descriptor and its lock files go.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!port.startOpen());
    QVERIFY(!port.opened());
    port.abandonOpen();
    QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(QFile::exists(lock));
    QVERIFY(errorText([&] { port.open(); }).contains(QLatin1String("is still being opened")));
    tty.released = true;
    QTRY_VERIFY(!QFile::exists(lock));
    QTRY_COMPARE(descriptorsOn(slave), ours);
    QVERIFY(!port.isOpen());

    // Waited for, it opens with the line set.
    tty.released = false;
    QVERIFY(!port.startOpen());
    tty.released = true;
    QTRY_VERIFY(port.opened());
    QVERIFY(port.isOpen());

    port.discardAndClose();
    QTRY_COMPARE(descriptorsOn(slave), ours);

    // Something that is no serial port is told as such, not as a connection lost.
    PosixSerialPort null(
        tty, [](int) { return QStringLiteral("/dev/null"); }, locks.path());
    QCOMPARE(errorText([&] { null.open(); }),
             QStringLiteral("Cannot open COM1 (/dev/null): Inappropriate ioctl for device. "
                            "/dev/null is not a serial port; choose the port your device is "
                            "connected to."));
    QVERIFY(!null.isOpen());

    // An open file description lock shows in /proc/locks with pid -1, and a holder in another
    // pid namespace with 0: each holds the port.
    const int other = ::open(QFile::encodeName(slave).constData(), O_RDWR | O_NOCTTY);
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    QCOMPARE(::fcntl(other, F_OFD_SETLK, &region), 0);
    QCOMPARE(tty.lockHolder(QFile::encodeName(slave)), Tty::kUnnamedHolder);
    QVERIFY(errorText([&] { port.open(); }).contains(QLatin1String("does not name")));
    ::close(other);
    QCOMPARE(tty.lockHolder(QFile::encodeName(slave)), 0);
    const dev_t fs = makedev(0, 5);
    const QByteArray holders = "1: FLOCK  ADVISORY  WRITE 0 00:05:87 0 EOF\n"
                               "2: -> FLOCK  ADVISORY  WRITE 4243 00:05:88 0 EOF\n"
                               "3: FLOCK  ADVISORY  WRITE 4242 00:05:89 0 EOF\n";
    QCOMPARE(KernelTty::holderIn(holders, fs, 87), Tty::kUnnamedHolder);
    QCOMPARE(KernelTty::holderIn(holders, fs, 88), 0); // only waits for the lock
    QCOMPARE(KernelTty::holderIn(holders, fs, 89), 4242);

    // The closing wait and a drain end only because the signal that interrupts them makes a
    // blocked call return: here, a read of an empty pipe.
    int pipe[2];
    QCOMPARE(::pipe(pipe), 0);
    std::atomic<int> readResult{1};
    std::atomic<pthread_t> reader{};
    std::thread blocked([&] {
        reader = ::pthread_self();
        char c;
        readResult = ::read(pipe[0], &c, 1) < 0 ? -errno : 0;
    });
    QTRY_VERIFY(reader.load() != pthread_t{});
    QTest::qWait(20); // inside the read by now
    ::pthread_kill(reader, SIGUSR2);
    QTRY_COMPARE_WITH_TIMEOUT(readResult.load(), -EINTR, 500);
    if (readResult != -EINTR)
        (void)!::write(pipe[1], "x", 1);
    blocked.join();
    ::close(pipe[0]);
    ::close(pipe[1]);
}

QTEST_GUILESS_MAIN(TestPosixSerialPort)
#include "tst_posixserialport.moc"
