#include "platform/files/fileinfo.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

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

// The handle's own standard and basic information: its size and its last write time in 100 ns
// steps (the CRT's stat keeps seconds). GetFileInformationByHandle() would also ask for the
// volume's serial number, which Wine answers through its mount manager in another process, and
// this is asked again and again while a file is sent.
FileInfo examineOpenFile(int fd)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (handle == INVALID_HANDLE_VALUE)
        return {EBADF, false, false, 0, 0};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return {::GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO, false, false, 0, 0};
    const bool folder = standard.Directory != FALSE;
    return {0, folder, !folder && ::GetFileType(handle) == FILE_TYPE_DISK,
            qint64(standard.EndOfFile.QuadPart), qint64(basic.LastWriteTime.QuadPart) * 100};
}

int openForReading(const QString &path)
{
    const int fd = ::_wopen(path.toStdWString().c_str(), _O_RDONLY | _O_BINARY);
    return fd >= 0 ? fd : -errno;
}
