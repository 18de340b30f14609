#include "platform/serial/systemports.h"

#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "platform/serial/posix/sysfscomports.h"

struct SystemPorts::Parts {
    SysfsComPorts comPorts;
    KernelTty tty;
    PosixSerialPort serialPort{tty, [this](int n) { return comPorts.devicePath(n); }};
};

SystemPorts::SystemPorts()
    : m_parts(std::make_unique<Parts>()), m_comPorts(m_parts->comPorts),
      m_serialPort(m_parts->serialPort)
{}

SystemPorts::~SystemPorts() = default;
