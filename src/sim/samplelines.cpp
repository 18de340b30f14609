#include "sim/samplelines.h"

#include <QFile>

SampleLines::SampleLines(int shortest, int longest) : m_length(shortest, longest) {}

QByteArray SampleLines::next()
{
    static const char hex[] = "0123456789ABCDEF";
    const int length = m_length(m_random);
    QByteArray line = "S2";
    while (line.size() < length)
        line += hex[m_random() % 16];
    return line;
}

QList<QByteArray> SampleLines::make(int count, int length)
{
    SampleLines sample(length, length);
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines.append(sample.next());
    return lines;
}

QByteArray SampleLines::withCrLf(const QList<QByteArray> &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + "\r\n";
    return all;
}

qint64 SampleLines::writeFile(const QString &path, qint64 bytes, int shortest, int longest)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    SampleLines sample(shortest, longest);
    qint64 written = 0;
    qint64 lines = 0;
    while (written < bytes) {
        const QByteArray line = sample.next() + "\r\n";
        if (file.write(line) != line.size())
            qFatal("cannot write %s", qPrintable(path));
        written += line.size();
        ++lines;
    }
    return lines;
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
