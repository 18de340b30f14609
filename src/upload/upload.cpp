#include "upload/upload.h"

#include <algorithm>
#include <limits>
#include <new>

#include <QLocale>
#include <QScopeGuard>

#include "platform/operatorerror.h"
#include "upload/linetiming.h"

using namespace std::chrono_literals;

Upload::Upload(UploadForm &form, SerialPort &port, FileSystem &files, MessageBox &messages,
               EventLoop &events)
    : m_form(form), m_port(port), m_files(files), m_messages(messages), m_events(events)
{}

void Upload::run()
{
    m_running = true;
    m_cancelRequested = false;
    m_text.start(m_events.now(), 0);
    m_form.applyControlSet(ControlSet::Uploading);
    std::optional<QString> error;
    Ending ending;
    try {
        ending = sendFile();
    } catch (const OperatorError &stop) {
        error = stop.text();
    } catch (const std::bad_alloc &) {
        error = notEnoughMemoryText();
    } catch (const std::exception &stop) {
        error = QString::fromLocal8Bit(stop.what());
    }
    // The file is closed by now. After an error nothing is waited for: the port may be gone, and
    // the progress bar stays where the error found it.
    const auto now = m_events.now();
    if (error) {
        m_port.discardAndClose();
        showText(m_text.stopped(now));
        m_messages.show(*error);
    } else if (ending.sent) {
        // The last line, counted by no line after it, has arrived too: the bar is full.
        m_form.progress().setValue(m_form.progress().maximum());
        showText(m_text.sent(now, ending.reach));
    } else {
        // Cancelled, at the end of the file too: the bar is back at its start.
        m_form.progress().setValue(m_form.progress().minimum());
        showText(m_text.cancelled(now, ending.notSent));
    }
    m_form.applyControlSet(ControlSet::AfterUpload);
    m_running = false;
}

// Sends the whole file and closes the port; returns early, with nothing sent, when Cancel comes
// before the port is open. The file is closed on every way out.
Upload::Ending Upload::sendFile()
{
    const qint32 fileSize = m_files.fileSize(m_form.path());
    ProgressDisplay &bar = m_form.progress();
    bar.setMinimum(0);
    bar.setMaximum(float(fileSize));
    bar.setValue(0);
    m_text.start(m_events.now(), fileSize);
    showText({QStringLiteral("0 %"), {}});

    const std::unique_ptr<TextStream> stream = m_files.openTextFile(m_form.path());
    const auto closeStream = qScopeGuard([&stream] { stream->close(); });
    if (!checkFile(*stream))
        return {};

    m_port.setPortNumber(selectedPortNumber());
    m_port.setLineSettings(kLineFormat);
    m_port.setHandshaking(Handshaking::RtsCts);
    if (!openPort())
        return {};

    const std::optional<QString> readFailed = sendLines(*stream);
    // What was handed over goes out whole, even when the file could no longer be read.
    const bool wholeFileHandedOver = !m_cancelRequested && !readFailed;
    if (!m_cancelRequested)
        waitUntilDelivered(wholeFileHandedOver);
    const qint64 notSent = m_cancelRequested ? giveUp() : 0;
    if (readFailed)
        throw OperatorError(*readFailed + wholeLinesText(notSent));
    const DeliveryReach reach = m_port.deliveryReach();
    m_port.discardAndClose();
    // Sent only when the whole file was handed over and all of it reached the device.
    return {wholeFileHandedOver && notSent == 0, notSent, reach};
}

qint16 Upload::selectedPortNumber() const
{
    const std::optional<qint32> tag = m_form.selectedPortTag();
    if (!tag)
        throw OperatorError(QStringLiteral("No COM port selected. Choose one from the list, or "
                                           "type its name, COM1 to COM256."));
    if (*tag < std::numeric_limits<qint16>::min() || *tag > std::numeric_limits<qint16>::max())
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(*tag));
    return qint16(*tag);
}

// Looks through the whole file, a piece at a time with the window's events between pieces, for a
// byte of 0x80 or above (the line has 7 data bits, and would carry such a byte with its top bit
// cut off, a character the file never held) and for a line too long to hold. Returns false when
// Cancel came first.
bool Upload::checkFile(TextStream &stream)
{
    const auto started = m_events.now();
    for (;;) {
        ByteCheck check;
        try {
            check = stream.checkBytes(TextStream::kCheckPiece);
        } catch (const OperatorError &error) {
            const QString text = error.text();
            throw OperatorError(text + (text.endsWith(QLatin1Char('.')) ? "" : ".") +
                                QStringLiteral(" Nothing was sent."));
        }
        if (check.wide)
            throw OperatorError(wideByteText(*check.wide));
        if (check.longLine)
            throw OperatorError(
                QStringLiteral("The file %1 has a line longer than %2 characters (line %3), which "
                               "no download file has: check that it is the file to upload. "
                               "Nothing was sent.")
                    .arg(m_form.path(), QLocale().toString(TextStream::kLongestLine),
                         QLocale().toString(*check.longLine)));
        if (check.done && check.characters == 0)
            throw OperatorError(QStringLiteral("The file %1 is empty: there is nothing to send. "
                                               "Check that it is the file to upload.")
                                    .arg(m_form.path()));
        if (check.done) {
            // The figures count what goes out, CR LF with every line, not the file's bytes.
            m_text.setTotal(check.characters);
            return true;
        }
        m_events.processEvents(std::chrono::milliseconds::zero());
        if (m_cancelRequested)
            return false;
        if (m_events.now() - started >= kCheckShownAfter)
            if (const auto shown = m_text.checking(check.checked))
                showText(*shown);
    }
}

