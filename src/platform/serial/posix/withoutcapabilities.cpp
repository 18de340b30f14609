#include "platform/serial/posix/withoutcapabilities.h"

#include <sys/syscall.h>
#include <unistd.h>

WithoutCapabilities::WithoutCapabilities(std::initializer_list<int> capabilities)
{
    if (::syscall(SYS_capget, &m_header, m_kept) != 0)
        return;
    __user_cap_data_struct lowered[2] = {m_kept[0], m_kept[1]};
    for (const int capability : capabilities)
        lowered[capability / 32].effective &= ~(1u << (capability % 32));
    if (lowered[0].effective == m_kept[0].effective && lowered[1].effective == m_kept[1].effective)
        return;
    m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
}

WithoutCapabilities::~WithoutCapabilities()
{
    if (m_lowered)
        ::syscall(SYS_capset, &m_header, m_kept);
}
