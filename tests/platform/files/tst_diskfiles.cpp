// Reading download files from disk: line ends of every kind, bytes kept as they are, lines split
// across read chunks, and the errors an operator can meet.

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/files/diskfilesystem.h"
#include "platform/files/disktextstream.h"
#include "platform/operatorerror.h"
#include "sim/samplelines.h"
#include "testfiles.h"

class TestDiskFiles : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void sizeAndErrors();
    void changedWhileRead_data();
    void changedWhileRead();
    void wideBytes_data();
    void wideBytes();
    void longestLine();

private:
    QString write(const QByteArray &content)
    {
        return writeFile(m_dir.filePath(QStringLiteral("file%1.DNL").arg(m_count++)), content);
    }

    QTemporaryDir m_dir;
    int m_count = 0;
};

void TestDiskFiles::lines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<QByteArray>>("lines");

    using L = QList<QByteArray>;
    QTest::newRow("empty file") << QByteArray() << L{};
    // Lines go out with CR LF, whatever ended them here: tst_upload.
    QTest::newRow("one line end only") << QByteArray("\n") << L{""};
    QTest::newRow("empty lines") << QByteArray("\r\n\r\nx\n\n") << L{"", "", "x", ""};
    QTest::newRow("NUL bytes kept")
        << QByteArray("\xff\x80\xe9t\xe9\0z\n", 8) << L{QByteArray("\xff\x80\xe9t\xe9\0z", 7)};

    // A CR LF whose LF starts the next read chunk is one line end, not two.
    const qsizetype chunk = DiskTextStream::kChunk;
    QByteArray split(chunk - 1, 'p');
    QTest::newRow("CR LF across chunks") << split + "\r\nq" << L{QByteArray(chunk - 1, 'p'), "q"};
    QTest::newRow("CR at the very end") << split + "\r" << L{QByteArray(chunk - 1, 'p')};
    QTest::newRow("line of three chunks")
        << QByteArray(3 * chunk + 5, 'L') + "\nshort" << L{QByteArray(3 * chunk + 5, 'L'), "short"};
}

// Catches lost, merged or altered lines and any conversion of the bytes.
void TestDiskFiles::lines()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<QByteArray>, lines);
    DiskFileSystem files;
    const std::unique_ptr<TextStream> stream = files.openTextFile(write(content));
    QList<QByteArray> read;
    while (!stream->atEnd())
        read.append(stream->readLine());
    QCOMPARE(read, lines);
}

// Catches a wrong size and errors without the path or the reason, and a FIFO or device that
// would block the window.
void TestDiskFiles::sizeAndErrors()
{
    DiskFileSystem files;
    QCOMPARE(files.fileSize(write(QByteArray(66, 'x'))), 66);

    const QString missing = m_dir.filePath(QStringLiteral("missing.DNL"));
    QCOMPARE(errorText([&] { files.fileSize(missing); }),
             QStringLiteral("File not found: ") + missing);
    QCOMPARE(errorText([&] { files.openTextFile(missing); }),
             QStringLiteral("Cannot open %1: No such file or directory").arg(missing));
    QCOMPARE(errorText([&] { files.fileSize(QString()); }),
             QStringLiteral("No file chosen. Click Browse and choose the file to upload."));
    QCOMPARE(errorText([&] { files.fileSize(m_dir.path()); }),
             QStringLiteral("Cannot read %1: Is a directory").arg(m_dir.path()));

#ifndef Q_OS_WIN
    const QString fifo = m_dir.filePath(QStringLiteral("pipe.DNL"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(errorText([&] { files.fileSize(fifo); }),
             QStringLiteral("Cannot read %1: not a regular file").arg(fifo));
#endif

    // A sparse file over 2 GiB does not fit the signed 32-bit size.
    const QString huge = write({});
    QVERIFY(QFile::resize(huge, 3LL << 30));
    QCOMPARE(errorText([&] { files.fileSize(huge); }),
             QStringLiteral("%1 is too large to upload: 3221225472 bytes, at most 2147483647.")
                 .arg(huge));
}

void TestDiskFiles::changedWhileRead_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("reported");

    QTest::newRow("truncated") << "truncate" << true;
    QTest::newRow("rewritten in place") << "rewrite" << true;
    QTest::newRow("appended to") << "append" << true;
    QTest::newRow("replaced by renaming a new file over it") << "rename" << false;
}

// Catches a torn record, a line of a changed file, or a mix of two versions of the file sent
// as a success.
void TestDiskFiles::changedWhileRead()
{
    QFETCH(QString, change);
    QFETCH(bool, reported);

    const QByteArray content = SampleLines::withCrLf(SampleLines::make(3000, 68));
    const QString path = write(content);
    DiskFileSystem files;
    std::unique_ptr<TextStream> stream = files.openTextFile(path);
    QCOMPARE(stream->readLine(), content.left(68));

    const QByteArray other = content.toLower();
    if (change == "truncate")
        QVERIFY(QFile::resize(path, 1000));
    else if (change == "rewrite")
        writeFile(path, other);
    else if (change == "append") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("S9030000FC\r\n");
    } else {
        writeFile(path + ".new", other);
#ifdef Q_OS_WIN
        QSKIP("Windows keeps a file that is open for reading from being replaced");
#else
        QCOMPARE(::rename(QFile::encodeName(path + ".new").constData(),
                          QFile::encodeName(path).constData()),
                 0);
#endif
    }

    // Not one line of the changed file goes out, and only a few whole lines read before the
    // change do.
    QByteArray read = content.left(70);
    const QString error = errorText([&] {
        while (!stream->atEnd())
            read += stream->readLine() + "\r\n";
    });
    if (reported) {
        QCOMPARE(error,
                 QStringLiteral("The file %1 changed while it was being sent, so the device did "
                                "not get one whole version of it. Check the file, then "
                                "upload again.")
                     .arg(path));
        QVERIFY(content.startsWith(read));
        QVERIFY2(read.size() - 70 <= DiskTextStream::kChangeCheckEvery + 70,
                 qPrintable(QString::number(read.size())));
    } else {
        QCOMPARE(error, QStringLiteral("(no error)"));
        QCOMPARE(read, content); // the open file is still the old one
    }
}

