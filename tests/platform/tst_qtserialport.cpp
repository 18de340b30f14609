// The real serial port on pseudo-terminals the test owns: the line settings it asks for, the
// queued count while the device holds off, and the errors for a missing, busy or vanished port.

#include <dlfcn.h>
#include <sys/file.h>
#include <termios.h>

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>

#include "platform/operatorerror.h"
#include "platform/qtserialport.h"
#include "ptypair.h"
#include "ptyreader.h"
#include "testfiles.h"
#include "upload/upload.h"

namespace {
termios lastRequested{};
bool askedSevenBits = false;
} // namespace

// A pseudo-terminal keeps 8 data bits and no parity whatever it is asked, and Qt reads the
// terminal back between its settings; so the test records what the port asks on the way to the
// kernel.
extern "C" int tcsetattr(int fd, int action, const termios *requested) noexcept
{
    using Real = int (*)(int, int, const termios *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "tcsetattr"));
    if (requested) {
        lastRequested = *requested;
        askedSevenBits = askedSevenBits || (requested->c_cflag & CSIZE) == CS7;
    }
    return real(fd, action, requested);
}

namespace {

// A port whose every number maps to the given device.
std::unique_ptr<QtSerialPort> portOn(const QString &device)
{
    auto port = std::make_unique<QtSerialPort>([device](int) { return device; });
    port->setLineSettings(Upload::kLineSettings);
    port->setHandshaking(Handshaking::RtsCts);
    return port;
}

} // namespace

class TestQtSerialPort : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void opensWithTheLineSettings();
    void queuedCountHoldsUntilTheDeviceTakesIt();
    void closeDropsWhatIsHeldOffAtOnce();
    void openErrors();
};

// Catches a port opened at the wrong speed or format, or without the hardware handshake.
void TestQtSerialPort::opensWithTheLineSettings()
{
    PtyPair pty;
    auto port = portOn(pty.slavePath());
    askedSevenBits = false;
    port->open();
    QVERIFY(port->isOpen());
    const termios asked = lastRequested;
    QCOMPARE(::cfgetospeed(&asked), speed_t(B115200));
    QVERIFY(askedSevenBits);
    QVERIFY(asked.c_cflag & CSTOPB);
    QVERIFY(!(asked.c_cflag & PARENB));
    QVERIFY(asked.c_cflag & CRTSCTS);
    QVERIFY(!(asked.c_iflag & (IXON | IXOFF)));
    QVERIFY(!(asked.c_oflag & OPOST)); // no LF to CR LF translation of the file's bytes

    // What the terminal kept of it.
    termios kept{};
    QCOMPARE(::tcgetattr(pty.slaveFd(), &kept), 0);
    QCOMPARE(::cfgetospeed(&kept), speed_t(B115200));
    QVERIFY(kept.c_cflag & CSTOPB);
    QVERIFY(kept.c_cflag & CRTSCTS);
    port->discardAndClose();
    QVERIFY(!port->isOpen());
}

// Catches a count that reaches 0 while bytes still wait for the device, which would hand over
// the next line too early, and a 2 000-byte line cut short.
void TestQtSerialPort::queuedCountHoldsUntilTheDeviceTakesIt()
{
    PtyPair pty;
    auto port = portOn(pty.slavePath());
    port->open();
    pty.holdOff();
    const QByteArray line = QByteArray(2000, 'L') + "\r\n";
    port->output(line);
    QTest::qWait(50);
    QCOMPARE(port->queuedCount(), line.size());

    PtyReader device(pty);
    pty.release();
    QTRY_COMPARE(port->queuedCount(), 0);
    QCOMPARE(device.finish(), line);
}

// Catches a close that waits on a held-off device (the kernel's closing wait) and a port left
// locked after it.
void TestQtSerialPort::closeDropsWhatIsHeldOffAtOnce()
{
    PtyPair pty;
    auto port = portOn(pty.slavePath());
    port->open();
    pty.holdOff();
    port->output(QByteArray(5000, 'x'));
    QElapsedTimer timer;
    timer.start();
    port->discardAndClose();
    QVERIFY(timer.elapsed() < 500);
    QVERIFY(!port->isOpen());
    port->open();
    QCOMPARE(port->queuedCount(), 0);
}

// Catches messages that do not name the port, its device and the reason, and a port that another
// program holds being opened anyway.
void TestQtSerialPort::openErrors()
{
    const QString missing = QStringLiteral("/nonexistent/ttyUSB7");
    auto absent = portOn(missing);
    absent->setPortNumber(2);
    QCOMPARE(errorText([&] { absent->open(); }),
             QStringLiteral("Cannot open COM2 (/nonexistent/ttyUSB7): No such file or directory. "
                            "Check that the serial adapter is plugged in."));

    PtyPair pty;
    const QString inUse =
        QStringLiteral("COM1 (%1) is in use by another program.").arg(pty.slavePath());

    // A program that locks with flock(), as picocom does.
    QCOMPARE(::flock(pty.slaveFd(), LOCK_EX | LOCK_NB), 0);
    auto port = portOn(pty.slavePath());
    QCOMPARE(errorText([&] { port->open(); }), inUse);
    QVERIFY(!port->isOpen());
    QCOMPARE(::flock(pty.slaveFd(), LOCK_UN), 0);

    // A program that uses a UUCP lock file, as Qt's own serial port does.
    {
        QSerialPort other(pty.slavePath());
        QVERIFY(other.open(QIODevice::ReadWrite));
        QCOMPARE(errorText([&] { port->open(); }), inUse);
    }
    port->open();
    QVERIFY(port->isOpen());
    // And this program's own lock keeps the next one out while the upload runs.
    auto second = portOn(pty.slavePath());
    QCOMPARE(errorText([&] { second->open(); }), inUse);
}

QTEST_GUILESS_MAIN(TestQtSerialPort)
#include "tst_qtserialport.moc"
