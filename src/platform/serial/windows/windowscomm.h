#pragma once
// The Win32 communications calls made on the system. FlushFileBuffers() blocks for as long as
// the device holds off, so it runs on a thread of its own that CancelSynchronousIo() ends when
// the caller gives up on it. Writes are overlapped, each with an event the event loop can wait
// on.

#include "platform/serial/windows/comm.h"

class WindowsComm final : public Comm {
public:
    WindowsComm();

    CommError open(const QString &path, Handle &handle) override;
    void close(Handle handle) override;
    CommError getState(Handle handle, CommSettings &settings) override;
    CommError setState(Handle handle, const CommSettings &settings) override;
    CommError setTimeouts(Handle handle) override;
    CommError write(Handle handle, const QByteArray &data,
                    std::unique_ptr<CommWrite> &started) override;
    CommError clearError(Handle handle, CommStatus &status) override;
    CommError modemStatus(Handle handle, bool &clearToSend) override;
    CommError purge(Handle handle, bool output, bool input) override;
    std::unique_ptr<CommFlush> flush(Handle handle) override;
    bool underWine() const override { return m_underWine; }
    QString errorText(CommError error) const override;
    Clock::time_point now() const override { return Clock::now(); }

private:
    bool m_underWine = false;
};
