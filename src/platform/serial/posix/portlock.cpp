#include "platform/serial/posix/portlock.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QFile>

#include "platform/operatorerror.h"

namespace {

// What a lock file says: whether there is one, the pid it names (0 when none can be read), and
// whether it was written within kYoungLock.
struct LockFile {
    bool exists = false;
    qint64 pid = 0;
    bool young = false;
    int unreadable = 0; // the errno of a lock that could not be looked at or read
};

LockFile readLock(const QByteArray &path)
{
    LockFile lock;
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) {
        // Only "no such file" says there is no lock; anything else hides one.
        lock.exists = errno != ENOENT && errno != ENOTDIR;
        lock.unreadable = lock.exists ? errno : 0;
        return lock;
    }
    lock.exists = true;
    lock.young = std::time(nullptr) - info.st_mtime < PortLock::kYoungLock.count();
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        lock.unreadable = errno;
        return lock;
    }
    char text[64] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return lock;
    // A binary pid is 4 bytes in the machine's order. Pids stay below 2^22 (PID_MAX_LIMIT in
    // include/linux/threads.h), so its top byte is always 0, and a text lock never holds a NUL.
    // The NUL decides, not the first byte: pid 8498 is "2!\0\0", which read as text names pid 2.
    if (got == 4 && std::memchr(text, '\0', 4) != nullptr) {
        qint32 binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        lock.pid = binary > 0 ? binary : 0;
        return lock;
    }
    const char *at = text;
    while (*at == ' ' || *at == '\t')
        ++at;
    qint64 pid = 0;
    while (*at >= '0' && *at <= '9' && pid < 1'000'000'000)
        pid = pid * 10 + (*at++ - '0');
    lock.pid = pid;
    return lock;
}

// A live process, or one this user may not probe (EPERM), or any answer but "no such process".
bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

// A lock nobody can tell the owner of counts as held: removing it could take another program's
// port.
bool live(const LockFile &lock)
{
    if (lock.unreadable)
        return true;
    return lock.pid > 0 ? processAlive(lock.pid) : lock.young;
}

[[noreturn]] void inUse(const QString &port, qint64 pid)
{
    if (pid > 0)
        throw OperatorError(
            QStringLiteral("%1 is in use by another program (process %2).").arg(port).arg(pid));
    throw OperatorError(QStringLiteral("%1 is in use by another program.").arg(port));
}

} // namespace

PortLock::PortLock(QString folder) : m_folder(std::move(folder)) {}

PortLock::~PortLock()
{
    release();
}

PortLock::PortLock(PortLock &&other) noexcept
    : m_folder(std::move(other.m_folder)), m_held(std::exchange(other.m_held, {}))
{}

PortLock &PortLock::operator=(PortLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_folder = std::move(other.m_folder);
        m_held = std::exchange(other.m_held, {});
    }
    return *this;
}

QString PortLock::lockName(dev_t device)
{
    return QStringLiteral("LCK.%1.%2")
        .arg(major(device), 3, 10, QLatin1Char('0'))
        .arg(minor(device), 3, 10, QLatin1Char('0'));
}

QString PortLock::lockName(const QString &devicePath)
{
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

// A stale lock is renamed aside before it is removed: what was renamed is read again, and if it
// is not the stale lock (another program replaced it in between), it is put back.
void PortLock::checkOrClear(const QString &path, const QString &port) const
{
    const QByteArray name = QFile::encodeName(path);
    const LockFile lock = readLock(name);
    if (!lock.exists)
        return;
    if (lock.unreadable)
        throw OperatorError(QStringLiteral("%1 may be in use by another program: its lock file %2 "
                                           "cannot be read (%3). Ask the administrator to check "
                                           "it, then upload again.")
                                .arg(port, path, systemReason(lock.unreadable)));
    if (live(lock))
        inUse(port, lock.pid);
    const QByteArray aside = name + ".stale." + QByteArray::number(qint64(::getpid()));
    if (::rename(name.constData(), aside.constData()) != 0) {
        if (errno == ENOENT)
            return; // gone meanwhile
        throw OperatorError(
            QStringLiteral("%1 has a lock file left by a program that has ended%2, "
                           "which this user may not remove: %3. Remove it, then "
                           "upload again.")
                .arg(port, lock.pid > 0 ? QStringLiteral(" (process %1)").arg(lock.pid) : QString(),
                     path));
    }
    const LockFile moved = readLock(aside);
    if (live(moved)) {
        // Put back. Should a third lock have appeared meanwhile, that one holds the port, and the
        // live lock we moved stays where it is rather than be lost.
        if (::link(aside.constData(), name.constData()) == 0)
            ::unlink(aside.constData());
        inUse(port, moved.pid);
    }
    ::unlink(aside.constData());
}

void PortLock::acquire(const QStringList &devicePaths, const QString &port, dev_t device)
{
    release();
    QStringList names;
    for (const QString &path : devicePaths)
        names.append(lockName(path));
    if (device != 0)
        names.append(lockName(device));
    names.removeDuplicates();
    for (const QString &name : names)
        checkOrClear(m_folder + QLatin1Char('/') + name, port);
    // Each name is taken: a program that opens the port through the link checks the link's
    // name only.
    try {
        for (const QString &name : names)
            take(m_folder + QLatin1Char('/') + name, port);
    } catch (...) {
        release();
        throw;
    }
}

void PortLock::take(const QString &path, const QString &port)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray aside = target + ".new." + QByteArray::number(qint64(::getpid()));
    ::unlink(aside.constData());
    const int fd = ::open(aside.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return; // no lock folder we may write to
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10) + '\n';
    const bool written =
        ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    ::close(fd);
    const bool linked = written && ::link(aside.constData(), target.constData()) == 0;
    const int err = errno;
    ::unlink(aside.constData());
    if (linked)
        m_held.append(path);
    else if (written && err == EEXIST) // another program took it between our check and our link
        inUse(port, readLock(target).pid);
}

void PortLock::release() noexcept
{
    for (const QString &path : std::as_const(m_held))
        ::unlink(QFile::encodeName(path).constData());
    m_held.clear();
}
