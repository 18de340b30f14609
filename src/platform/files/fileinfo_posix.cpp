#include "platform/files/fileinfo.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>

namespace {

FileInfo facts(int result, const struct stat &info)
{
    if (result != 0)
        return {errno, false, false, 0, 0};
    return {0, S_ISDIR(info.st_mode), S_ISREG(info.st_mode), qint64(info.st_size),
            qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

} // namespace

FileInfo examineFile(const QString &path)
{
    struct stat info {};
    return facts(::stat(QFile::encodeName(path).constData(), &info), info);
}

FileInfo examineOpenFile(int fd)
{
    struct stat info {};
    return facts(::fstat(fd, &info), info);
}

int openForReading(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}
