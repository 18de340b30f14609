#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/withoutcapabilities.h"

#include <atomic>
#include <cerrno>
#include <functional>
#include <csignal>
#include <mutex>
#include <thread>

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

int result(int returned)
{
    return returned < 0 ? -errno : returned;
}

// A read() or write() that a signal interrupted before it moved anything is made again.
qint64 retried(const std::function<ssize_t()> &call)
{
    for (;;) {
        if (const ssize_t moved = call(); moved >= 0 || errno != EINTR)
            return moved >= 0 ? moved : -errno;
    }
}

int ioctlResult(int fd, unsigned long request, void *argument)
{
    return ::ioctl(fd, request, argument) < 0 ? -errno : 0;
}

// tcdrain() sleeps in tty_wait_until_sent() (drivers/tty/tty_ioctl.c), and for usb-serial in
// usb_serial_generic_wait_until_sent() (drivers/usb/serial/generic.c), which polls the chip until
// its buffer is empty; close() sleeps in the same tty_wait_until_sent() for up to closing_wait
// (tty_port_close_start() in drivers/tty/tty_port.c). All these sleeps are interruptible. A
// signal whose handler is installed without SA_RESTART therefore ends the wait: tcdrain() returns
// EINTR, and close() goes on to shut the port down at once (the descriptor is released either
// way).
constexpr int kWakeSignal = SIGUSR2;

void ignoreWake(int) {}

void installWakeHandler()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = ignoreWake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the waiting call returns EINTR
        ::sigaction(kWakeSignal, &action, nullptr);
    });
}

// A call made on a thread of its own, which interrupt() can wake from a kernel wait. The thread
// owns its state, so a call that outlives this object still ends cleanly.
class ThreadCall final : public TtyCall {
public:
    explicit ThreadCall(std::function<int()> call) : m_state(std::make_shared<State>())
    {
        installWakeHandler();
        m_thread = std::thread([state = m_state, call = std::move(call)] {
            // The wake signal must reach this thread, whatever mask it inherited.
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, kWakeSignal);
            ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
            state->native = ::pthread_self();
            state->started = true;
            state->result = call();
            state->done = true;
        });
    }

    ~ThreadCall() override
    {
        interrupt();
        // On its own thread (its work let go of the last hold on it), it cannot wait for itself.
        if (m_state->done && m_thread.get_id() != std::this_thread::get_id())
            m_thread.join();
        else
            m_thread.detach();
    }

    std::optional<int> result() override
    {
        return m_state->done ? std::optional<int>(m_state->result) : std::nullopt;
    }

    // A signal sent before the thread has entered the call is lost, so the caller sends it
    // again until the call has returned.
    void interrupt() override
    {
        if (m_state->started && !m_state->done)
            ::pthread_kill(m_state->native, kWakeSignal);
    }

private:
    struct State {
        std::atomic<bool> started{false};
        std::atomic<bool> done{false};
        std::atomic<int> result{0};
        pthread_t native{};
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace

// Each line of /proc/locks reads "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF": the holder's
// pid, then the device of the inode's file system as hex major:minor and the inode
// (lock_get_status() in fs/locks.c). A waiter's line has "->" after the number: it holds
// nothing. The pid is -1 for an open file description lock (F_OFD_SETLK, which
// locks_translate_pid() names no process for) and 0 for a holder outside this process's pid
// namespace (a program in another container or sandbox): both hold the port all the same, and
// neither conflicts with our flock(), so only this look can see them.
pid_t KernelTty::holderIn(const QByteArray &procLocks, dev_t fileSystem, ino_t inode)
{
    const QByteArray wanted = QByteArray::number(major(fileSystem), 16).rightJustified(2, '0') +
                              ':' +
                              QByteArray::number(minor(fileSystem), 16).rightJustified(2, '0') +
                              ':' + QByteArray::number(quint64(inode));
    for (const QByteArray &line : procLocks.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1) != "->" && fields.at(5) == wanted) {
            const qint64 pid = fields.at(4).toLongLong();
            return pid > 0 ? pid_t(pid) : kUnnamedHolder;
        }
    }
    return 0;
}

pid_t KernelTty::lockHolder(const QByteArray &path)
{
    struct stat node {};
    if (::stat(path.constData(), &node) < 0)
        return 0;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    return holderIn(locks.readAll(), node.st_dev, node.st_ino);
}

