#include "sim/ptydevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

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

std::size_t PtyDevice::pump(std::size_t most)
{
    std::size_t taken = 0;
    char chunk[4096];
    while (taken < most) {
        if (!m_answer.empty()) {
            const ssize_t sent = ::write(m_master, m_answer.data(), m_answer.size());
            if (sent > 0)
                m_answer.erase(0, std::size_t(sent));
            if (!m_answer.empty())
                return taken; // the port's side is full: take nothing more meanwhile
        }
        const std::size_t room = std::min(sizeof chunk, most - taken);
        const ssize_t got = m_master >= 0 ? ::read(m_master, chunk, room) : -1;
        if (got <= 0)
            return taken;
        m_taken.append(chunk, std::size_t(got));
        taken += std::size_t(got);
        if (echo)
            m_answer.append(chunk, std::size_t(got));
    }
    return taken;
}

std::string PtyDevice::received(std::size_t most)
{
    pump(most);
    return std::exchange(m_taken, {});
}
