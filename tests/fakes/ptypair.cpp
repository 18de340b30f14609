#include "ptypair.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

PtyPair::PtyPair()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_slavePath = QString::fromLocal8Bit(name);
    termios raw{};
    ::tcgetattr(m_master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPair::holdOff()
{
    ::tcflow(m_slave, TCOOFF);
}

void PtyPair::release()
{
    ::tcflow(m_slave, TCOON);
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
