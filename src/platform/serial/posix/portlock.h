#pragma once
// The UUCP lock files through which serial programs (minicom, picocom, screen, Qt Serial Port,
// ...) keep out of each other's ports: /var/lock/LCK..ttyUSB0 holds the owner's process id,
// either as ten characters and a newline or, as Qt writes it, on the first of several lines.
// A lock whose process is alive means the port is in use; only a dead process's lock is
// removed. Ours is made atomically (written aside, then linked into place) and removed by
// release(). A lock folder this user cannot write to is no error: the port still takes flock()
// and the kernel's exclusive mode.

#include <QString>
#include <QStringList>

class PortLock {
public:
    explicit PortLock(QString folder = QStringLiteral("/var/lock"));
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;
    PortLock(PortLock &&other) noexcept;
    PortLock &operator=(PortLock &&other) noexcept;

    // Checks the locks named after each device name (the real node first, then any link to it)
    // and takes the one of the first. Throws an OperatorError naming the port when a live
    // process holds one of them.
    void acquire(const QStringList &deviceNames, const QString &port);
    void release() noexcept;

private:
    QString lockPath(const QString &deviceName) const;
    // The live process that holds the lock at path, or 0; a dead process's lock is removed.
    qint64 liveOwner(const QString &path) const;

    QString m_folder;
    QString m_held;
};
