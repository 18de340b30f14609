#pragma once
// A pseudo-terminal pair that plays a device: the port under test opens the slave's path, the
// device end is the master. Both ends are raw, so bytes pass unchanged, and the master does not
// block. Holding off stops the slave's output with tcflow(), as a device does with CTS;
// unplugging closes the master, which hangs the slave up as pulling a USB adapter does. Used by
// the device simulator, the benchmark and the tests.

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
    // All that the device end holds now.
    std::string received() const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};
