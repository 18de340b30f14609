#pragma once
// Plays the receiving device on a pty's master in a thread of its own, so that it keeps reading
// while the upload runs the UI thread's event loop. It can pull the plug after a number of
// bytes.

#include <atomic>
#include <mutex>
#include <thread>

#include <QByteArray>

class PtyPair;

class PtyReader {
public:
    // hangUpAfter: close the master once that many bytes have arrived (-1: never).
    explicit PtyReader(PtyPair &pty, qint64 hangUpAfter = -1);
    ~PtyReader();
    PtyReader(const PtyReader &) = delete;
    PtyReader &operator=(const PtyReader &) = delete;

    QByteArray received() const;
    // Waits until no byte has arrived for quietMs, then stops and returns all that arrived.
    QByteArray finish(int quietMs = 200);

private:
    void run();

    PtyPair &m_pty;
    const qint64 m_hangUpAfter;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_lastArrivalMs{0};
    std::thread m_thread;
};
