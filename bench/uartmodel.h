#pragma once
// A serial port that behaves like a 16550-class UART on the monotonic clock: the operating
// system's transmit queue (what the queued count reports) feeds a 16-character hardware FIFO
// (not counted), and the wire empties the FIFO at baud / bits-per-character characters a second
// while the device lets it (CTS). Hold-off windows, measured from open(), stop the wire.

#include <chrono>
#include <vector>

#include "platform/serialport.h"

class UartModel final : public SerialPort {
public:
    using Clock = std::chrono::steady_clock;
    struct HoldOff {
        std::chrono::microseconds from;
        std::chrono::microseconds until;
    };

    explicit UartModel(std::vector<HoldOff> holdOffs = {});

    void setPortNumber(qint16 number) override { m_number = number; }
    void setLineSettings(const LineSettings &settings) override { m_settings = settings; }
    void setHandshaking(Handshaking) override {}
    void open() override;
    bool isOpen() const override { return m_open; }
    qint64 queuedCount() override;
    void output(const QByteArray &data) override;
    void discardAndClose() noexcept override;
    QString describe() const override;

    qint64 handedOver() const { return m_handedOver; }
    double charactersPerSecond() const;

    static constexpr int kFifoSize = 16;

private:
    void advance();
    std::chrono::duration<double> heldBetween(Clock::time_point from, Clock::time_point to) const;

    std::vector<HoldOff> m_holdOffs;
    LineSettings m_settings;
    qint16 m_number = 1;
    bool m_open = false;
    Clock::time_point m_openedAt;
    Clock::time_point m_lastAdvance;
    double m_inFlight = 0; // OS queue plus FIFO, in characters
    qint64 m_handedOver = 0;
};
