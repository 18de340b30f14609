// The upload procedure over the real port and a simulated UART on a fake clock: what reaches
// the device and when, the progress count, Cancel, and every failure ending in its message with
// the port and the file released.

#include <QTest>

#include "sim/instantport.h"
#include "sim/samplelines.h"
#include "uploadrig.h"

using namespace std::chrono_literals;

const QList<ControlSet> kUploadSets{ControlSet::Uploading, ControlSet::AfterUpload};

class TestUpload : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sendsLinesPacedByTheQueue_data();
    void sendsLinesPacedByTheQueue();
    void failures_data();
    void failures();
    void lostAtTheEnd_data();
    void lostAtTheEnd();
    void countsExactlyPast16MiB();
    void barTexts();
    void cancelWhileAHugeFileIsChecked();
    void waitingTimeRuns_data();
    void waitingTimeRuns();
};

void TestUpload::sendsLinesPacedByTheQueue_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<float>("max");

    QTest::newRow("one line") << QList<QByteArray>{"S00600004844521B"} << 18.0f;
    QTest::newRow("10, 20, 30 characters: 66 bytes")
        << QList<QByteArray>{QByteArray(10, 'a'), QByteArray(20, 'b'), QByteArray(30, 'c')}
        << 66.0f;
    QTest::newRow("empty lines go out as CR LF")
        << QList<QByteArray>{"", "ab", "", "", "cd", ""} << 16.0f;
    QTest::newRow("line longer than the 4 KiB kernel queue goes whole")
        << QList<QByteArray>{QByteArray(9000, 'x'), "end"} << 9007.0f;
}

// Catches a line handed over while the queue still holds the previous one, a changed or lost
// line, and a bar short of full once the device has every character. The line settings, and a
// port closed with characters in flight: tst_posixserialport edges.
void TestUpload::sendsLinesPacedByTheQueue()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(float, max);

    UploadRig rig(lines);
    rig.form.portTag = 3;
    rig.run();

    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(rig.tty.received(), withCrLf(lines));
    qsizetype longest = 0;
    for (const QByteArray &line : lines)
        longest = std::max(longest, line.size() + 2);
    QVERIFY2(rig.tty.mostQueued <= std::min<qsizetype>(longest, 4096),
             qPrintable(QString::number(rig.tty.mostQueued)));
    QCOMPARE(rig.askedFor, 3);
    QCOMPARE(rig.form.bar.min, 0.0f);
    QCOMPARE(rig.form.bar.max, max);
    QCOMPARE(rig.form.bar.val, max);
    QVERIFY(!rig.fileOpen());
    QCOMPARE(rig.form.applied, kUploadSets);
    QVERIFY(!rig.upload.isRunning());
    QVERIFY(rig.form.bar.text.startsWith(QLatin1String("Sent in 0:0")));
}

void TestUpload::failures_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("portTouched");
    QTest::addColumn<QByteArray>("deviceGets");
    QTest::addColumn<QByteArray>("content"); // what a refused or checked file holds instead

    QTest::newRow("no file at the path")
        << "missing file"
        << "File not found: FILE.missing" << false << QByteArray() << QByteArray();
    QTest::newRow("no entry selected")
        << "no port"
        << "No COM port selected. Choose one from the list, or type its name, COM1 to COM256."
        << false << QByteArray() << QByteArray();
    QTest::newRow("the file is cut mid-line after the port opened")
        << "changed"
        << "The file FILE changed while it was being sent, so the device did not get one whole "
           "version of it. Check the file, then upload again. The device got the first 4 lines "
           "whole."
        << true << "line 1\r\nline 2\r\n" + QByteArray(500, '3') + "\r\nline 4\r\n"
        << QByteArray();
    QTest::newRow("a UTF-8 byte-order mark")
        << "refused"
        << "The file FILE starts with a UTF-8 byte-order mark (the bytes 0xEF 0xBB 0xBF at line 1, "
           "column 1), which a serial line with 7 data bits cannot carry. Save the file as plain "
           "text (ASCII, without a byte-order mark), then upload again. Nothing was sent."
        << false << QByteArray() << QByteArray("\xef\xbb\xbfS0030000FC\r\n");
    QTest::newRow("an accented letter on line 3, after a lone CR and CR LF")
        << "refused"
        << "The file FILE holds a character that a serial line with 7 data bits cannot carry: the "
           "byte 0xE9 at line 3, column 6. Only plain ASCII text can be sent: remove the "
           "character, or save the file as plain ASCII text, then upload again. Nothing was sent."
        << false << QByteArray() << QByteArray("line 1\rline 2\r\n; caf\xe9\r\n");
    QTest::newRow("a line longer than any download file's")
        << "refused"
        << QStringLiteral("The file FILE has a line longer than %1 characters (line 2), which no "
                          "download file has: check that it is the file to upload. Nothing was "
                          "sent.")
               .arg(QLocale().toString(TextStream::kLongestLine))
        << false << QByteArray() << "line 1\n" + QByteArray(TextStream::kLongestLine + 1, 'x');
    QTest::newRow("an empty file")
        << "refused"
        << "The file FILE is empty: there is nothing to send. Check that it is the file to upload."
        << false << QByteArray() << QByteArray();
    QTest::newRow("the file grows while it is checked")
        << "changed while checked"
        << "The file FILE changed while it was being checked before sending. Check the file, "
           "then upload again. Nothing was sent."
        << false << QByteArray() << QByteArray("x\n").repeated(1 << 20);
}

