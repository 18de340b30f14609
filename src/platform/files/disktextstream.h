#pragma once
// A file read line by line as raw bytes, without any encoding conversion. A line ends at LF,
// CR LF or a lone CR; a last line without an end counts. Memory stays bounded by the longest
// line plus one read chunk.
//
// The file must not change while it is read: one that is truncated or rewritten in place would
// send the device a torn record or a mix of two versions. Its size and modification time are
// taken when it is opened and compared at every read and once about every kChangeCheckEvery
// bytes of lines returned (each look is a system call, which after a paced wait costs more than
// the rest of a line's work), and the bytes read must add up to that size; otherwise reading
// fails. Lines returned between two looks come from one read chunk: whole lines of the version
// that was read. A file replaced by renaming a new one over it is no change: the stream still
// reads the old one. checkBytes() reads the same open file, so what it has checked is what is
// sent.

#include <QFile>

#include "platform/files/textstream.h"

class DiskTextStream final : public TextStream {
public:
    explicit DiskTextStream(const QString &path);

    bool atEnd() override;
    QByteArray readLine() override;
    ByteCheck checkBytes(qint64 bytes) override;
    void close() noexcept override;

    static constexpr qsizetype kChunk = 64 * 1024;
    // About this many bytes of lines (under a tenth of a second on the line, plus the line that
    // passes it) are returned between two looks at the file.
    static constexpr qint64 kChangeCheckEvery = 1024;

private:
    bool fill();
    void checkUnchanged(bool atEnd, qint64 read, bool checking = false);

    QString m_path;
    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_size = 0;
    qint64 m_modified = 0; // nanoseconds
    qint64 m_read = 0;
    qint64 m_sinceCheck = 0; // bytes of lines returned since the file was last looked at

    // Where checkBytes() has come to: the line it is in, the bytes of that line so far, and
    // whether the byte before was a CR (whose LF ends no second line).
    ByteCheck m_check;
    qint64 m_checkLine = 1;
    qint64 m_checkColumn = 0;
    bool m_afterCr = false;
};
