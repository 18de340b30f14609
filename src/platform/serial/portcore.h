#pragma once
// What a serial port decides the same way on every system: what is held here until the system
// takes it, how much still waits to go out, when an upload has been delivered, and what the
// operator is told. Each system's port (posix/, windows/) derives
// from PortCore and adds only its own calls, and what they mean there: how its driver's count is
// read and how far it is trusted, whether the transmitter can be asked, how it opens and closes.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QByteArrayView>
#include <QStringList>

#include "platform/serial/clearspan.h"
#include "platform/serial/serialport.h"
#include "platform/serial/wireclock.h"

// What a driver kept of the line settings, as read back after setting them; empty where it
// names nothing the port can say in numbers.
struct KeptSettings {
    std::optional<qint32> baudRate;
    int dataBits = 0;
    bool parity = false;
    int stopBits = 0;
    bool rtsCts = false;
};

// Work on a port that its system has not finished yet: closes, and opens given up on. Each is
// looked after until it has; finished() may also end what still waits.
class Unfinished {
public:
    using Clock = std::chrono::steady_clock;

    void add(const QString &port, Clock::time_point since, std::function<bool()> finished);
    // Forgets what has finished.
    void settle();
    // When the oldest of port's that has not finished began.
    std::optional<Clock::time_point> since(const QString &port);
    // The port of the oldest that has not finished; empty when all have.
    QString first();
    // Forgets what has finished every `every`, on the event loop, while any has not: whatever
    // each holds (lock files) goes as soon as it has finished.
    void watch(std::chrono::milliseconds every);

private:
    struct Work {
        QString port;
        Clock::time_point since;
        std::function<bool()> finished;
    };
    static void watchList(const std::weak_ptr<std::vector<Work>> &list,
                          std::chrono::milliseconds every);
    std::shared_ptr<std::vector<Work>> m_list = std::make_shared<std::vector<Work>>();
};

class PortCore : public SerialPort {
public:
    using Clock = std::chrono::steady_clock;

    void setPortNumber(qint16 number) final;
    // Waits for the opening that startOpen() begins: for tests and tools, never the window.
    void open() final;
    qint64 queuedCount() final;
    void output(const QByteArray &data) final;
    bool delivered() final;
    qint64 dropHeld() noexcept final;
    QString describe() const override;

    // What the operator is told, the same on every system. port: as describe() names it.
    static QString notOpen(const QString &port);
    static QString alreadyOpen(const QString &port);
    static QString inUse(const QString &port); // to be ended by the caller: "." or more
    static QString stillBeingOpened(const QString &port, const QString &why);
    // reason: the system's words; where they end in a period, no other is added.
    static QString lostConnection(const QString &port, const QString &reason);
    // why: "its driver kept ..." or the system's words, each ending in a period.
    static QString settingsRefused(const QString &port, const QString &why);
    // What kept differs in from the line settings, for settingsRefused(), or empty where it
    // does not; otherHandshake: how the system's driver keeps other handshaking.
    static QString keptOtherwise(const KeptSettings &kept, const QString &otherHandshake);

protected:
    qint16 number() const { return m_number; }
    qint64 held() const { return m_held.size() - m_heldStart; }
    const WireClock &wire() const { return m_wire; }
    // Called as the port opens: nothing handed over yet.
    void startCounting();
    // Of what was handed over at the line's speed, what cannot have left the wire yet, less the
    // last characters on their way that a UART's count leaves out too (so that the next line is
    // there before the line falls idle; delivered() waits for them).
    qint64 boundByWire() const;
    // The system gave back characters it had taken: they go out first.
    void giveBack(const QByteArray &characters);
    // Characters handed to the system since the port was opened.
    qint64 handedOver() const { return m_handedOver; }

    virtual Clock::time_point now() const = 0;
    // Ends what the system still does with earlier characters before more is handed over.
    virtual void finishWrites() {}
    // Hands the front of what is held to the system; returns how many characters it took, 0
    // where it takes no more for now. Throws when the connection was lost.
    virtual qint64 handOver(QByteArrayView characters) = 0;
    // Of what was handed over, what the system still has, as far as the port can know.
    virtual qint64 inSystem() = 0;
    // Whether the transmitter itself has sent all it took, once nothing is queued.
    virtual bool transmitterEmpty() { return true; }
    // Throws when the device is gone, where the count alone would not say so.
    virtual void checkConnected() {}
    // Whether, once the system has sent everything, a USB adapter's chip may still hold some.
    virtual bool chipMayHold() const { return true; }
    // How late the CTS that the driver reports may be.
    virtual std::chrono::nanoseconds ctsLag() const { return {}; }
    // Forgets what output() makes old: a drain under way.
    virtual void outputBegins() {}

private:
    void push();

    qint16 m_number = 1;
    QByteArray m_held;
    qsizetype m_heldStart = 0;
    qint64 m_handedOver = 0;
    WireClock m_wire;      // what was handed over and cannot have left yet, by the baud rate
    ClearSpan m_clearSpan; // CTS on without a break since all was sent
};
