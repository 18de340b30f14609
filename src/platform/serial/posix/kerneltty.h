#pragma once
// The terminal calls made on the kernel. Two of them would block the window where a device holds
// CTS low, tcdrain() and close(); each runs on a thread of its own, which a signal wakes from
// the kernel's wait when the caller gives up on it.

#include "platform/serial/posix/tty.h"

class KernelTty : public Tty {
public:
    int open(const QByteArray &path) override;
    std::unique_ptr<TtyCall> close(int fd) override;
    pid_t lockHolder(const QByteArray &path) override;
    QByteArray kernelRelease() override;
    std::unique_ptr<TtyCall> aside(std::function<void()> work) override;
    // The holder of a lock on the file (fileSystem, inode) among the lines of /proc/locks.
    static pid_t holderIn(const QByteArray &procLocks, dev_t fileSystem, ino_t inode);
    int deviceNumber(int fd, dev_t &device) override;
    QByteArray driverName(dev_t device) override;
    int lock(int fd) override;
    int isExclusive(int fd, bool &exclusive) override;
    int setExclusive(int fd, bool exclusive) override;
    int getAttributes(int fd, termios &settings) override;
    int setAttributes(int fd, const termios &settings) override;
    qint64 write(int fd, const char *data, qint64 size) override;
    qint64 read(int fd, char *data, qint64 size) override;
    int queued(int fd, int &count) override;
    int transmitterEmpty(int fd, bool &empty) override;
    std::unique_ptr<TtyCall> drain(int fd) override;
    int modemLines(int fd, int &lines) override;
    std::unique_ptr<TtyCall> queryModemLines(int fd) override;
    int flushOutput(int fd) override;
    int hungUp(int fd, bool &hungUp) override;
    int watchable(int fd) const override { return fd; }
    Clock::time_point now() const override { return Clock::now(); }
};
