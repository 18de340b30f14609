#pragma once
// The platform layer: the program's seams to the operating system, in rooms (serial/, files/,
// desktop/). It includes nothing of app/, upload/ or sim/. This file is the one all rooms share.
//
// The one kind of error this program raises. It carries the whole text an operator reads in the
// message box: what failed, the operating system's reason and, where there is one, the fix.

#include <stdexcept>

#include <QString>

class OperatorError : public std::runtime_error {
public:
    explicit OperatorError(const QString &text);

    const QString &text() const noexcept { return m_text; }

private:
    QString m_text;
};

// The operating system's own words for an errno value, e.g. "Permission denied".
QString systemReason(int errnum);
