#include "platform/files/fileinfo.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

// The last write time from the handle itself, in 100 ns steps (the CRT's stat keeps seconds).
qint64 lastWrite(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return 0;
    const quint64 ticks =
        (quint64(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    return qint64(ticks) * 100;
}

FileInfo facts(int result, const struct _stat64 &info)
{
    if (result != 0)
        return {errno, false, false, 0, 0};
    return {0, (info.st_mode & _S_IFMT) == _S_IFDIR, (info.st_mode & _S_IFMT) == _S_IFREG,
            qint64(info.st_size), qint64(info.st_mtime) * 1'000'000'000};
}

} // namespace

FileInfo examineFile(const QString &path)
{
    struct _stat64 info {};
    return facts(::_wstat64(path.toStdWString().c_str(), &info), info);
}

FileInfo examineOpenFile(int fd)
{
    struct _stat64 info {};
    FileInfo file = facts(::_fstat64(fd, &info), info);
    if (file.error == 0)
        file.modified = lastWrite(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)));
    return file;
}

int openForReading(const QString &path)
{
    const int fd = ::_wopen(path.toStdWString().c_str(), _O_RDONLY | _O_BINARY);
    return fd >= 0 ? fd : -errno;
}
