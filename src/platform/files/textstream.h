#pragma once
// A download file open for reading, line by line, as bytes.

#include <QByteArray>

class TextStream {
public:
    virtual ~TextStream() = default;

    virtual bool atEnd() = 0;
    // The next line without its line end; empty at the end of the file.
    virtual QByteArray readLine() = 0;
    virtual void close() noexcept = 0;
};