QByteArray KernelTty::kernelRelease()
{
    utsname names{};
    return ::uname(&names) == 0 ? QByteArray(names.release) : QByteArray();
}

std::unique_ptr<TtyCall> KernelTty::aside(std::function<void()> work)
{
    return std::make_unique<ThreadCall>([work = std::move(work)] {
        work();
        return 0;
    });
}

// A port another program holds in exclusive mode (TIOCEXCL) refuses open() with EBUSY, except
// to a caller with CAP_SYS_ADMIN (tty_reopen() in drivers/tty/tty_io.c); but an open that
// succeeds raises that program's DTR and RTS. So root opens without that capability too.
int KernelTty::open(const QByteArray &path)
{
    const WithoutCapabilities lowered{CAP_SYS_ADMIN};
    return result(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

std::unique_ptr<TtyCall> KernelTty::close(int fd)
{
    return std::make_unique<ThreadCall>([fd] { return result(::close(fd)); });
}

int KernelTty::deviceNumber(int fd, dev_t &device)
{
    struct stat info {};
    if (::fstat(fd, &info) < 0)
        return -errno;
    device = info.st_rdev;
    return 0;
}

// /sys/dev/char/<major>:<minor> is the tty's class device; its device/driver link names the
// driver that serves the port (for a usb-serial port, the usb-serial driver, e.g. ftdi_sio).
QByteArray KernelTty::driverName(dev_t device)
{
    const QByteArray link = "/sys/dev/char/" + QByteArray::number(major(device)) + ':' +
                            QByteArray::number(minor(device)) + "/device/driver";
    char target[512];
    const ssize_t size = ::readlink(link.constData(), target, sizeof target - 1);
    if (size <= 0)
        return {};
    const QByteArray path(target, size);
    return path.mid(path.lastIndexOf('/') + 1);
}

int KernelTty::lock(int fd)
{
    return result(::flock(fd, LOCK_EX | LOCK_NB));
}

int KernelTty::isExclusive(int fd, bool &exclusive)
{
    int state = 0;
    const int returned = ioctlResult(fd, TIOCGEXCL, &state);
    exclusive = state != 0;
    return returned;
}

int KernelTty::setExclusive(int fd, bool exclusive)
{
    return ioctlResult(fd, exclusive ? TIOCEXCL : TIOCNXCL, nullptr);
}

int KernelTty::getAttributes(int fd, termios &settings)
{
    return result(::tcgetattr(fd, &settings));
}

int KernelTty::setAttributes(int fd, const termios &settings)
{
    return result(::tcsetattr(fd, TCSANOW, &settings));
}

qint64 KernelTty::write(int fd, const char *data, qint64 size)
{
    return retried([&] { return ::write(fd, data, size_t(size)); });
}

qint64 KernelTty::read(int fd, char *data, qint64 size)
{
    return retried([&] { return ::read(fd, data, size_t(size)); });
}

int KernelTty::queued(int fd, int &count)
{
    return ioctlResult(fd, TIOCOUTQ, &count);
}

int KernelTty::transmitterEmpty(int fd, bool &empty)
{
    unsigned int status = 0;
    const int returned = ioctlResult(fd, TIOCSERGETLSR, &status);
    empty = (status & TIOCSER_TEMT) != 0;
    return returned;
}

std::unique_ptr<TtyCall> KernelTty::drain(int fd)
{
    return std::make_unique<ThreadCall>([fd] { return result(::tcdrain(fd)); });
}

int KernelTty::modemLines(int fd, int &lines)
{
    return ioctlResult(fd, TIOCMGET, &lines);
}

// The call works on a descriptor of its own, closed when it returns, so that it never asks a
// descriptor that has meanwhile been closed, or reused for another file.
std::unique_ptr<TtyCall> KernelTty::queryModemLines(int fd)
{
    return std::make_unique<ThreadCall>([copy = ::dup(fd)] {
        if (copy < 0)
            return -errno;
        int lines = 0;
        const int returned = ioctlResult(copy, TIOCMGET, &lines);
        ::close(copy);
        return returned < 0 ? returned : lines;
    });
}

int KernelTty::flushOutput(int fd)
{
    return result(::tcflush(fd, TCOFLUSH));
}

int KernelTty::hungUp(int fd, bool &hungUp)
{
    pollfd watch{fd, POLLOUT, 0};
    if (::poll(&watch, 1, 0) < 0)
        return -errno;
    hungUp = (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    return 0;
}
