#pragma once
// The line both simulated serial drivers play, and the device at its far end, on a clock the
// caller provides. What a write hands the driver waits in its queue, which feeds the driver's
// own buffer if it has one, and that the hardware's (a UART's FIFO, a USB chip's or bridge's
// buffer); whole characters leave the last of these the driver has for the wire, at the line's
// character rate. The device holds data off in windows of time, in times from the most recent
// open; a device that echoes what it takes fills the 4 KiB input buffer, and once that is
// nearly full (128 short) the driver's RTS handshake stops the line until the input is read. The
// device can be unplugged at any instant: what was on its way is lost and the line stops for
// good. Each driver says what it does differently: the character rate, when the line is
// stopped, the sizes of its buffers, what it records of a character that leaves the wire.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include <QByteArray>

class SimulatedLine {
public:
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    virtual ~SimulatedLine() = default;

    // Times are measured from the most recent open().
    void holdOff(Clock::duration from, Clock::duration until)
    {
        m_holdOffs.push_back({from, until});
    }
    void unplugAt(Clock::duration at) { m_unplugAt = at; }
    // What the device took by now, in order.
    QByteArray received();

    bool echoes = false; // the device sends back every character it takes

    static constexpr double kPtyReadRate = 11520; // characters a second a pty's reader takes
    static constexpr int kInputBuffer = 4096;     // N_TTY_BUF_SIZE, and Windows' drivers' own

protected:
    explicit SimulatedLine(ClockSource clock) : m_clock(std::move(clock)) {}

    // Plays the line from the last call up to now, in steps that end at every change of
    // hold-off, at the unplug and at the driver's own edges.
    virtual void advance();
    void lineOpened(); // times count from now, and the input is empty
    bool heldAt(Clock::time_point t) const;
    std::optional<Clock::time_point> unplugTime() const;
    // Moves what fits from the queue to the buffer (unless the driver refuses it while held)
    // and on to the hardware.
    void fill(bool held) { fill(line(), held); }
    bool inFlight() const { return !m_queue.empty() || !m_buffer.empty() || !m_hardware.empty(); }
    std::size_t dropQueued(); // empties the queue, buffer and hardware; returns how much was lost

    // What the driver makes of the line with the settings in force.
    struct Line {
        double charactersPerSecond;
        bool holdStops;           // a hold-off stops the line (CTS flow control)
        bool rtsHandshake;        // RTS stops an echoing device once its input is nearly full
        std::size_t buffer = 0;   // the driver's buffer between its queue and the hardware
        std::size_t hardware;     // the hardware's buffer, which feeds the wire
        bool refusesHeld = false; // the driver's buffer takes nothing while the device holds off
    };
    virtual Line line() const = 0;
    virtual bool playing() const = 0; // the port is open to the line
    // Records c leaving the wire while the device holds off or not; whether the device took it.
    virtual bool record(char c, bool held) = 0;
    // Instants up to `now` at which the driver changes, and what it does at every edge.
    virtual void addEdges(std::vector<Clock::time_point> &, Clock::time_point) const {}
    virtual void reached(Clock::time_point) {}

    const ClockSource m_clock;
    bool m_unplugged = false;
    Clock::time_point m_last;
    Clock::time_point m_openedAt{};
    std::deque<char> m_queue;
    std::deque<char> m_buffer;
    std::deque<char> m_hardware;
    QByteArray m_input;    // what the device echoed and the port has not read
    QByteArray m_received; // what the device took

private:
    struct Window {
        Clock::duration from;
        Clock::duration until;
    };
    std::vector<Clock::time_point> edges(Clock::time_point now) const;
    void fill(const Line &line, bool held);
    void send(Clock::duration span, bool held);
    bool throttled(const Line &line) const;

    std::vector<Window> m_holdOffs;
    std::optional<Clock::duration> m_unplugAt;
    double m_credit = 0;
};