QString Upload::wideByteText(const WideByte &wide) const
{
    const auto hex = [](const QByteArray &bytes) {
        QStringList each;
        for (const char byte : bytes)
            each.append(QStringLiteral("0x%1").arg(uchar(byte), 2, 16, QLatin1Char('0')).toUpper());
        return each.join(QLatin1Char(' ')).replace(QLatin1String("0X"), QLatin1String("0x"));
    };
    // Editors put a byte-order mark first when they save text as UTF-8 or as "Unicode".
    for (const auto &[mark, name] : {std::pair{QByteArray("\xef\xbb\xbf"), "UTF-8"},
                                     std::pair{QByteArray("\xff\xfe"), "UTF-16"},
                                     std::pair{QByteArray("\xfe\xff"), "UTF-16"}}) {
        if (wide.offset == 0 && wide.bytes.startsWith(mark))
            return QStringLiteral("The file %1 starts with a %2 byte-order mark (the bytes %3 at "
                                  "line 1, column 1), which a serial line with 7 data bits "
                                  "cannot carry. Save the file as plain text (ASCII, without a "
                                  "byte-order mark), then upload again. Nothing was sent.")
                .arg(m_form.path(), QLatin1String(name), hex(mark));
    }
    return QStringLiteral("The file %1 holds a character that a serial line with 7 data bits "
                          "cannot carry: the byte %2 at line %3, column %4. Only plain ASCII text "
                          "can be sent: remove the character, or save the file as plain ASCII "
                          "text, then upload again. Nothing was sent.")
        .arg(m_form.path(), hex(wide.bytes.left(1)), QLocale().toString(wide.line),
             QLocale().toString(wide.column));
}

// What the device got when reading the file failed: the lines handed over, less the one that
// Cancel cut off.
QString Upload::wholeLinesText(qint64 notSent) const
{
    const qint64 whole = notSent == 0 ? m_text.lines() : m_text.lines() - 1;
    QString got = whole == 0   ? QStringLiteral(" Nothing of it reached the device.")
                  : whole == 1 ? QStringLiteral(" The device got the first line whole.")
                               : QStringLiteral(" The device got the first %1 lines whole.")
                                     .arg(QLocale().toString(whole));
    if (notSent != 0)
        got += QStringLiteral(" The line after them was cut off by Cancel.");
    return got;
}

QString Upload::notEnoughMemoryText() const
{
    return QStringLiteral("Not enough memory to read the file %1.").arg(m_form.path());
}

// Hands the file over a line at a time, each once the queue has emptied; returns at the end of
// the file, on Cancel, or with the reason when the file can no longer be read (it changed, or a
// line does not fit in memory).
std::optional<QString> Upload::sendLines(TextStream &stream)
{
    std::optional<QString> readFailed;
    const auto read = [this, &readFailed](auto action) -> decltype(action()) {
        try {
            return action();
        } catch (const OperatorError &error) {
            readFailed = error.text();
        } catch (const std::bad_alloc &) {
            readFailed = notEnoughMemoryText();
        }
        return {};
    };
    ProgressDisplay &bar = m_form.progress();
    QByteArray previousLine;
    qint64 counted = 0; // the bar's value, exact where a float is not
    qint64 queued = 0;
    m_watchedQueued = 0;
    m_movedAt = m_events.now();
    for (;;) {
        waitForPort(queued);
        if (m_cancelRequested) {
            bar.setValue(bar.minimum());
            return {};
        }
        if (read([&stream] { return stream.atEnd(); }) || readFailed)
            return readFailed;
        queued = m_port.queuedCount();
        watchHoldOff(queued);
        if (queued == 0) {
            // A line is counted once it has left the queue, with its CR LF; so the last line
            // never is, and an empty line adds nothing.
            if (!previousLine.isEmpty()) {
                counted += previousLine.size() + 2;
                bar.setValue(float(counted));
            }
            previousLine = read([&stream] { return stream.readLine(); });
            if (readFailed)
                return readFailed;
            m_port.output(previousLine + "\r\n");
            // The next pass sleeps for this line's time on the wire.
            queued = m_port.queuedCount();
            if (const auto shown = m_text.handedOver(m_events.now(), previousLine.size() + 2))
                showText(*shown);
        }
    }
}

