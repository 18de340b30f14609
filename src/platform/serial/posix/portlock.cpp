#include "platform/serial/posix/portlock.h"

#include <cerrno>
#include <csignal>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "platform/operatorerror.h"

namespace {

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

[[noreturn]] void inUse(const QString &port, qint64 pid)
{
    throw OperatorError(
        QStringLiteral("%1 is in use by another program (process %2).").arg(port).arg(pid));
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

QString PortLock::lockPath(const QString &deviceName) const
{
    return m_folder + QStringLiteral("/LCK..") + QFileInfo(deviceName).fileName();
}

qint64 PortLock::liveOwner(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const qint64 pid = file.readLine(64).trimmed().toLongLong();
    if (processAlive(pid))
        return pid;
    file.close();
    QFile::remove(path); // stale: its program has ended
    return 0;
}

void PortLock::acquire(const QStringList &deviceNames, const QString &port)
{
    release();
    for (const QString &name : deviceNames)
        if (const qint64 pid = liveOwner(lockPath(name)))
            inUse(port, pid);

    const QString path = lockPath(deviceNames.value(0));
    const QByteArray target = QFile::encodeName(path);
    const QByteArray aside = QFile::encodeName(path + QStringLiteral(".%1").arg(::getpid()));
    const int fd = ::open(aside.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return; // no lock folder we may write to
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10) + '\n';
    const bool written =
        ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    ::close(fd);
    const bool linked = written && ::link(aside.constData(), target.constData()) == 0;
    const int err = errno;
    ::unlink(aside.constData());
    if (linked) {
        m_held = path;
    } else if (written && err == EEXIST) {
        // Another program took it between our check and our link.
        if (const qint64 pid = liveOwner(path))
            inUse(port, pid);
    }
}

void PortLock::release() noexcept
{
    if (m_held.isEmpty())
        return;
    ::unlink(QFile::encodeName(m_held).constData());
    m_held.clear();
}
