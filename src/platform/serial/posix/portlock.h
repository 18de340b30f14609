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
// probed, means the port is in use; so does one without a readable pid while it is young (its
// program may still be writing it). Only a lock that is surely stale is removed, and so that a
// fresh lock put in its place meanwhile survives. Ours is made atomically (written aside, then
// linked into place) and removed by release(). A lock folder this user cannot write to is no
// error: the port still takes flock() and the kernel's exclusive mode.

#include <chrono>

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
    // and takes the one of the first. Throws an OperatorError naming the port when another
    // program holds one of them.
    void acquire(const QStringList &devicePaths, const QString &port);
    void release() noexcept;

    // The lock file's name for a device path: "LCK..ttyUSB0", "LCK..pts_0".
    static QString lockName(const QString &devicePath);

    // How long a lock without a readable pid counts as one being written.
    static constexpr std::chrono::seconds kYoungLock{5};

private:
    // Throws when another program holds the lock at path; removes it when it is stale.
    void checkOrClear(const QString &path, const QString &port) const;

    QString m_folder;
    QString m_held;
};
