#pragma once
// Small helpers the tests share: writing a file's bytes (writeFile), and catching an operator's
// message.

#include <functional>

#include <QString>

#include "platform/operatorerror.h"
#include "sim/samplelines.h"

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
