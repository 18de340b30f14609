#pragma once
// A pseudo-terminal pair that plays a device: the port under test opens the slave's path, the
// device end is the master. Both ends are raw, so bytes pass unchanged, and the master does not
// block. Holding off stops the slave's output with tcflow(), as a device does with CTS;
// unplugging closes the master, which hangs the slave up as pulling a USB adapter does. A device
// that answers sends back what it takes (pump()); it takes no more while its answer waits, as a
// device does whose host has lowered RTS. Used by the device simulator, the benchmark and the
// tests.

#include <cstdint>
#include <string>

class PtyDevice {
public:
    PtyDevice(); // throws std::runtime_error when no pseudo-terminal can be made
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    const std::string &path() const { return m_path; }
    int master() const { return m_master; }

    void holdOff(bool held);
    void unplug();
    // What the device took: all that pump() read, and what the device end holds now, up to
    // `most` bytes.
    std::string received(std::size_t most = SIZE_MAX);
    // Takes what the port sent so far, up to `most` bytes, and with echo on sends it back as far
    // as the port's side has room; returns the bytes taken.
    std::size_t pump(std::size_t most = SIZE_MAX);
    bool echo = false;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::string m_taken;
    std::string m_answer; // echo not yet sent back
};
