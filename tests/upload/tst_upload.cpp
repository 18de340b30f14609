// The upload procedure against fakes: what goes to the port and when, the progress count, Cancel,
// and every failure ending in its message with the port and the file released.

#include <QTest>

#include "fakeeventloop.h"
#include "fakefilesystem.h"
#include "fakemessagebox.h"
#include "fakeserialport.h"
#include "fakeuploadform.h"
#include "upload/upload.h"

using namespace std::chrono_literals;

namespace {

// One upload's worth of fakes around the real procedure.
struct Rig {
    explicit Rig(QList<QByteArray> lines) : files(std::move(lines)) {}

    // The device takes everything queued on every drainEvery-th pass.
    void drainEvery(int passes)
    {
        events.onPass = [this, passes] {
            if (events.passes % passes == 0)
                port.queued = 0;
        };
    }

    FakeUploadForm form;
    FakeSerialPort port;
    FakeFileSystem files;
    FakeMessageBox messages;
    FakeEventLoop events;
    Upload upload{form, port, files, messages, events};
};

QByteArray withCrLf(const QList<QByteArray> &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + "\r\n";
    return all;
}

const QList<ControlSet> kUploadSets{ControlSet::Uploading, ControlSet::AfterUpload};

} // namespace

class TestUpload : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sendsLinesPacedByTheQueue_data();
    void sendsLinesPacedByTheQueue();
    void cancelWhileHeldOffThenUploadAgain();
    void lastLineHeldOffIsReportedNotSent();
    void failures_data();
    void failures();
};

void TestUpload::sendsLinesPacedByTheQueue_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");

    QTest::newRow("one line is sent but never counted")
        << QList<QByteArray>{"S00600004844521B"} << 18.0f << 0.0f;
    QTest::newRow("10, 20, 30 characters: 66 bytes end at 34")
        << QList<QByteArray>{QByteArray(10, 'a'), QByteArray(20, 'b'), QByteArray(30, 'c')} << 66.0f
        << 34.0f;
    QTest::newRow("empty lines go out as CR LF and add nothing")
        << QList<QByteArray>{"", "ab", "", "", "cd", ""} << 16.0f << 8.0f;
    QTest::newRow("empty file sends nothing") << QList<QByteArray>{} << 0.0f << 0.0f;
    QTest::newRow("line longer than the 512-byte queue goes whole")
        << QList<QByteArray>{QByteArray(2000, 'x'), "end"} << 2007.0f << 2002.0f;
}

// Catches a line handed over while the queue still holds the previous one, a changed or lost
// line, wrong port settings and a wrong progress count.
void TestUpload::sendsLinesPacedByTheQueue()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(float, max);
    QFETCH(float, value);

    Rig rig(lines);
    rig.form.portTag = 3;
    rig.drainEvery(3);
    rig.upload.run();

    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.port.sentBytes(), withCrLf(lines));
    QCOMPARE(rig.port.sent.size(), lines.size());
    QCOMPARE(rig.port.outputsWhileQueued, 0);
    QCOMPARE(rig.port.portNumber, 3);
    QCOMPARE(rig.port.settings, (LineSettings{115200, Parity::None, 7, 2}));
    QCOMPARE(rig.port.handshaking, Handshaking::RtsCts);
    QCOMPARE(rig.form.bar.min, 0.0f);
    QCOMPARE(rig.form.bar.max, max);
    QCOMPARE(rig.form.bar.val, value);
    QVERIFY(!rig.port.opened);
    QCOMPARE(rig.files.openStreams, 0);
    QCOMPARE(rig.form.applied, kUploadSets);
    QVERIFY(!rig.upload.isRunning());
}

// Catches a Cancel that is not seen while the device holds off, a close that waits for the
// device, a spinning loop, and a cancel flag that outlives its upload.
void TestUpload::cancelWhileHeldOffThenUploadAgain()
{
    Rig rig({"first line", "second line", "third line"});
    // The device takes the first line, then holds off for good; the operator cancels after 1 s.
    rig.events.onPass = [&rig] {
        if (rig.port.sent.size() == 1 && rig.events.passes == 2)
            rig.port.queued = 0;
        if (rig.events.elapsed() >= 1000ms)
            rig.upload.cancel();
    };
    rig.upload.run();

    QCOMPARE(rig.port.sent.size(), 2);
    QCOMPARE(rig.form.bar.val, rig.form.bar.min);
    QVERIFY(!rig.port.opened);
    QCOMPARE(rig.port.discarded, qint64(sizeof("second line\r\n") - 1));
    QCOMPARE(rig.files.openStreams, 0);
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.form.applied, kUploadSets);
    // Waiting passes sleep instead of polling flat out, and Cancel gets no extra grace.
    QVERIFY2(rig.events.passes < 1100, qPrintable(QString::number(rig.events.passes)));
    QVERIFY(rig.events.elapsed() < 1100ms);

    rig.form.applied.clear();
    rig.port.sent.clear();
    rig.form.bar.val = 55.0f;
    rig.drainEvery(1);
    rig.upload.run();
    QCOMPARE(rig.port.sent.size(), 3);
    QCOMPARE(rig.form.bar.val, 25.0f); // 10 + 2 + 11 + 2
    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.form.applied, kUploadSets);
}

