#pragma once
// The serial port and the COM numbering of the system the program was built for, made once at
// start-up. Which system that is, the build decides: posix/systemports_posix.cpp on Linux,
// windows/systemports_windows.cpp on Windows.

#include <memory>

#include "platform/serial/comports.h"
#include "platform/serial/serialport.h"

class SystemPorts {
public:
    SystemPorts();
    ~SystemPorts();

    ComPorts &comPorts() { return m_comPorts; }
    SerialPort &serialPort() { return m_serialPort; }

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
    ComPorts &m_comPorts;
    SerialPort &m_serialPort;
};
