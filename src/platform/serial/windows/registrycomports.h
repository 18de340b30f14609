#pragma once
// COM numbers on Windows are Windows' own: COMn is the port Windows calls COMn. What each one
// is comes from SetupAPI (the Ports class's friendly names, "USB Serial Port (COM3)"), then
// from the registry's HARDWARE\DEVICEMAP\SERIALCOMM, then from the DOS device name itself.
// Nothing is opened to find out.

#include <QMap>

#include "platform/serial/comports.h"

class RegistryComPorts final : public ComPorts {
public:
    // Always \\.\COMn: whether it opens is the system's to say, so a port the registry does not
    // list (as under Wine) is still tried.
    QString devicePath(int number) override;
    QString reaches(int number) override;
    QList<int> numbersAbove() override;
    // For a number that did not open: what there is instead.
    QString missing(int number);

private:
    // Every COM port the system knows of, by number, with what it is.
    QMap<int, QString> known() const;
};
