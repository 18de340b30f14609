#include "platform/serial/posix/kerneltty.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int result(int returned)
{
    return returned < 0 ? -errno : returned;
}

int ioctlResult(int fd, unsigned long request, void *argument)
{
    return ::ioctl(fd, request, argument) < 0 ? -errno : 0;
}

// tcdrain() sleeps in tty_wait_until_sent() (drivers/tty/tty_ioctl.c), and for usb-serial in
// usb_serial_generic_wait_until_sent() (drivers/usb/serial/generic.c), which polls the chip until
// its buffer is empty; both sleeps are interruptible. A signal whose handler is installed
// without SA_RESTART therefore makes the call return EINTR, which ends a drain at the deadline.
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

class ThreadDrain final : public TtyDrain {
public:
    explicit ThreadDrain(int fd) : m_state(std::make_shared<State>())
    {
        installWakeHandler();
        m_thread = std::thread([state = m_state, fd] {
            state->native = ::pthread_self();
            state->started = true;
            const int returned = ::tcdrain(fd) < 0 ? -errno : 0;
            state->result = returned;
            state->done = true;
        });
    }

    ~ThreadDrain() override
    {
        // A signal sent before the thread has entered tcdrain() is lost, so it is sent again
        // until the call has returned.
        for (int tries = 0; !m_state->done && tries < 200; ++tries) {
            if (m_state->started)
                ::pthread_kill(m_state->native, kWakeSignal);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (m_state->done)
            m_thread.join();
        else
            m_thread.detach(); // it owns its state and ends when the kernel returns
    }

    std::optional<int> result() override
    {
        if (!m_state->done)
            return std::nullopt;
        return m_state->result.load();
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

int KernelTty::open(const QByteArray &path)
{
    return result(::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

int KernelTty::close(int fd)
{
    struct Closing {
        std::mutex mutex;
        std::condition_variable done;
        bool closed = false;
        int result = 0;
    };
    auto closing = std::make_shared<Closing>();
    std::thread([closing, fd] {
        const int returned = ::close(fd) < 0 ? -errno : 0;
        std::lock_guard lock(closing->mutex);
        closing->closed = true;
        closing->result = returned;
        closing->done.notify_all();
    }).detach();
    std::unique_lock lock(closing->mutex);
    if (closing->done.wait_for(lock, kCloseWait, [&] { return closing->closed; }))
        return closing->result == -EINTR ? 0 : closing->result;
    return 0;
}

int KernelTty::deviceNumber(int fd, dev_t &device)
{
    struct stat info {};
    if (::fstat(fd, &info) < 0)
        return -errno;
    device = info.st_rdev;
    return 0;
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
    for (;;) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written >= 0)
            return written;
        if (errno != EINTR)
            return -errno;
    }
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

std::unique_ptr<TtyDrain> KernelTty::drain(int fd)
{
    return std::make_unique<ThreadDrain>(fd);
}

int KernelTty::modemLines(int fd, int &lines)
{
    return ioctlResult(fd, TIOCMGET, &lines);
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
