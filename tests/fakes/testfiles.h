#pragma once
// Small helpers the tests share: writing a file's bytes, and catching an operator's message.

#include <functional>

#include <QFile>
#include <QString>

#include "platform/operatorerror.h"

// Writes content to path, or ends the test program: a test without its input file means
// nothing.
inline QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The text of the OperatorError that action raises, or "(no error)".
inline QString errorText(const std::function<void()> &action)
{
    try {
        action();
    } catch (const OperatorError &error) {
        return error.text();
    }
    return QStringLiteral("(no error)");
}
