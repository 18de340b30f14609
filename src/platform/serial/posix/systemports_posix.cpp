#include "platform/serial/systemports.h"

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"

struct SystemPorts::Parts {
    SysfsComPorts comPorts;
    KernelTty tty;
    PosixSerialPort serialPort{tty, [this](int n) { return comPorts.devicePath(n); }};
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