// Catches characters dropped at the close being reported as a success.
void TestUpload::lastLineHeldOffIsReportedNotSent()
{
    Rig rig({"one", "two"});
    rig.events.onPass = [&rig] {
        if (rig.port.sent.size() < 2)
            rig.port.queued = 0;
    };
    rig.upload.run();

    QCOMPARE(rig.port.sent.size(), 2);
    QCOMPARE(rig.port.discarded, 5);
    QVERIFY(!rig.port.opened);
    QCOMPARE(rig.files.openStreams, 0);
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().contains(
                 QLatin1String("the last 5 characters were not sent, because the device on "
                               "COM1 (fake) did not take them within 2.0 s")),
             qPrintable(rig.messages.shown.first()));
    QVERIFY(rig.events.elapsed() >= 2000ms);
    QCOMPARE(rig.form.bar.val, 5.0f);
    QCOMPARE(rig.form.applied, kUploadSets);
}

void TestUpload::failures_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("portTouched");

    QTest::newRow("no file at the path") << "missing file"
                                         << "File not found: /data/app.DNL" << false;
    QTest::newRow("port cannot be opened")
        << "open"
        << "Cannot open COM1 (/dev/ttyS0): Permission denied" << true;
    QTest::newRow("no entry selected")
        << "no port"
        << "No COM port selected. Choose COM1, COM2, COM3 or COM4 from the list." << false;
    QTest::newRow("reading a line fails after the port opened")
        << "read"
        << "Cannot read the file: Input/output error" << true;
    QTest::newRow("device gone while waiting")
        << "queue"
        << "Lost the connection to COM1 (fake): Input/output error" << true;
    QTest::newRow("device gone while writing")
        << "write"
        << "Lost the connection to COM1 (fake): Broken pipe" << true;
}

// Catches an error that escapes, a port or file left open after it (so the next upload fails
// and other programs are locked out), and a window left in the uploading state.
void TestUpload::failures()
{
    QFETCH(QString, stage);
    QFETCH(QString, message);
    QFETCH(bool, portTouched);

    Rig rig({"line 1", "line 2", "line 3"});
    rig.drainEvery(1);
    rig.form.bar.val = 42.0f;
    if (stage == "missing file")
        rig.files.exists = false;
    else if (stage == "open")
        rig.port.openError = message;
    else if (stage == "no port")
        rig.form.portTag = std::nullopt;
    else if (stage == "read")
        rig.files.failReadAt = 1;
    else if (stage == "queue")
        rig.port.queuedError = message, rig.port.failQueuedAfter = 2;
    else if (stage == "write")
        rig.port.outputError = message, rig.port.failOutputAt = 2;

    bool releasedBeforeReport = false;
    rig.messages.onShow = [&rig, &releasedBeforeReport] {
        releasedBeforeReport = !rig.port.opened && rig.files.openStreams == 0;
    };
    rig.upload.run();

    QCOMPARE(rig.messages.shown, QStringList{message});
    QVERIFY(releasedBeforeReport);
    QCOMPARE(rig.form.applied, kUploadSets);
    QCOMPARE(rig.port.portNumber != 0, portTouched);
    QVERIFY(!rig.upload.isRunning());
    if (stage == "missing file")
        QCOMPARE(rig.form.bar.val, 42.0f); // the error came before the bar was reset

    // Nothing is left behind that would make the next upload fail.
    rig.files.exists = true;
    rig.files.failReadAt = -1;
    rig.port.openError.reset();
    rig.port.queuedError.reset();
    rig.port.outputError.reset();
    rig.form.portTag = 2;
    rig.port.sent.clear();
    rig.messages.onShow = nullptr;
    rig.upload.run();
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.port.sentBytes(), QByteArray("line 1\r\nline 2\r\nline 3\r\n"));
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
