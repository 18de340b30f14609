#pragma once
// The Win32 communications calls made on the system. Writes are overlapped, each with an event
// the event loop can wait on; the close, which may wait for the device, runs on a thread of its
// own (ThreadClosing). FlushFileBuffers() is never called: KMDF drivers without a flush handler
// refuse it (Microsoft's page "Handling an IRP that the framework does not support"), others hold
// it while the device holds off, and an empty count followed by the time on the wire says as
// much.

#include <map>

#include "platform/serial/windows/comm.h"

class WindowsComm final : public Comm {
public:
    WindowsComm();

    std::unique_ptr<CommOpening> open(const QString &path) override;
    std::unique_ptr<CommClosing> close(Handle handle, const QString &path, bool purge,
                                       std::unique_ptr<CommWrite> write) override;
    bool closingInThisProgram(const QString &path) override;
    QList<CommPortEntry> listPorts() override;
    CommError getState(Handle handle, CommSettings &settings) override;
    CommError setState(Handle handle, const CommSettings &settings) override;
    CommError setTimeouts(Handle handle) override;
    CommError write(Handle handle, const QByteArray &data,
                    std::unique_ptr<CommWrite> &started) override;
    CommError clearError(Handle handle, CommStatus &status) override;
    CommError modemStatus(Handle handle, bool &clearToSend) override;
    bool reportsCts(const QString &path) override;
    CommError purge(Handle handle, bool output, bool input) override;
    bool underWine() const override { return m_underWine; }
    QString errorText(CommError error) const override;
    Clock::time_point now() const override { return Clock::now(); }

private:
    bool m_underWine = false;
    std::map<Handle, qintptr> m_writeEvents; // each open port's event for its writes
};
