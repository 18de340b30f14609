#pragma once
// What the progress bar says about the upload, beside its value: while sending, the share of
// the file that has left the port, as the value counts it, and the time left at the rate
// measured so far ("41 % · 0:11 left");
// while the device holds off, how long it has ("Waiting for the device · 0:12", or "CTS off ·
// waiting 0:12" where the port sees its CTS line); at the end "Sent in 0:18", or "Taken by the
// USB device in 0:18" where the port cannot see past a USB device (DeliveryReach); after Cancel
// "Cancelled", or after a Cancel at the end of the file how much did not reach the device
// ("Cancelled · about 42 not sent"); after an error "Stopped" (the message box says why). The full
// figures go in a tooltip. A text is only made anew when what it shows has changed, and the
// share and time left at most every kProgressEvery: each new text is drawn, and a person reads a
// few a second, not one a line.

#include <chrono>
#include <optional>

#include <QString>
#include <QStringList>

#include "platform/serial/serialport.h"

class ProgressText {
public:
    using Clock = std::chrono::steady_clock;

    struct Shown {
        QString text;
        QString details;
        bool operator==(const Shown &) const = default;
    };

    void start(Clock::time_point now, qint64 fileSize);
    // Once the file has been looked through: the characters that sending it puts on the line,
    // every line with CR LF, which the share and the figures then count against.
    void setTotal(qint64 characters) { m_total = characters; }
    // Before sending, `checked` bytes of the file have been looked through for characters the
    // line cannot carry ("Checking the file · 41 %"). Returns the new text when it differs.
    std::optional<Shown> checking(qint64 checked);
    // A line of `characters` (its CR LF included) has been handed over. Returns the new text
    // when it differs from the last one.
    std::optional<Shown> handedOver(Clock::time_point now, qint64 characters);
    // The device has taken nothing since `since`, with `waiting` characters queued for it on
    // `port`; ctsOff where the port sees its CTS line off. Returns the new text when it differs
    // from the last one.
    std::optional<Shown> heldOff(Clock::time_point now, Clock::time_point since, bool ctsOff,
                                 qint64 waiting, const QString &port);
    // The device takes data again: the text from before it held off, if that was replaced.
    std::optional<Shown> resumed();
    // The lines handed over so far.
    qint64 lines() const { return m_lines; }
    Shown sent(Clock::time_point now, DeliveryReach reach = DeliveryReach::Device) const;
    // notSent: characters that did not reach the device; -1 where no count sees them.
    Shown cancelled(Clock::time_point now, qint64 notSent = 0) const;
    Shown stopped(Clock::time_point now) const;

    // The widest texts it makes for a file sent within the hour, which the bar must fit.
    static QStringList widest();
    static constexpr std::chrono::milliseconds kProgressEvery{500};
    static QString duration(std::chrono::seconds time);

private:
    QString figures(Clock::time_point now) const;
    qint64 total() const { return m_total >= 0 ? m_total : m_size; }

    Clock::time_point m_start{};
    qint64 m_size = 0;
    qint64 m_total = -1; // -1: not known yet, the file's size stands for it
    qint64 m_characters = 0;
    qint64 m_lines = 0;
    int m_percent = -1;
    int m_checkedPercent = -1;
    qint64 m_secondsLeft = -1;
    Clock::time_point m_progressAt{}; // when handedOver() last made a text
    Shown m_progress;                 // the last text made by handedOver()
    bool m_held = false;
    Shown m_heldShown;
};
