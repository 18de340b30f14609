#pragma once
// Download files for the tests, the benchmark and the tools: S-record-like lines of hex digits,
// drawn from a fixed seed, so that every run makes the same file.

#include <random>

#include <QByteArray>
#include <QList>
#include <QString>

class SampleLines {
public:
    // Lines of `shortest` to `longest` characters, without their line ends.
    SampleLines(int shortest, int longest);

    QByteArray next();

    // `count` lines of `length` characters.
    static QList<QByteArray> make(int count, int length);
    // The lines, each with CR LF.
    static QByteArray withCrLf(const QList<QByteArray> &lines);
    // Writes lines of `shortest` to `longest` characters with CR LF to path until it holds at
    // least `bytes`, or ends the program; returns the lines written.
    static qint64 writeFile(const QString &path, qint64 bytes, int shortest = 40, int longest = 80);

private:
    std::mt19937 m_random{20261206};
    std::uniform_int_distribution<int> m_length;
};

// Writes content to path and returns path, or ends the program: a test or a figure without its
// input file means nothing.
QString writeFile(const QString &path, const QByteArray &content);
