#pragma once
// A download file open for reading, line by line, as bytes.

#include <optional>

#include <QByteArray>
#include <QtGlobal>

// The first byte of the file that a 7-bit line cannot carry (0x80 or above), and where it is:
// its line and column, counted from 1 as an editor shows them, and its offset in the file.
// `bytes` holds it and up to two bytes after it, so that a byte-order mark can be told.
struct WideByte {
    qint64 line = 0;
    qint64 column = 0;
    qint64 offset = 0;
    QByteArray bytes;
};

// How far checkBytes() has come: the bytes looked through, whether the whole file has been, and
// the first wide byte or the first line longer than kLongestLine once one is found (either ends
// the check). Once the whole file has been looked through, `characters` is what sending it puts
// on the line: every line with CR LF.
struct ByteCheck {
    qint64 checked = 0;
    qint64 characters = 0;
    bool done = false;
    std::optional<WideByte> wide;
    std::optional<qint64> longLine; // its number, counted from 1
};

class TextStream {
public:
    virtual ~TextStream() = default;

    // The most checkBytes() looks through at a time: a caller keeps its window responsive
    // between pieces.
    static constexpr qint64 kCheckPiece = 1024 * 1024;
    // The longest line a file may have: a line is read, held and handed over whole, and a
    // download file's lines are records of a few hundred characters. Longer, it is no download
    // file (a binary or a single line of gigabytes would fill the memory and hold the window).
    static constexpr qint64 kLongestLine = 1024 * 1024;

    virtual bool atEnd() = 0;
    // The next line without its line end; empty at the end of the file.
    virtual QByteArray readLine() = 0;
    // Before the first line is read: looks through up to `bytes` more of the file for a byte of
    // 0x80 or above and a line longer than kLongestLine, a piece at a time, so that a caller can
    // keep its window responsive. Lines are counted as readLine() splits them. Reading starts at
    // the beginning afterwards.
    virtual ByteCheck checkBytes(qint64 bytes) = 0;
    virtual void close() noexcept = 0;
};
