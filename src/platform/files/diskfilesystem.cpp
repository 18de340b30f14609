#include "platform/files/diskfilesystem.h"

#include <cerrno>
#include <limits>

#include "platform/files/disktextstream.h"
#include "platform/files/fileinfo.h"
#include "platform/operatorerror.h"

qint32 DiskFileSystem::fileSize(const QString &path)
{
    if (path.isEmpty())
        throw OperatorError(QStringLiteral("No file chosen. Click Browse and choose the file to "
                                           "upload."));
    const FileInfo info = examineFile(path);
    if (info.error == ENOENT || info.error == ENOTDIR)
        throw OperatorError(QStringLiteral("File not found: %1").arg(path));
    if (info.error)
        throw OperatorError(
            QStringLiteral("Cannot read %1: %2").arg(path, systemReason(info.error)));
    // A folder, a FIFO or a device would block or never end; only plain files are uploaded.
    if (info.folder)
        throw OperatorError(QStringLiteral("Cannot read %1: %2").arg(path, systemReason(EISDIR)));
    if (!info.regular)
        throw OperatorError(QStringLiteral("Cannot read %1: not a regular file").arg(path));
    if (info.size > std::numeric_limits<qint32>::max())
        throw OperatorError(QStringLiteral("%1 is too large to upload: %2 bytes, at most %3.")
                                .arg(path)
                                .arg(info.size)
                                .arg(std::numeric_limits<qint32>::max()));
    return qint32(info.size);
}

std::unique_ptr<TextStream> DiskFileSystem::openTextFile(const QString &path)
{
    return std::make_unique<DiskTextStream>(path);
}
