#include "uartmodel.h"

#include <algorithm>
#include <cmath>

UartModel::UartModel(std::vector<HoldOff> holdOffs) : m_holdOffs(std::move(holdOffs)) {}

double UartModel::charactersPerSecond() const
{
    return double(m_settings.baudRate) / m_settings.bitsPerCharacter();
}

void UartModel::open()
{
    m_open = true;
    m_openedAt = m_lastAdvance = Clock::now();
    m_inFlight = 0;
}

std::chrono::duration<double> UartModel::heldBetween(Clock::time_point from,
                                                     Clock::time_point to) const
{
    std::chrono::duration<double> held{0};
    for (const HoldOff &window : m_holdOffs) {
        const auto start = std::max(from, m_openedAt + window.from);
        const auto end = std::min(to, m_openedAt + window.until);
        if (end > start)
            held += end - start;
    }
    return held;
}

void UartModel::advance()
{
    const Clock::time_point now = Clock::now();
    const std::chrono::duration<double> sending =
        (now - m_lastAdvance) - heldBetween(m_lastAdvance, now);
    m_inFlight = std::max(0.0, m_inFlight - sending.count() * charactersPerSecond());
    m_lastAdvance = now;
}

qint64 UartModel::queuedCount()
{
    advance();
    return qint64(std::ceil(std::max(0.0, m_inFlight - kFifoSize)));
}

void UartModel::output(const QByteArray &data)
{
    advance();
    m_inFlight += data.size();
    m_handedOver += data.size();
}

void UartModel::discardAndClose() noexcept
{
    m_inFlight = 0;
    m_open = false;
}

QString UartModel::describe() const
{
    return QStringLiteral("COM%1 (UART model)").arg(m_number);
}
