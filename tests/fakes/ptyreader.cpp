#include "ptyreader.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "ptypair.h"

namespace {
qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

PtyReader::PtyReader(PtyPair &pty, qint64 hangUpAfter)
    : m_pty(pty), m_hangUpAfter(hangUpAfter), m_lastArrivalMs(nowMs()), m_thread([this] { run(); })
{}

PtyReader::~PtyReader()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void PtyReader::run()
{
    char buffer[4096];
    while (!m_stop) {
        const int fd = m_pty.masterFd();
        if (fd < 0)
            return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            continue;
        std::lock_guard lock(m_mutex);
        m_received.append(buffer, got);
        m_lastArrivalMs = nowMs();
        if (m_hangUpAfter >= 0 && m_received.size() >= m_hangUpAfter) {
            m_pty.closeMaster();
            return;
        }
    }
}

QByteArray PtyReader::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QByteArray PtyReader::finish(int quietMs)
{
    while (nowMs() - m_lastArrivalMs < quietMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return received();
}
