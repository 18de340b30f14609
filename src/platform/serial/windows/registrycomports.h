#pragma once
// COM numbers on Windows are Windows' own: COMn is the port Windows calls COMn. What each one
// is comes from the ports Windows lists (Comm::listPorts(): SetupAPI's Ports class with its
// friendly names, "USB Serial Port (COM3)", and each device's problem code; then the registry's
// HARDWARE\DEVICEMAP\SERIALCOMM; then the DOS device names), one look per refresh(). Nothing
// is opened to find out.

#include <QList>

#include "platform/serial/comports.h"
#include "platform/serial/windows/comm.h"

class RegistryComPorts final : public ComPorts {
public:
    explicit RegistryComPorts(Comm &comm) : m_comm(comm) {}

    // Always \\.\COMn: whether it opens is the system's to say, so a port the registry does not
    // list (as under Wine) is still tried.
    QString devicePath(int number) override;
    QString reaches(int number) override;
    QList<int> numbersAbove() override;
    void refresh() override;
    // For a number that did not open, from a new look: why, where Windows lists the port but its
    // driver did not start or it is disabled; otherwise what there is instead.
    QString missing(int number);

private:
    const CommPortEntry *find(int number);

    Comm &m_comm;
    QList<CommPortEntry> m_ports; // the last look
    bool m_looked = false;
};
