#pragma once
// A serial port whose transmit queue the test drains by hand (set queued), with failures at
// chosen points. It counts every line handed over while the queue was not empty.

#include <optional>

#include <QList>

#include "platform/operatorerror.h"
#include "platform/serialport.h"

class FakeSerialPort final : public SerialPort {
public:
    void setPortNumber(qint16 number) override { portNumber = number; }
    void setLineSettings(const LineSettings &s) override { settings = s; }
    void setHandshaking(Handshaking h) override { handshaking = h; }

    void open() override
    {
        if (openError)
            throw OperatorError(*openError);
        opened = true;
        ++openCount;
    }
    bool isOpen() const override { return opened; }

    qint64 queuedCount() override
    {
        requireOpen();
        if (queuedError && queuedCalls++ >= failQueuedAfter)
            throw OperatorError(*queuedError);
        return queued;
    }

    void output(const QByteArray &data) override
    {
        requireOpen();
        if (queued != 0)
            ++outputsWhileQueued;
        if (outputError && sent.size() == failOutputAt)
            throw OperatorError(*outputError);
        sent.append(data);
        queued += data.size();
    }

    void discardAndClose() noexcept override
    {
        if (!opened)
            return;
        discarded += queued;
        queued = 0;
        opened = false;
        ++closeCount;
    }

    QString describe() const override { return QStringLiteral("COM%1 (fake)").arg(portNumber); }

    QByteArray sentBytes() const
    {
        QByteArray all;
        for (const QByteArray &chunk : sent)
            all += chunk;
        return all;
    }

    qint16 portNumber = 0;
    LineSettings settings;
    Handshaking handshaking = Handshaking::None;
    bool opened = false;
    int openCount = 0;
    int closeCount = 0;
    qint64 queued = 0;
    qint64 discarded = 0;
    int outputsWhileQueued = 0;
    QList<QByteArray> sent;

    std::optional<QString> openError;
    std::optional<QString> outputError;
    qsizetype failOutputAt = 0;
    std::optional<QString> queuedError;
    int failQueuedAfter = 0;
    int queuedCalls = 0;

private:
    void requireOpen() const
    {
        if (!opened)
            throw OperatorError(QStringLiteral("fake port used while closed"));
    }
};