// Handles the window's events; while characters are queued, sleeps until they have had about
// their time on the wire, or until the port can take the bytes it still holds. While the device
// takes nothing, each sleep lasts as long as it has taken nothing so far, up to kHeldWait: the
// sleeps double.
void Upload::waitForPort(qint64 queued)
{
    const qintptr wake = m_port.wakeHandle();
    if (wake >= 0) {
        m_events.processEvents(kHeldWait, wake);
    } else if (queued > 0) {
        const auto still =
            std::chrono::floor<std::chrono::milliseconds>(m_events.now() - m_movedAt);
        m_events.processEvents(std::max(linetiming::pollWait(queued), std::min(still, kHeldWait)));
    } else {
        m_events.processEvents(0ms);
    }
}

// The device takes something when the queue shrinks or empties. When it has taken nothing for
// kHoldShownAfter while characters wait, the bar says it holds off, and for how long.
void Upload::watchHoldOff(qint64 queued)
{
    const auto now = m_events.now();
    if (queued == 0 || queued < m_watchedQueued) {
        m_movedAt = now;
        if (const auto shown = m_text.resumed())
            showText(*shown);
    } else if (now - m_movedAt >= kHoldShownAfter) {
        const bool ctsOff = m_port.clearToSend() == ClearToSend::Off;
        if (const auto shown = m_text.heldOff(now, m_movedAt, ctsOff, queued, m_port.describe()))
            showText(*shown);
    }
    m_watchedQueued = queued;
}

// The end of the file is a success only once the device has everything: the port's queue is
// empty and so is the transmitter itself. This waits for as long as that takes, a device that
// holds off included, until Cancel; a lost connection ends it with an error.
//
// A device that restarts once it has the file ends the connection at about that time: where the
// whole file had been handed over and had left the port's queue first, the message says so.
void Upload::waitUntilDelivered(bool wholeFile)
{
    m_watchedQueued = 0;
    bool queueEmptied = false;
    try {
        while (!m_port.delivered()) {
            const qint64 left = m_port.queuedCount();
            queueEmptied = queueEmptied || left == 0;
            // With nothing counted, only the hardware's buffer is left, which no count sees.
            watchHoldOff(std::max<qint64>(left, 1));
            if (left > 0)
                waitForPort(left);
            else
                m_events.processEvents(m_events.now() - m_movedAt >= kHoldShownAfter
                                           ? kHeldWait
                                           : linetiming::kMaxPollWait);
            if (m_cancelRequested)
                return;
        }
    } catch (const OperatorError &lost) {
        if (!wholeFile || !queueEmptied)
            throw;
        throw OperatorError(lost.text() +
                            QStringLiteral(" The whole file had left the port by then; a device "
                                           "that restarts once it has the file ends the "
                                           "connection this way."));
    }
}

// The window's events are handled while the port opens; false when Cancel ended the wait.
bool Upload::openPort()
{
    if (m_port.startOpen())
        return true;
    // An open that ends at once (a UART, a pseudo-terminal) is seen within a millisecond or two;
    // a long one (a Bluetooth port connecting) is looked at every kOpenPoll.
    auto poll = std::chrono::milliseconds(1);
    while (!m_port.opened()) {
        m_events.processEvents(poll);
        poll = std::min(poll * 2, kOpenPoll);
        if (m_cancelRequested) {
            m_port.abandonOpen();
            return false;
        }
    }
    return true;
}

// After Cancel, what was handed over gets its own time on the wire, within kCancelWait, so that
// a line already handed over goes out whole where it can, and the window is back within half a
// second whatever the device does. Then what the port still holds is dropped, and what the
// operating system has is dropped at close. Returns the characters that did not reach the
// device: 0 when they all did, -1 when they wait where no count sees them.
qint64 Upload::giveUp()
{
    const auto wait = std::min<std::chrono::microseconds>(
        linetiming::transmitTime(m_port.queuedCount()) + kFifoTime, kCancelWait);
    const auto deadline = m_events.now() + wait;
    bool done = m_port.delivered();
    while (!done && m_events.now() < deadline) {
        m_events.processEvents(linetiming::kMaxPollWait, m_port.wakeHandle());
        done = m_port.delivered();
    }
    if (done)
        return 0;
    const qint64 dropped = m_port.dropHeld();
    const qint64 left = dropped + m_port.queuedCount();
    return left > 0 ? left : -1;
}

void Upload::showText(const ProgressText::Shown &shown)
{
    m_form.progress().setText(shown.text, shown.details);
}