// Catches an error that escapes, a port or file left open after it (so the next upload fails
// and other programs are locked out), and a window left in the uploading state.
void TestUpload::failures()
{
    QFETCH(QString, stage);
    QFETCH(QString, message);
    QFETCH(bool, portTouched);
    QFETCH(QByteArray, deviceGets);
    QFETCH(QByteArray, content);

    UploadRig rig({"line 1", "line 2", QByteArray(500, '3'), "line 4"});
    rig.form.bar.val = 42.0f;
    const QString file = rig.form.filePath;
    message.replace(QLatin1String("FILE"), file);
    if (stage == "missing file")
        rig.form.filePath += QLatin1String(".missing");
    else if (stage == "no port")
        rig.form.portTag = std::nullopt;
    else if (stage == "changed") // once the third line has been handed over
        rig.events.onPass = [&] {
            if (rig.form.bar.val >= 16.0f)
                writeFile(file, "line 1\r\nline 2\r\n333");
        };
    else if (stage == "refused")
        writeFile(file, content);
    else if (stage == "changed while checked") { // it grows once a first piece is looked at
        writeFile(file, content);
        rig.events.onPass = [&] { writeFile(file, content + "x\n"); };
    }

    bool releasedBeforeReport = false;
    rig.messages.onShow = [&rig, &releasedBeforeReport] {
        releasedBeforeReport = !rig.tty.isOpen() && !rig.fileOpen();
    };
    rig.run();

    QCOMPARE(rig.messages.shown, QStringList{message});
    QCOMPARE(rig.form.bar.text, QStringLiteral("Stopped"));
    QVERIFY(releasedBeforeReport);
    QCOMPARE(rig.form.applied, kUploadSets);
    QCOMPARE(rig.askedFor != 0, portTouched);
    QVERIFY(!rig.upload.isRunning());
    if (stage == "missing file")
        QCOMPARE(rig.form.bar.val, 42.0f); // the error came before the bar was reset
    QCOMPARE(rig.tty.received(), deviceGets);
}

void TestUpload::lostAtTheEnd_data()
{
    QTest::addColumn<double>("at"); // the share of the file's time on the wire
    QTest::addColumn<bool>("noted");
    QTest::newRow("lines still to hand over") << 0.25 << false;
    QTest::newRow("the last line still queued") << 0.99 << false;
    QTest::newRow("the last characters in the UART's FIFO") << 0.9985 << true;
}

// Catches a device that ends the connection once it has the whole file (it restarts) told as a
// plain loss, and a loss midway told as if the whole file had gone.
void TestUpload::lostAtTheEnd()
{
    QFETCH(double, at);
    QFETCH(bool, noted);
    UploadRig rig(SampleLines::make(64, 70));
    const std::chrono::duration<double> wire(double(withCrLf(rig.lines).size()) / 11520);
    rig.tty.unplugAt(std::chrono::duration_cast<SimulatedTty::Clock::duration>(wire * at));
    rig.run();
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY(rig.messages.shown.first().startsWith(QLatin1String("Lost the connection")));
    QCOMPARE(rig.messages.shown.first().contains(QLatin1String("whole file had left")), noted);
}

// Catches a running count kept in the bar's float, which past 2^24 (16 MiB) can no longer add
// an odd number of characters exactly.
void TestUpload::countsExactlyPast16MiB()
{
    RigBase rig(QList<QByteArray>(5000, QByteArray(4093, 'S'))); // 20 475 000 characters
    InstantPort port;
    QList<float> barAtLine;
    port.onOutput = [&] { barAtLine.append(rig.form.bar.val); };
    Upload upload(rig.form, port, rig.files, rig.messages, rig.events);
    upload.run();

    QCOMPARE(rig.messages.shown, QStringList());
    QCOMPARE(barAtLine.size(), 5000);
    // Before each line, the lines before it have left the queue.
    QCOMPARE(qint64(barAtLine.last()), qint64(float(4999 * 4095)));
    const QLocale locale;
    QVERIFY(
        rig.form.bar.details.contains(QStringLiteral("%1 lines, %2 of %2 characters")
                                          .arg(locale.toString(5000), locale.toString(20475000))));
}

