#pragma once
// The terminal calls made on the kernel. Two of them would block the window where a device holds
// CTS low, and are kept off the caller's thread:
// - tcdrain() runs on a thread of its own, which a signal ends when the caller gives up;
// - close() runs on a thread of its own and is waited for only briefly, since the kernel's
//   closing wait (30 s by default) still lets a held-off adapter finish what it holds.

#include "platform/serial/posix/tty.h"

class KernelTty final : public Tty {
public:
    int open(const QByteArray &path) override;
    int close(int fd) override;
    int deviceNumber(int fd, dev_t &device) override;
    int lock(int fd) override;
    int isExclusive(int fd, bool &exclusive) override;
    int setExclusive(int fd, bool exclusive) override;
    int getAttributes(int fd, termios &settings) override;
    int setAttributes(int fd, const termios &settings) override;
    qint64 write(int fd, const char *data, qint64 size) override;
    int queued(int fd, int &count) override;
    int transmitterEmpty(int fd, bool &empty) override;
    std::unique_ptr<TtyDrain> drain(int fd) override;
    int modemLines(int fd, int &lines) override;
    int flushOutput(int fd) override;
    int hungUp(int fd, bool &hungUp) override;
    int watchable(int fd) const override { return fd; }
    Clock::time_point now() const override { return Clock::now(); }

    // How long close() waits for the kernel before it lets the close finish on its own.
    static constexpr std::chrono::milliseconds kCloseWait{200};
};
