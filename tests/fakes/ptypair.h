#pragma once
// A pseudo-terminal pair the test owns: the port under test opens the slave's path, the test
// plays the device on the master. The test keeps its own slave descriptor open, so the pair
// lives until the test ends, and can hold off the port's output with tcflow(), as a device
// does with CTS.

#include <QString>

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }
    int slaveFd() const { return m_slave; }

    void holdOff();
    void release();
    // Closes the device end: the port sees a hang-up, as when a USB adapter is pulled.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