// Catches a wrong share or time left, a time left guessed before the rate is known, texts made
// anew for every line or faster than a person reads them, and durations beyond an hour shown
// wrongly.
void TestUpload::barTexts()
{
    using namespace std::chrono;
    const ProgressText::Clock::time_point t0{};
    ProgressText text;
    text.start(t0, 1000);
    // The share counts the lines that have left the port: those before the one handed over.
    QCOMPARE(text.handedOver(t0 + 100ms, 410)->text, QStringLiteral("0 %"));
    QCOMPARE(text.handedOver(t0 + 700ms, 2)->text, QStringLiteral("41 %"));
    QVERIFY(!text.handedOver(t0 + 800ms, 38));  // still 41 %: nothing new to show
    QVERIFY(!text.handedOver(t0 + 900ms, 100)); // 45 %, but too soon after the last text
    // 275 a second with 450 to go is 1.64 s: never shown as less than is left.
    const auto half = text.handedOver(t0 + 2s, 10);
    QCOMPARE(half->text, QStringLiteral("55 % \u00b7 0:02 left"));
    QVERIFY(half->details.startsWith(QLatin1String("Handed over 5 lines, 560 of 1")));
    QCOMPARE(text.sent(t0 + 18500ms).text, QStringLiteral("Sent in 0:18"));
    QCOMPARE(text.sent(t0 + 18500ms, DeliveryReach::UsbDevice).text,
             QStringLiteral("Taken by the USB device in 0:18"));
    QCOMPARE(ProgressText::duration(3725s), QStringLiteral("1:02:05"));
    text.start(t0, 1);
    QCOMPARE(text.handedOver(t0, 1)->details,
             QStringLiteral("Handed over 1 line, 1 of 1 character, in 0:00"));
}

// Catches a check of the file that keeps the window's events waiting, ignores Cancel, or
// touches the port before it has finished.
void TestUpload::cancelWhileAHugeFileIsChecked()
{
    UploadRig rig({});
    QFile file(rig.form.filePath); // sparse: lines of 512 KiB of NULs
    QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(std::numeric_limits<qint32>::max()));
    for (qint64 at = 1 << 19; at < file.size(); at += 1 << 19)
        QVERIFY(file.seek(at) && file.putChar('\n'));
    file.close();
    QStringList shown;
    rig.events.onPass = [&] {
        rig.events.time += 10ms; // each piece of the check takes its time
        shown.append(rig.form.bar.text);
        if (rig.events.passes == 40)
            rig.upload.cancel();
    };
    rig.run();
    QCOMPARE(rig.events.passes, 40);
    QVERIFY(shown.contains(QStringLiteral("Checking the file \u00b7 1 %")));
    QCOMPARE(rig.form.bar.text, QStringLiteral("Cancelled"));
    QCOMPARE(rig.askedFor, 0);
    QCOMPARE(rig.messages.shown, QStringList());
    QVERIFY(!rig.fileOpen());
    QCOMPARE(rig.form.applied, kUploadSets);
}

void TestUpload::waitingTimeRuns_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<SimulatedTty::Driver>("driver");
    QTest::addColumn<QString>("waiting");
    QTest::newRow("mid-file, CTS seen")
        << SampleLines::make(64, 70) << SimulatedTty::Driver::Uart16550
        << "CTS off \u00b7 waiting 0:0%1";
    QTest::newRow("at the end, no CTS")
        << QList<QByteArray>{"S0030000FC"} << SimulatedTty::Driver::PseudoTerminal
        << "Waiting for the device \u00b7 0:0%1";
}

// Catches a waiting time on the bar that freezes or skips while the device holds off.
void TestUpload::waitingTimeRuns()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(SimulatedTty::Driver, driver);
    QFETCH(QString, waiting);
    UploadRig rig(lines, driver);
    rig.tty.holdOff(0s, 8s);
    QStringList shown;
    rig.events.onPass = [&] {
        if (shown.isEmpty() || shown.last() != rig.form.bar.text)
            shown.append(rig.form.bar.text);
    };
    rig.run();
    QStringList expected;
    for (int second = 1; second <= 7; ++second)
        expected.append(waiting.arg(second));
    QVERIFY2(shown.join('|').contains(expected.join('|')), qPrintable(shown.join('|')));
    QVERIFY2(rig.form.bar.text.startsWith(QLatin1String("Sent in 0:08")),
             qPrintable(shown.join("|")));
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
