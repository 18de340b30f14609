#include "platform/files/diskfilesystem.h"

#include <cerrno>
#include <limits>

#include <sys/stat.h>

#include <QFile>

#include "platform/files/disktextstream.h"
#include "platform/operatorerror.h"

qint32 DiskFileSystem::fileSize(const QString &path)
{
    if (path.isEmpty())
        throw OperatorError(QStringLiteral("No file chosen. Click Browse and choose the file to "
                                           "upload."));
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            throw OperatorError(QStringLiteral("File not found: %1").arg(path));
        throw OperatorError(QStringLiteral("Cannot read %1: %2").arg(path, systemReason(err)));
    }
    // A folder, a FIFO or a device would block or never end; only plain files are uploaded.
    if (S_ISDIR(info.st_mode))
        throw OperatorError(QStringLiteral("Cannot read %1: %2").arg(path, systemReason(EISDIR)));
    if (!S_ISREG(info.st_mode))
        throw OperatorError(QStringLiteral("Cannot read %1: not a regular file").arg(path));
    if (info.st_size > std::numeric_limits<qint32>::max())
        throw OperatorError(QStringLiteral("%1 is too large to upload: %2 bytes, at most %3.")
                                .arg(path)
                                .arg(qint64(info.st_size))
                                .arg(std::numeric_limits<qint32>::max()));
    return qint32(info.st_size);
}

std::unique_ptr<TextStream> DiskFileSystem::openTextFile(const QString &path)
{
    return std::make_unique<DiskTextStream>(path);
}
