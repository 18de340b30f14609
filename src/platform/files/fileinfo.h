#pragma once
// What the operating system says about a file, as the file reading needs it. Each system has
// its own calls (fileinfo_posix.cpp, fileinfo_windows.cpp).

#include <QString>
#include <QtGlobal>

struct FileInfo {
    int error = 0; // an errno value; 0 when the file could be examined
    bool folder = false;
    bool regular = false;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds since the epoch, as precise as the system keeps it
};

// The file at path, following links.
FileInfo examineFile(const QString &path);
// The file an open descriptor reads, whatever name it has now.
FileInfo examineOpenFile(int fd);
// A descriptor open for reading bytes, or -errno.
int openForReading(const QString &path);
