#pragma once
// The UUCP lock files through which serial programs (minicom, picocom, screen, Qt Serial Port,
// ...) keep out of each other's ports: /var/lock/LCK..ttyUSB0 names the process that holds
// /dev/ttyUSB0. A node in a sub-folder of /dev takes its path below /dev with '/' as '_'
// (LCK..pts_0 for /dev/pts/0), as Qt Serial Port names it (serialPortLockFilePath() in
// qserialport_unix.cpp); a node outside /dev takes its whole path the same way.
//
// Writers differ: lockdev and Taylor UUCP write the pid as ten characters and a newline, minicom
// adds its name and the user on the same line, QLockFile puts the application and host on lines
// of their own, and old systems wrote the pid as 4 binary bytes. The pid is the leading decimal
// number after optional blanks, or those 4 bytes. A lock whose process is alive, or cannot be
// probed, means the port is in use; so does one without a pid while it is young (its program
// may still be writing it), and one that cannot be read or looked at at all, whatever its age.
// lockdev also names a lock after the device number, SVr4 style (LCK.188.000 for 188:0): the
// only name that catches a port opened through another path (/dev/serial/by-id/...); it is
// checked and taken too, as is a link's own name (LCK..COM2 for /dev/COM2). Only a lock that is
// surely stale is removed, and so that a fresh lock put in its place meanwhile survives. Ours is
// made atomically (written aside, then linked into place) and removed by release(). A lock folder
// this user cannot write to is no error: the port still takes flock() and the kernel's exclusive
// mode.

#include <chrono>

#include <sys/types.h>

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

    // Checks the locks named after each device path (the real node first, then any link to it)
    // and after the device number, where there is one, and takes them all. Throws an OperatorError
    // naming the port when another program holds one of them.
    void acquire(const QStringList &devicePaths, const QString &port, dev_t device = 0);
    void release() noexcept;

    // The lock file's name for a device path: "LCK..ttyUSB0", "LCK..pts_0".
    static QString lockName(const QString &devicePath);
    // The SVr4 name for a device number: "LCK.188.000".
    static QString lockName(dev_t device);

    // How long a lock without a readable pid counts as one being written.
    static constexpr std::chrono::seconds kYoungLock{5};

private:
    // Throws when another program holds the lock at path; removes it when it is stale.
    void checkOrClear(const QString &path, const QString &port) const;

    void take(const QString &path, const QString &port);

    QString m_folder;
    QStringList m_held;
};