void TestDiskFiles::wideBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<qint64>>("found"); // line, column, offset; none when empty

    using F = QList<qint64>;
    QTest::newRow("control characters and DEL pass") << QByteArray("\0\x01\t\x7f\r\nx", 7) << F{};
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbfS0\r\n") << F{1, 1, 0};
    QTest::newRow("after a lone CR, CR LF and LF")
        << QByteArray("a\rbc\r\nd\n\r\nefg\xe9h") << F{5, 4, 13};
    QTest::newRow("the last byte") << QByteArray("abcdefgh\x80") << F{1, 9, 8};
}

// Catches a wide byte missed or placed wrongly (lines ended as the reading ends them, across
// pieces of every size), and lines that do not start afresh after the check.
void TestDiskFiles::wideBytes()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<qint64>, found);
    const QString path = write(content);
    for (const qint64 piece : {1, 2, 3, 5, 1 << 20}) {
        DiskFileSystem files;
        std::unique_ptr<TextStream> stream = files.openTextFile(path);
        ByteCheck check;
        for (int calls = 0; !check.done && calls <= content.size() + 1; ++calls)
            check = stream->checkBytes(piece);
        QVERIFY(check.done);
        if (found.isEmpty()) {
            QVERIFY(!check.wide);
            QCOMPARE(check.checked, content.size());
        } else {
            QVERIFY(check.wide);
            QCOMPARE((QList<qint64>{check.wide->line, check.wide->column, check.wide->offset}),
                     found);
            QCOMPARE(check.wide->bytes, content.mid(found[2], 3));
        }
        QVERIFY(!stream->atEnd());
        const auto end = std::find_if(content.begin(), content.end(),
                                      [](char c) { return c == '\r' || c == '\n'; });
        QCOMPARE(stream->readLine(), content.left(end - content.begin()));
    }
}

// Catches a line longer than a file may have passed on to be read and held whole, one of just
// that length refused, and the wrong line named, wherever the pieces of the check split it.
void TestDiskFiles::longestLine()
{
    const qint64 most = TextStream::kLongestLine;
    const QByteArray atMost = "a\r\n" + QByteArray(most, 'L') + "\r\nb\n";
    const QByteArray over = "a\r\nb\r\r\n" + QByteArray(most - 9, 'L') + "MMMMMMMMMM\n";
    for (const qint64 piece : {qint64(5), qint64(4096), TextStream::kCheckPiece}) {
        for (const auto &[content, line] : {std::pair{atMost, 0}, std::pair{over, 4}}) {
            DiskFileSystem files;
            const std::unique_ptr<TextStream> stream = files.openTextFile(write(content));
            ByteCheck check;
            while (!check.done)
                check = stream->checkBytes(piece);
            QCOMPARE(check.longLine.value_or(0), line);
        }
    }
}

QTEST_GUILESS_MAIN(TestDiskFiles)
#include "tst_diskfiles.moc"
