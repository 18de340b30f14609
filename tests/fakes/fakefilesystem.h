#pragma once
// A download file held in memory as its lines, with failures at chosen points. It counts the
// streams that were opened and not closed.

#include <QList>

#include "platform/filesystem.h"
#include "platform/operatorerror.h"

class FakeFileSystem final : public FileSystem {
public:
    // Lines ending in CR LF; the size counts them.
    explicit FakeFileSystem(QList<QByteArray> fileLines = {}) : lines(std::move(fileLines))
    {
        for (const QByteArray &line : lines)
            size += qint32(line.size() + 2);
    }

    qint32 fileSize(const QString &path) override
    {
        if (!exists)
            throw OperatorError(QStringLiteral("File not found: %1").arg(path));
        return size;
    }

    std::unique_ptr<TextStream> openTextFile(const QString &path) override
    {
        if (!exists)
            throw OperatorError(QStringLiteral("File not found: %1").arg(path));
        ++openStreams;
        return std::make_unique<Stream>(*this);
    }

    QList<QByteArray> lines;
    qint32 size = 0;
    bool exists = true;
    int failReadAt = -1; // the index of the line whose reading fails
    int openStreams = 0;

private:
    class Stream final : public TextStream {
    public:
        explicit Stream(FakeFileSystem &files) : m_files(files) {}
        bool atEnd() override { return m_next >= m_files.lines.size(); }
        QByteArray readLine() override
        {
            if (m_next == m_files.failReadAt)
                throw OperatorError(QStringLiteral("Cannot read the file: Input/output error"));
            return atEnd() ? QByteArray() : m_files.lines.at(m_next++);
        }
        void close() noexcept override
        {
            if (!m_closed)
                --m_files.openStreams;
            m_closed = true;
        }

    private:
        FakeFileSystem &m_files;
        qsizetype m_next = 0;
        bool m_closed = false;
    };
};
