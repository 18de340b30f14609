#pragma once
// What the progress bar says about the upload, beside its value: while sending, the share of
// the file handed over and the time left at the rate measured so far ("41 % · 0:11 left"); at
// the end "Sent in 0:18"; after Cancel "Cancelled"; after an error "Stopped" (the message box
// says why). The full figures go in a tooltip. A text is only made anew when what it shows has
// changed, so that a fast port does not spend its time formatting.

#include <chrono>
#include <optional>

#include <QString>

class ProgressText {
public:
    using Clock = std::chrono::steady_clock;

    struct Shown {
        QString text;
        QString details;
        bool operator==(const Shown &) const = default;
    };

    void start(Clock::time_point now, qint64 fileSize);
    // A line of `characters` (its CR LF included) has been handed over. Returns the new text
    // when it differs from the last one.
    std::optional<Shown> handedOver(Clock::time_point now, qint64 characters);
    Shown sent(Clock::time_point now) const;
    Shown cancelled(Clock::time_point now) const;
    Shown stopped(Clock::time_point now) const;

    // The widest text it makes for a file sent within the hour, which the bar must fit.
    static QString widest();
    static QString duration(std::chrono::seconds time);

private:
    QString figures(Clock::time_point now) const;

    Clock::time_point m_start{};
    qint64 m_size = 0;
    qint64 m_characters = 0;
    qint64 m_lines = 0;
    int m_percent = -1;
    qint64 m_secondsLeft = -1;
};
