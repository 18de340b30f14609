#include "platform/serial/portcore.h"

#include <algorithm>
#include <thread>

#include <QTimer>

#include "platform/operatorerror.h"

void Unfinished::add(const QString &port, Clock::time_point since, std::function<bool()> finished)
{
    m_list->push_back({port, since, std::move(finished)});
}

void Unfinished::settle()
{
    std::erase_if(*m_list, [](const Work &work) { return work.finished(); });
}

std::optional<Unfinished::Clock::time_point> Unfinished::since(const QString &port)
{
    settle();
    const auto found = std::find_if(m_list->begin(), m_list->end(),
                                    [&port](const Work &work) { return work.port == port; });
    if (found == m_list->end())
        return std::nullopt;
    return found->since;
}

QString Unfinished::first()
{
    settle();
    return m_list->empty() ? QString() : m_list->front().port;
}

void Unfinished::watch(std::chrono::milliseconds every)
{
    if (m_list->size() == 1)
        watchList(m_list, every);
}

void Unfinished::watchList(const std::weak_ptr<std::vector<Work>> &list,
                           std::chrono::milliseconds every)
{
    QTimer::singleShot(every, [list, every] {
        const auto works = list.lock();
        if (!works)
            return;
        std::erase_if(*works, [](const Work &work) { return work.finished(); });
        if (!works->empty())
            watchList(list, every);
    });
}

void PortCore::open()
{
    if (startOpen())
        return;
    while (!opened())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void PortCore::setPortNumber(qint16 number)
{
    if (number < 1)
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(number));
    m_number = number;
}

QString PortCore::describe() const
{
    return QStringLiteral("COM%1").arg(m_number);
}

QString PortCore::notOpen(const QString &port)
{
    return QStringLiteral("%1 is not open.").arg(port);
}

QString PortCore::alreadyOpen(const QString &port)
{
    return QStringLiteral("%1 is already open.").arg(port);
}

QString PortCore::inUse(const QString &port)
{
    return QStringLiteral("%1 is in use by another program").arg(port);
}

QString PortCore::stillBeingOpened(const QString &port, const QString &why)
{
    return QStringLiteral("%1 is still being opened for the upload that was cancelled: %2. Wait a "
                          "moment, then upload again.")
        .arg(port, why);
}

QString PortCore::lostConnection(const QString &port, const QString &reason)
{
    return QStringLiteral("Lost the connection to %1: %2%3 Check that the device is connected, "
                          "then upload again.")
        .arg(port, reason, reason.endsWith(QLatin1Char('.')) ? QString() : QStringLiteral("."));
}

QString PortCore::settingsRefused(const QString &port, const QString &why)
{
    return QStringLiteral("%1 does not take the line settings 115200 baud, 7 data bits, no "
                          "parity, 2 stop bits, RTS/CTS: %2 Nothing was sent.")
        .arg(port, why);
}

// A driver keeps what it can of the settings without failing; sending with the rest would
// garble every character, or lose what the device holds off.
QString PortCore::keptOtherwise(const KeptSettings &kept, const QString &otherHandshake)
{
    QStringList differ;
    if (kept.baudRate != kLineFormat.baudRate)
        differ.append(kept.baudRate ? QStringLiteral("%1 baud").arg(*kept.baudRate)
                                    : QStringLiteral("another baud rate"));
    if (kept.dataBits != kLineFormat.dataBits)
        differ.append(QStringLiteral("%1 data bits").arg(kept.dataBits));
    if (kept.parity)
        differ.append(QStringLiteral("a different parity"));
    if (kept.stopBits != kLineFormat.stopBits)
        differ.append(kept.stopBits == 2 ? QStringLiteral("2 stop bits")
                                         : QStringLiteral("1 stop bit"));
    if (!kept.rtsCts)
        differ.append(otherHandshake);
    if (differ.isEmpty())
        return {};
    return QStringLiteral("its driver kept %1.").arg(differ.join(QStringLiteral(", ")));
}

void PortCore::startCounting()
{
    m_held.clear();
    m_heldStart = 0;
    m_handedOver = 0;
    m_clearSpan.reset();
    m_wire.start(kLineFormat, now());
}

qint64 PortCore::boundByWire() const
{
    return std::max<qint64>(0, m_wire.stillOnWire(now()) - WireClock::kUncountedCharacters);
}

void PortCore::giveBack(const QByteArray &characters)
{
    m_held = characters + m_held.mid(m_heldStart);
    m_heldStart = 0;
    m_handedOver -= characters.size();
}

// Bytes the system will not take yet stay here and count as queued, so that the count reaches 0
// only when everything handed over has left the system's queue.
void PortCore::push()
{
    finishWrites();
    while (held() > 0) {
        const qint64 taken = handOver(QByteArrayView(m_held).sliced(m_heldStart));
        if (taken <= 0)
            return;
        m_heldStart += taken;
        m_handedOver += taken;
        m_wire.handedOver(taken, now());
    }
    m_held.clear();
    m_heldStart = 0;
}

qint64 PortCore::queuedCount()
{
    if (!isOpen())
        throw OperatorError(notOpen(describe()));
    push();
    const qint64 inTheSystem = inSystem();
    return held() + inTheSystem;
}

void PortCore::output(const QByteArray &data)
{
    if (!isOpen())
        throw OperatorError(notOpen(describe()));
    outputBegins();
    m_clearSpan.reset();
    m_held.append(data);
    push();
}

// True only when the device has had every character: nothing is queued, the transmitter has sent
// all it took, the device is still there, and where a USB adapter's chip may still hold some
// (see ClearSpan), CTS has been on for as long as the chip needs, and for as long again as the
// CTS the driver reports may be late.
bool PortCore::delivered()
{
    if (queuedCount() > 0 || !transmitterEmpty()) {
        m_clearSpan.reset();
        return false;
    }
    checkConnected();
    return !chipMayHold() ||
           m_clearSpan.lasted(clearToSend(), now(), m_wire.characterTime(), ctsLag());
}

qint64 PortCore::dropHeld() noexcept
{
    const qint64 dropped = held();
    m_held.clear();
    m_heldStart = 0;
    return dropped;
}
