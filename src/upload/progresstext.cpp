#include "upload/progresstext.h"

#include <algorithm>

#include <QLocale>

namespace {

using std::chrono::duration_cast;
using std::chrono::seconds;

// The rate is not trusted before this much of the upload has gone by.
constexpr std::chrono::milliseconds kRateSettles{1000};

// "1 line", "2 lines".
QString counted(qint64 n, QLatin1String one, QLatin1String many)
{
    return QStringLiteral("%1 %2").arg(QLocale().toString(n), n == 1 ? one : many);
}

} // namespace

QString ProgressText::duration(std::chrono::seconds time)
{
    const qint64 s = std::max<qint64>(0, time.count());
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QStringList ProgressText::widest()
{
    return {QStringLiteral("100 % \u00b7 59:59 left"),
            QStringLiteral("Sent in 59:59"),
            QStringLiteral("Taken by the USB device in 59:59"),
            QStringLiteral("Waiting for the device \u00b7 59:59"),
            QStringLiteral("CTS off \u00b7 waiting 59:59"),
            QStringLiteral("Cancelled \u00b7 about 9999 not sent"),
            QStringLiteral("Checking the file \u00b7 100 %")};
}

void ProgressText::start(Clock::time_point now, qint64 fileSize)
{
    *this = ProgressText();
    m_start = now;
    m_size = fileSize;
}

std::optional<ProgressText::Shown> ProgressText::checking(qint64 checked)
{
    const int percent = m_size > 0 ? int(std::min<qint64>(100, checked * 100 / m_size)) : 100;
    if (percent == m_checkedPercent)
        return std::nullopt;
    m_checkedPercent = percent;
    return Shown{QStringLiteral("Checking the file \u00b7 %1 %").arg(percent),
                 QStringLiteral("Looking through %1 of %2 bytes for characters that 7 data bits "
                                "cannot carry before anything is sent")
                     .arg(QLocale().toString(checked), QLocale().toString(m_size))};
}

QString ProgressText::figures(Clock::time_point now) const
{
    return QStringLiteral("%1, %2 of %3, in %4")
        .arg(counted(m_lines, QLatin1String("line"), QLatin1String("lines")),
             QLocale().toString(m_characters),
             counted(total(), QLatin1String("character"), QLatin1String("characters")),
             duration(duration_cast<seconds>(now - m_start)));
}

std::optional<ProgressText::Shown> ProgressText::handedOver(Clock::time_point now,
                                                            qint64 characters)
{
    // A line is handed over once the one before has left the port: the share counts those, as
    // the bar's value does, so that a long line never reads as sent while it is on its way.
    const qint64 gone = m_characters;
    m_characters += characters;
    ++m_lines;
    if (m_percent >= 0 && now - m_progressAt < kProgressEvery && m_characters < total())
        return std::nullopt;
    const qint64 size = total();
    const int percent = size > 0 ? int(std::min<qint64>(100, gone * 100 / size)) : 100;
    const auto elapsed = now - m_start;
    qint64 secondsLeft = -1;
    if (elapsed >= kRateSettles && gone > 0) {
        const double rate = double(gone) / std::chrono::duration<double>(elapsed).count();
        secondsLeft = qint64(double(std::max<qint64>(0, size - gone)) / rate + 0.999);
    }
    if (percent == m_percent && secondsLeft == m_secondsLeft)
        return std::nullopt;
    m_percent = percent;
    m_secondsLeft = secondsLeft;
    m_progressAt = now;
    QString text = QStringLiteral("%1 %").arg(percent);
    if (secondsLeft >= 0)
        text += QStringLiteral(" \u00b7 %1 left").arg(duration(seconds(secondsLeft)));
    m_progress = {text, QStringLiteral("Handed over %1").arg(figures(now))};
    return m_progress;
}

std::optional<ProgressText::Shown> ProgressText::heldOff(Clock::time_point now,
                                                         Clock::time_point since, bool ctsOff,
                                                         qint64 waiting, const QString &port)
{
    const QString waited = duration(duration_cast<seconds>(now - since));
    const QString text = ctsOff ? QStringLiteral("CTS off \u00b7 waiting %1").arg(waited)
                                : QStringLiteral("Waiting for the device \u00b7 %1").arg(waited);
    if (m_held && text == m_heldShown.text)
        return std::nullopt;
    m_held = true;
    const QString what = waiting > 0 ? counted(waiting, QLatin1String("character waits"),
                                               QLatin1String("characters wait")) +
                                           QStringLiteral(" to be sent")
                                     : QStringLiteral("the last characters wait in the port");
    m_heldShown = {text,
                   QStringLiteral("The device on %1 has taken nothing for %2%3: %4. Check "
                                  "the cable and that the device is ready, or click "
                                  "Cancel.")
                       .arg(port, waited,
                            ctsOff ? QStringLiteral(" (its CTS line is off)") : QString(), what)};
    return m_heldShown;
}

std::optional<ProgressText::Shown> ProgressText::resumed()
{
    if (!m_held)
        return std::nullopt;
    m_held = false;
    return m_progress;
}

ProgressText::Shown ProgressText::sent(Clock::time_point now, DeliveryReach reach) const
{
    const QString took = duration(duration_cast<seconds>(now - m_start));
    if (reach == DeliveryReach::UsbDevice)
        return {QStringLiteral("Taken by the USB device in %1").arg(took),
                QStringLiteral("The USB device took %1. Its driver reports neither its CTS line "
                               "nor what it still holds, so whether the last characters have "
                               "left a serial adapter inside it cannot be seen from here.")
                    .arg(figures(now))};
    return {QStringLiteral("Sent in %1").arg(took), QStringLiteral("Sent %1").arg(figures(now))};
}

ProgressText::Shown ProgressText::cancelled(Clock::time_point now, qint64 notSent) const
{
    const QString details = QStringLiteral("Cancelled after %1").arg(figures(now));
    if (notSent == 0)
        return {QStringLiteral("Cancelled"), details};
    if (notSent < 0)
        return {QStringLiteral("Cancelled \u00b7 not all sent"),
                details + QStringLiteral("; the last characters, still in the port's hardware, "
                                         "did not reach the device.")};
    // The driver's count leaves out a UART's FIFO or an adapter's chip, and a CDC-ACM driver
    // counts whole USB buffers: it is near, not exact.
    return {QStringLiteral("Cancelled \u00b7 about %1 not sent").arg(notSent),
            details + QStringLiteral("; about the last %1 characters did not reach the device.")
                          .arg(QLocale().toString(notSent))};
}

ProgressText::Shown ProgressText::stopped(Clock::time_point now) const
{
    return {QStringLiteral("Stopped"), QStringLiteral("Stopped after %1").arg(figures(now))};
}
