#pragma once
// A port whose queue is always empty, for the tests and the benchmark: what is left is the
// upload's own cost per line. onOutput, where set, runs as each line is handed over.

#include <functional>

#include "platform/serial/serialport.h"

class InstantPort final : public SerialPort {
public:
    void setPortNumber(qint16) override {}
    void open() override { m_open = true; }
    bool isOpen() const override { return m_open; }
    qint64 queuedCount() override { return 0; }
    void output(const QByteArray &) override
    {
        ++lines;
        if (onOutput)
            onOutput();
    }
    bool delivered() override { return true; }
    ClearToSend clearToSend() override { return ClearToSend::On; }
    qint64 dropHeld() noexcept override { return 0; }
    void discardAndClose() noexcept override { m_open = false; }
    QString describe() const override { return QStringLiteral("COM1 (instant)"); }

    qint64 lines = 0;
    std::function<void()> onOutput;

private:
    bool m_open = false;
};
