#include "platform/serial/systemports.h"

#include "platform/serial/windows/registrycomports.h"
#include "platform/serial/windows/win32serialport.h"
#include "platform/serial/windows/windowscomm.h"

struct SystemPorts::Parts {
    WindowsComm comm;
    RegistryComPorts comPorts{comm};
    Win32SerialPort serialPort{comm, [this](int n) { return comPorts.devicePath(n); },
                               [this](int n) { return comPorts.missing(n); }};
};

SystemPorts::SystemPorts() : m_parts(std::make_unique<Parts>()) {}

SystemPorts::~SystemPorts() = default;

ComPorts &SystemPorts::comPorts()
{
    return m_parts->comPorts;
}

SerialPort &SystemPorts::serialPort()
{
    return m_parts->serialPort;
}
