#pragma once
// Which device each COM number reaches on this machine, and what an operator is told about it.
// Each system numbers its ports its own way (sysfs on Linux, the registry on Windows).

#include <QList>
#include <QString>
#include <QStringList>

class ComPorts {
public:
    virtual ~ComPorts() = default;

    // The device COMn reaches, as the serial port opens it; an OperatorError that says what there
    // is instead when nothing has that number.
    virtual QString devicePath(int number) = 0;
    // What COMn reaches now, for the operator: "/dev/ttyUSB0 — FT232R USB UART (FTDI)", or why
    // nothing is there.
    virtual QString reaches(int number) = 0;

    // COM numbers the port list always offers.
    static constexpr int kOffered = 4;
    // The highest COM number Windows gives out (Device Manager offers COM1 to COM256); any
    // number up to it can be typed.
    static constexpr int kHighest = 256;

    // Takes a new look at the system: reaches() and numbersAbove() then answer from it until the
    // next, so that a whole list is described from one look. Nothing to do where each answer
    // looks afresh.
    virtual void refresh() {}

    // The numbers above kOffered that reach a port now, in order, for the list to offer too:
    // Windows numbers USB adapters itself, often COM5 to COM20. None where the system's
    // numbering is this program's own and starts at COM1.
    virtual QList<int> numbersAbove() { return {}; }

protected:
    // What the operator reads when no port has the number: what there is instead (found, each
    // as "COMn = ..."), and what to do; more follows "choose another port", with the ending.
    static QString noSuchNumber(int number, const QStringList &found, const QString &more)
    {
        return QStringLiteral("COM%1: no serial port has this number. %2 Plug the adapter in or "
                              "choose another port%3")
            .arg(number)
            .arg(found.isEmpty()
                     ? QStringLiteral("No serial port was found.")
                     : QStringLiteral("Found: %1.").arg(found.join(QStringLiteral(", "))),
                 more);
    }
};
