#include "platform/disktextstream.h"

#include <algorithm>

#include "platform/operatorerror.h"

DiskTextStream::DiskTextStream(const QString &path) : m_path(path), m_file(path)
{
    if (!m_file.open(QIODevice::ReadOnly))
        throw OperatorError(QStringLiteral("Cannot open %1: %2").arg(path, m_file.errorString()));
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
        return line;
    }
}

void DiskTextStream::close() noexcept
{
    m_file.close();
    m_buffer.clear();
    m_pos = 0;
}
