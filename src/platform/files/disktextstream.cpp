#include "platform/files/disktextstream.h"

#include <algorithm>

#include "platform/files/fileinfo.h"
#include "platform/operatorerror.h"

namespace {

// A piece of the file as the lines go out: readLine() ends a line at LF, CR LF or a lone CR,
// so a line end is a CR or an LF, less each LF right after a CR; each line goes out with CR LF
// in place of its own end. One pass without branches, which keeps up with the disk at the
// build's own optimisation; `any` has every bit that any byte has.
// `longest` is the longest run of characters between line ends, the first continuing the line
// the piece starts in, `column` characters long so far.
struct Counted {
    qsizetype ends = 0;
    qsizetype pairs = 0;
    uint any = 0;
    qint64 longest = 0;
};

Counted count(const uchar *bytes, qsizetype size, bool afterCr, qint64 column)
{
    Counted counted;
    uint previousCr = afterCr ? 1 : 0;
    qint64 run = column;
    for (qsizetype i = 0; i < size; ++i) {
        const uint byte = bytes[i];
        const uint cr = byte == '\r';
        const uint lf = byte == '\n';
        counted.any |= byte;
        counted.ends += cr + lf;
        counted.pairs += previousCr & lf;
        previousCr = cr;
        run = (cr | lf) ? 0 : run + 1;
        counted.longest = std::max(counted.longest, run);
    }
    return counted;
}

} // namespace

DiskTextStream::DiskTextStream(const QString &path) : m_path(path)
{
    const int fd = openForReading(path);
    if (fd < 0)
        throw OperatorError(QStringLiteral("Cannot open %1: %2").arg(path, systemReason(-fd)));
    m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const FileInfo info = examineOpenFile(fd);
    if (info.error)
        throw OperatorError(
            QStringLiteral("Cannot read %1: %2").arg(path, systemReason(info.error)));
    m_size = info.size;
    m_modified = info.modified;
}

void DiskTextStream::checkUnchanged(bool atEnd, qint64 read, bool checking)
{
    const FileInfo info = examineOpenFile(m_file.handle());
    const bool same = info.error == 0 && info.size == m_size && info.modified == m_modified &&
                      (atEnd ? read == m_size : read <= m_size);
    if (same)
        return;
    if (checking)
        throw OperatorError(QStringLiteral("The file %1 changed while it was being checked "
                                           "before sending. Check the file, then upload again.")
                                .arg(m_path));
    throw OperatorError(QStringLiteral("The file %1 changed while it was being sent, so the "
                                       "device did not get one whole version of it. Check the "
                                       "file, then upload again.")
                            .arg(m_path));
}

bool DiskTextStream::fill()
{
    if (!m_file.isOpen())
        return false;
    m_buffer.resize(kChunk);
    const qint64 got = m_file.read(m_buffer.data(), kChunk);
    if (got < 0)
        throw OperatorError(QStringLiteral("Cannot read %1: %2").arg(m_path, m_file.errorString()));
    m_buffer.resize(got);
    m_pos = 0;
    m_read += got;
    checkUnchanged(got == 0, m_read);
    m_sinceCheck = 0;
    return got > 0;
}

bool DiskTextStream::atEnd()
{
    return m_pos >= m_buffer.size() && !fill();
}

QByteArray DiskTextStream::readLine()
{
    QByteArray line;
    for (;;) {
        if (atEnd())
            return line;
        const char *const begin = m_buffer.constData() + m_pos;
        const char *const end = m_buffer.constData() + m_buffer.size();
        const char *const stop =
            std::find_if(begin, end, [](char c) { return c == '\n' || c == '\r'; });
        line.append(begin, stop - begin);
        m_pos += stop - begin;
        if (stop == end)
            continue;
        ++m_pos;
        // A CR may be the first half of CR LF, whose LF can sit in the next chunk.
        if (*stop == '\r' && !atEnd() && m_buffer.at(m_pos) == '\n')
            ++m_pos;
        // Lines from a chunk read before the file changed are whole lines of the version that
        // was read; the change stops the stream within kChangeCheckEvery bytes of them.
        m_sinceCheck += line.size() + 1;
        if (m_sinceCheck >= kChangeCheckEvery) {
            checkUnchanged(false, m_read);
            m_sinceCheck = 0;
        }
        return line;
    }
}

ByteCheck DiskTextStream::checkBytes(qint64 bytes)
{
    if (m_check.done || !m_file.isOpen())
        return m_check;
    m_buffer.resize(qsizetype(std::clamp<qint64>(bytes, 1, kCheckPiece)));
    const qint64 got = m_file.read(m_buffer.data(), m_buffer.size());
    if (got < 0)
        throw OperatorError(QStringLiteral("Cannot read %1: %2").arg(m_path, m_file.errorString()));
    const bool atEnd = got == 0 || m_check.checked + got == m_size;
    checkUnchanged(atEnd, m_check.checked + got, true);
    const auto *const piece = reinterpret_cast<const uchar *>(m_buffer.constData());
    Counted counted = count(piece, got, m_afterCr, m_checkColumn);
    qsizetype wide = got;
    if (counted.any & 0x80) { // rare: counted again up to the first byte the line cannot carry
        wide = 0;
        while (!(piece[wide] & 0x80))
            ++wide;
        counted = count(piece, wide, m_afterCr, m_checkColumn);
    }
    // A piece is no longer than the longest line: a line that grows past it here began in an
    // earlier piece, and is the line this one began in.
    static_assert(kCheckPiece <= kLongestLine);
    if (counted.longest > kLongestLine) {
        m_check.longLine = m_checkLine;
        m_check.done = true;
        return m_check;
    }
    m_checkLine += counted.ends - counted.pairs;
    m_check.characters += wide + counted.ends - 2 * counted.pairs;
    qsizetype lineStart = wide;
    while (lineStart > 0 && piece[lineStart - 1] != '\r' && piece[lineStart - 1] != '\n')
        --lineStart;
    m_checkColumn = lineStart == 0 ? m_checkColumn + wide : wide - lineStart;
    if (wide > 0)
        m_afterCr = piece[wide - 1] == '\r';
    if (wide < got) {
        QByteArray bytes(m_buffer.constData() + wide, std::min<qsizetype>(3, got - wide));
        if (bytes.size() < 3) // the piece ended: the bytes after it tell a byte-order mark
            bytes += m_file.read(3 - bytes.size());
        m_check.wide = WideByte{m_checkLine, m_checkColumn + 1, m_check.checked + wide, bytes};
        m_check.checked += wide;
    } else {
        m_check.checked += got;
    }
    m_check.done = atEnd || m_check.wide.has_value();
    if (atEnd && !m_check.wide && m_checkColumn > 0)
        m_check.characters += 2; // the last line, which has no end of its own
    if (m_check.done) {
        // The lines are read from the start.
        m_file.seek(0);
        m_buffer.clear();
        m_pos = 0;
        m_read = 0;
    }
    return m_check;
}

void DiskTextStream::close() noexcept
{
    m_file.close();
    m_buffer.clear();
    m_pos = 0;
}
