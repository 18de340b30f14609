#pragma once
// A file read line by line as raw bytes, without any encoding conversion. A line ends at LF,
// CR LF or a lone CR; a last line without an end counts. Memory stays bounded by the longest
// line plus one read chunk.

#include <QFile>

#include "platform/textstream.h"

class DiskTextStream final : public TextStream {
public:
    explicit DiskTextStream(const QString &path);

    bool atEnd() override;
    QByteArray readLine() override;
    void close() noexcept override;

    static constexpr qsizetype kChunk = 64 * 1024;

private:
    bool fill();

    QString m_path;
    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
};
