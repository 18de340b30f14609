#pragma once
// The files room: reading the download file. May include Qt Core and platform/operatorerror.h.
//
// File access the upload needs: a file's size and the file opened as a stream of lines.

#include <memory>

#include <QString>
#include <QtGlobal>

#include "platform/files/textstream.h"

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // The size in bytes; a file too large for a signed 32-bit count is an error.
    virtual qint32 fileSize(const QString &path) = 0;
    virtual std::unique_ptr<TextStream> openTextFile(const QString &path) = 0;
};
