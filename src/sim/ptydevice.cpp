#include "sim/ptydevice.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::PtyDevice()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                 std::strerror(errno));
    termios raw{};
    ::tcgetattr(m_master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = name;
}

PtyDevice::~PtyDevice()
{
    unplug();
    ::close(m_slave);
}

void PtyDevice::holdOff(bool held)
{
    ::tcflow(m_slave, held ? TCOOFF : TCOON);
}

void PtyDevice::unplug()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

std::string PtyDevice::received() const
{
    std::string all;
    char chunk[4096];
    for (ssize_t got; (got = ::read(m_master, chunk, sizeof chunk)) > 0;)
        all.append(chunk, size_t(got));
    return all;
}
