#include "platform/files/disktextstream.h"

#include <algorithm>

#include "platform/files/fileinfo.h"
#include "platform/operatorerror.h"

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

void DiskTextStream::checkUnchanged(bool atEnd)
{
    const FileInfo info = examineOpenFile(m_file.handle());
    const bool same = info.error == 0 && info.size == m_size && info.modified == m_modified &&
                      (atEnd ? m_read == m_size : m_read <= m_size);
    if (!same)
        throw OperatorError(QStringLiteral("The file %1 changed while it was being sent, so the "
                                           "device did not get one whole version of it. Check "
                                           "the file, then upload again.")
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
    checkUnchanged(got == 0);
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
        // The line may come from a chunk read before the file changed: it is not handed on.
        checkUnchanged(false);
        return line;
    }
}

void DiskTextStream::close() noexcept
{
    m_file.close();
    m_buffer.clear();
    m_pos = 0;
}
