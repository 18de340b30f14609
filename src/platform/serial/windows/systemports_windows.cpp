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

SystemPorts::SystemPorts()
    : m_parts(std::make_unique<Parts>()), m_comPorts(m_parts->comPorts),
      m_serialPort(m_parts->serialPort)
{}

SystemPorts::~SystemPorts() = default;
