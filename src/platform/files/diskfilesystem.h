#pragma once
// File access on the local file system.

#include "platform/files/filesystem.h"

class DiskFileSystem final : public FileSystem {
public:
    qint32 fileSize(const QString &path) override;
    std::unique_ptr<TextStream> openTextFile(const QString &path) override;
};
