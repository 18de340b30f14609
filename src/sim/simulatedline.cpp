#include "sim/simulatedline.h"

#include <algorithm>

namespace {

// The driver lowers RTS once less than this much room is left in the input buffer (n_tty's
// TTY_THRESHOLD_THROTTLE).
constexpr int kThrottleRoom = 128;

void moveUpTo(std::size_t size, std::deque<char> &from, std::deque<char> &to)
{
    while (!from.empty() && to.size() < size) {
        to.push_back(from.front());
        from.pop_front();
    }
}

} // namespace

QByteArray SimulatedLine::received()
{
    advance();
    return m_received;
}

void SimulatedLine::lineOpened()
{
    m_last = m_openedAt = m_clock();
    m_input.clear();
}

bool SimulatedLine::heldAt(Clock::time_point t) const
{
    return std::any_of(m_holdOffs.begin(), m_holdOffs.end(), [&](const Window &w) {
        return t >= m_openedAt + w.from && t < m_openedAt + w.until;
    });
}

std::optional<SimulatedLine::Clock::time_point> SimulatedLine::unplugTime() const
{
    if (!m_unplugAt)
        return std::nullopt;
    return m_openedAt + *m_unplugAt;
}

void SimulatedLine::fill(const Line &line, bool held)
{
    if (!(held && line.refusesHeld))
        moveUpTo(line.buffer, m_queue, m_buffer);
    moveUpTo(line.hardware, line.buffer ? m_buffer : m_queue, m_hardware);
}

std::size_t SimulatedLine::dropQueued()
{
    const std::size_t dropped = m_queue.size() + m_buffer.size() + m_hardware.size();
    m_queue.clear();
    m_buffer.clear();
    m_hardware.clear();
    return dropped;
}

// The driver has lowered RTS (or, on a pseudo-terminal, the device cannot write its answer),
// and the device honours it by taking no more.
bool SimulatedLine::throttled(const Line &line) const
{
    return echoes && line.rtsHandshake && m_input.size() >= kInputBuffer - kThrottleRoom;
}

// Moves whole characters from the last of the queue, buffer and hardware the driver has onto
// the wire.
void SimulatedLine::send(Clock::duration span, bool held)
{
    const Line line = this->line();
    fill(line, held);
    std::deque<char> &out = line.hardware ? m_hardware : line.buffer ? m_buffer : m_queue;
    if ((held && line.holdStops) || throttled(line) || out.empty()) {
        m_credit = 0; // an idle or held line banks no time
        return;
    }
    m_credit += std::chrono::duration<double>(span).count() * line.charactersPerSecond;
    while (m_credit >= 1 && !out.empty() && !throttled(line)) {
        const char c = out.front();
        out.pop_front();
        if (record(c, held)) {
            m_received.append(c);
            if (echoes && m_input.size() < kInputBuffer)
                m_input.append(c);
        }
        m_credit -= 1;
        fill(line, held);
    }
    if (out.empty() || throttled(line))
        m_credit = 0;
}

// Every instant in (m_last, now] at which the line changes, then now, in order.
std::vector<SimulatedLine::Clock::time_point> SimulatedLine::edges(Clock::time_point now) const
{
    std::vector<Clock::time_point> at{now};
    for (const Window &w : m_holdOffs)
        for (const Clock::duration edge : {w.from, w.until})
            at.push_back(m_openedAt + edge);
    if (const auto unplug = unplugTime())
        at.push_back(*unplug);
    addEdges(at, now);
    std::sort(at.begin(), at.end());
    std::erase_if(at, [&](Clock::time_point t) { return t <= m_last || t > now; });
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

void SimulatedLine::advance()
{
    const Clock::time_point now = m_clock();
    if (!playing() || m_unplugged || now <= m_last) {
        m_last = std::max(m_last, now);
        return;
    }
    for (const Clock::time_point edge : edges(now)) {
        send(edge - m_last, heldAt(m_last));
        m_last = edge;
        reached(edge);
        if (const auto unplug = unplugTime(); unplug && edge >= *unplug) {
            m_unplugged = true;
            dropQueued();
            return;
        }
    }
}
