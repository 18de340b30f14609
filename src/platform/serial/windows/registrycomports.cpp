#include "platform/serial/windows/registrycomports.h"

#include <QStringList>

namespace {

// How the operator knows the port: the friendly name as Device Manager shows it, or the
// device object behind the number ("COM1 — \Device\Serial0").
QString title(const CommPortEntry &port)
{
    return port.name.startsWith(QLatin1Char('\\'))
               ? QStringLiteral("COM%1 \u2014 %2").arg(port.number).arg(port.name)
               : port.name;
}

// Device Manager's problem codes (CM_PROB_* in cfg.h), as Microsoft's page "Device Manager
// error messages" explains them: what is wrong, in the words of the port's status there.
QString problemText(quint32 problem)
{
    switch (problem) {
    case 10: // CM_PROB_FAILED_START
        return QStringLiteral("its driver did not start (Device Manager code 10)");
    case 22: // CM_PROB_DISABLED
        return QStringLiteral("it is disabled in Device Manager (code 22)");
    case 28: // CM_PROB_FAILED_INSTALL
        return QStringLiteral("its driver is not installed (Device Manager code 28)");
    case 43: // CM_PROB_FAILED_POST_START
        return QStringLiteral("Windows stopped it because it reported problems (Device Manager "
                              "code 43)");
    default:
        return QStringLiteral("it does not work (Device Manager code %1)").arg(problem);
    }
}

// What to do about it: a disabled port is enabled where it was disabled; for a driver that did
// not start or stopped, the page's first advice for a USB device is to plug it in again, then
// to update the driver.
QString remedy(quint32 problem)
{
    if (problem == 22)
        return QStringLiteral("Enable it in Device Manager: under Ports (COM & LPT), right-click "
                              "it and choose Enable device, then upload again.");
    if (problem == 28)
        return QStringLiteral("Install the adapter's driver (Device Manager: right-click it under "
                              "Ports (COM & LPT) and choose Update driver), then upload again.");
    return QStringLiteral("Unplug the adapter and plug it in again. If Device Manager still "
                          "shows the code under Ports (COM & LPT), update or reinstall the "
                          "adapter's driver there (right-click it, Update driver), then upload "
                          "again.");
}

} // namespace

void RegistryComPorts::refresh()
{
    m_ports = m_comm.listPorts();
    m_looked = true;
}

const CommPortEntry *RegistryComPorts::find(int number)
{
    if (!m_looked)
        refresh();
    for (const CommPortEntry &port : m_ports)
        if (port.number == number)
            return &port;
    return nullptr;
}

// COM256 is the highest number Device Manager gives out.
QList<int> RegistryComPorts::numbersAbove()
{
    if (!m_looked)
        refresh();
    QList<int> numbers;
    for (const CommPortEntry &port : m_ports)
        if (port.number > kOffered && port.number <= kHighest)
            numbers.append(port.number);
    return numbers;
}

QString RegistryComPorts::devicePath(int number)
{
    return QStringLiteral("\\\\.\\COM%1").arg(number);
}

QString RegistryComPorts::reaches(int number)
{
    const CommPortEntry *port = find(number);
    if (!port)
        return QStringLiteral("nothing is connected");
    return port->problem
               ? QStringLiteral("%1 \u2014 %2").arg(title(*port), problemText(port->problem))
               : title(*port);
}

QString RegistryComPorts::missing(int number)
{
    refresh();
    if (const CommPortEntry *port = find(number); port && port->problem)
        return QStringLiteral("COM%1 (%2) cannot be opened: Windows lists it, but %3. %4")
            .arg(number)
            .arg(title(*port), problemText(port->problem), remedy(port->problem));
    QStringList found;
    for (const CommPortEntry &port : m_ports)
        found.append(QStringLiteral("COM%1 = %2").arg(port.number).arg(title(port)));
    return noSuchNumber(number, found,
                        QStringLiteral("; Device Manager shows under Ports (COM & LPT) which "
                                       "number Windows gave it, and gives it another under the "
                                       "port's Properties \u2192 Port Settings \u2192 Advanced "
                                       "\u2192 COM Port Number."));
}
