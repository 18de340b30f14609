#pragma once
// The serial room's Windows calls: the port on Win32 communications calls, COM numbers and
// names from the registry and SetupAPI. May include the serial room's shared headers. In the
// program only systemports_windows.cpp includes these; the sim room and the tests do too.
//
// The serial port on Win32 calls, made through a Comm (the system's, or a simulated driver), on
// the decisions of PortCore:
// - The port is opened without sharing, so another program's port reads "in use by another
//   program", and nothing of it is touched.
// - The line settings (115 200 baud 7N2, CTS flow control, RTS handshaking) are set once
//   through the DCB, read back, and never changed again.
// - Writes are overlapped: output() returns at once; the driver's count is ClearCommError()'s
//   cbOutQue, bounded by the line's time, and a write still pending counts as queued.
// - Whatever the device sends is purged as it comes, so the driver never holds it off on the
//   port's account (RTS handshaking lowers RTS when the input buffer fills).
// - delivered() is true only when no write is pending, cbOutQue is 0, and CTS has then been on
//   for as long as the largest adapter buffer takes on the wire, and kCtsLag longer; no flush
//   is asked for (see WindowsComm). A device that is gone is a lost connection; a driver that
//   cannot answer a call (status calls a virtual port does not support) gives no information:
//   without a count, what was handed over is taken to need its time on the wire at the baud
//   rate.
// - Nothing waits on the caller's thread: the open (CreateFile()) and the close (the purge, the
//   cancelling of what is under way, CloseHandle()) run on threads of their own. An open given
//   up leaves its handle to its thread, which closes it when CreateFile() returns. The next open
//   of a port whose close is still under way waits for it (polled, as the open itself) up to
//   kOpenWaitsForClose from the close's start; after that, an Upload to that port says it is still
//   being closed, and after kCloseHangs, what will free it. A close that hangs outlives the program
//   (closeUnfinished()), and a later run that finds the port held by it says so.

#include <functional>
#include <memory>
#include <optional>

#include "platform/serial/portcore.h"
#include "platform/serial/windows/comm.h"

class Win32SerialPort final : public PortCore {
public:
    // mapping: the device path for a port number ("\\.\COM5"); missing: the message for a
    // number that reaches nothing, saying what there is instead.
    Win32SerialPort(Comm &comm, std::function<QString(int)> mapping,
                    std::function<QString(int)> missing);
    ~Win32SerialPort() override;

    bool startOpen() override;
    bool opened() override;
    void abandonOpen() noexcept override;
    bool isOpen() const override { return m_open; }
    DeliveryReach deliveryReach() const override;
    QString closeUnfinished() override;
    ClearToSend clearToSend() override;
    qintptr wakeHandle() const override;
    void discardAndClose() noexcept override;

    static constexpr qint64 kWriteChunk = 64 * 1024;
    static constexpr std::chrono::milliseconds kOpenWaitsForClose{100};
    static constexpr std::chrono::seconds kCloseHangs{5};
    // A USB adapter's CTS reaches its driver only with the chip's status packets: FTDI's chips
    // send their two modem-status bytes each latency-timer period, 16 ms by default, and are
    // reported to send them only every 40 ms when idle (FTDI AN232B-04, "Data Throughput,
    // Latency and Handshaking"). What reads "on" may be that old.
    static constexpr std::chrono::milliseconds kCtsLag{40};
    // Where ClearCommError() is not answered, whatever the device sent is purged this often:
    // its 4 KiB input buffer takes 0.36 s to fill at 115 200 baud.
    static constexpr std::chrono::milliseconds kBlindPurgeEvery{100};

protected:
    Clock::time_point now() const override { return m_comm.now(); }
    void finishWrites() override;
    qint64 handOver(QByteArrayView characters) override;
    qint64 inSystem() override;
    std::chrono::nanoseconds ctsLag() const override { return kCtsLag; }

private:
    void configure();
    QString stillClosingText(std::chrono::steady_clock::duration closingFor) const;
    [[noreturn]] void failLost(CommError error);
    CommStatus status();

    Comm &m_comm;
    std::function<QString(int)> m_mapping;
    std::function<QString(int)> m_missing;

    bool m_open = false;
    Comm::Handle m_handle = 0;
    std::unique_ptr<CommWrite> m_write;
    QByteArray m_writing;       // what the write under way was given
    quint32 m_lastOutQueue = 0; // the driver's last count
    // Where CTS read off: how many bytes had left the driver at the first of those looks. When
    // more leave while it still reads off than any adapter could hold, CTS is not this driver's
    // to report (m_ctsUnknown).
    std::optional<qint64> m_departedWhenCtsOff;
    bool m_ctsUnknown = false; // also where the driver reports no CTS line (Comm::reportsCts)
    bool m_noCtsLine = false;  // the driver reports no CTS line: usbser.sys
    std::optional<Comm::Clock::time_point> m_blindPurgedAt;

    Unfinished m_closings;  // closes not yet done
    Unfinished m_abandoned; // opens given up on that have not returned yet
    std::unique_ptr<CommOpening> m_opening;
    bool m_openAfterClose = false; // the open waits for the port's last close to end
    QString m_path;
};
