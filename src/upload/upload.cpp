#include "upload/upload.h"

#include <algorithm>
#include <limits>
#include <new>

#include "platform/operatorerror.h"

using namespace std::chrono_literals;

Upload::Upload(UploadForm &form, SerialPort &port, FileSystem &files, MessageBox &messages,
               EventLoop &events)
    : m_form(form), m_port(port), m_files(files), m_messages(messages), m_events(events)
{}

void Upload::run()
{
    m_running = true;
    m_lastQueued = 0;
    m_stalledWait = 0ms;
    m_movedAt = m_events.now();
    m_watchedQueued = 0;
    m_text.start(m_events.now(), 0);
    try {
        m_cancelRequested = false;
        m_form.applyControlSet(ControlSet::Uploading);

        const qint32 fileSize = m_files.fileSize(m_form.path());
        ProgressDisplay &bar = m_form.progress();
        bar.setMinimum(0);
        bar.setMaximum(float(fileSize));
        bar.setValue(0);
        m_text.start(m_events.now(), fileSize);
        showText({QStringLiteral("0 %"), {}});

        m_textStream = m_files.openTextFile(m_form.path());

        m_port.setPortNumber(selectedPortNumber());
        m_port.setLineSettings(kLineSettings);
        m_port.setHandshaking(Handshaking::RtsCts);
        m_port.open();

        sendLines();
        const bool wholeFileHandedOver = !m_cancelRequested;
        if (wholeFileHandedOver)
            waitUntilDelivered();
        const qint64 notSent = m_cancelRequested ? giveUp() : 0;
        m_port.discardAndClose();

        closeTextStream();
        const auto now = m_events.now();
        if (!wholeFileHandedOver)
            showText(m_text.cancelled(now));
        else
            showText(notSent == 0 ? m_text.sent(now) : m_text.cancelled(now, notSent));
        m_form.applyControlSet(ControlSet::AfterUpload);
    } catch (const OperatorError &error) {
        fail(error.text());
    } catch (const std::bad_alloc &) {
        fail(QStringLiteral("Not enough memory to read the file %1.").arg(m_form.path()));
    } catch (const std::exception &error) {
        fail(QString::fromLocal8Bit(error.what()));
    }
    m_running = false;
}

qint16 Upload::selectedPortNumber() const
{
    const std::optional<qint32> tag = m_form.selectedPortTag();
    if (!tag)
        throw OperatorError(QStringLiteral("No COM port selected. Choose COM1, COM2, COM3 or COM4 "
                                           "from the list."));
    if (*tag < std::numeric_limits<qint16>::min() || *tag > std::numeric_limits<qint16>::max())
        throw OperatorError(QStringLiteral("Invalid port number: %1").arg(*tag));
    return qint16(*tag);
}

void Upload::sendLines()
{
    ProgressDisplay &bar = m_form.progress();
    QByteArray previousLine;
    qint64 queued = 0;
    for (;;) {
        waitForPort(queued);
        if (m_cancelRequested) {
            bar.setValue(bar.minimum());
            return;
        }
        if (m_textStream->atEnd())
            return;
        queued = m_port.queuedCount();
        watchHoldOff(queued);
        if (queued == 0) {
            // A line is counted once it has left the queue, with its CR LF; so the last line
            // never is, and an empty line adds nothing.
            if (!previousLine.isEmpty())
                bar.setValue(float(double(bar.value()) + double(previousLine.size()) + 2.0));
            previousLine = m_textStream->readLine();
            m_port.output(previousLine + "\r\n");
            if (const auto shown = m_text.handedOver(m_events.now(), previousLine.size() + 2))
                showText(*shown);
        }
    }
}

// Handles the window's events; while characters are queued, sleeps until they have had about
// their time on the wire, or until the port can take the bytes it still holds. A count that
// does not move means the device holds off: the sleeps then grow, up to kHeldWait.
void Upload::waitForPort(qint64 queued)
{
    m_stalledWait = queued > 0 && queued == m_lastQueued
                        ? std::min<std::chrono::milliseconds>(m_stalledWait * 2 + 1ms, kHeldWait)
                        : 0ms;
    m_lastQueued = queued;
    const qintptr wake = m_port.wakeHandle();
    if (wake >= 0)
        m_events.processEvents(kHeldWait, wake);
    else if (queued > 0)
        m_events.processEvents(std::max(m_timing.pollWait(queued), m_stalledWait));
    else
        m_events.processEvents(0ms);
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
void Upload::waitUntilDelivered()
{
    m_watchedQueued = 0;
    while (!m_port.delivered()) {
        const qint64 left = m_port.queuedCount();
        // With nothing counted, only the hardware's buffer is left, which no count sees.
        watchHoldOff(std::max<qint64>(left, 1));
        if (left > 0)
            waitForPort(left);
        else
            m_events.processEvents(m_events.now() - m_movedAt >= kHoldShownAfter
                                       ? kHeldWait
                                       : LineTiming::kMaxPollWait);
        if (m_cancelRequested)
            return;
    }
}

// After Cancel, what the port itself holds is dropped at once, and what the operating system
// has gets its own time on the wire, within kCancelWait, so the window is back within half a
// second whatever the device does. Returns the characters that did not reach the device: 0 when
// they all did, -1 when they wait where no count sees them.
qint64 Upload::giveUp()
{
    m_port.dropHeld();
    const auto deadline = m_events.now() + cancelTime(m_port.queuedCount());
    bool done = m_port.delivered();
    while (!done && m_events.now() < deadline) {
        m_events.processEvents(LineTiming::kMaxPollWait);
        done = m_port.delivered();
    }
    if (done)
        return 0;
    const qint64 left = m_port.queuedCount();
    return left > 0 ? left : -1;
}

std::chrono::microseconds Upload::cancelTime(qint64 queued) const
{
    return std::min<std::chrono::microseconds>(m_timing.transmitTime(queued) + kFifoTime,
                                               kCancelWait);
}

void Upload::showText(const ProgressText::Shown &shown)
{
    m_form.progress().setText(shown.text, shown.details);
}

void Upload::closeTextStream() noexcept
{
    if (m_textStream) {
        m_textStream->close();
        m_textStream.reset();
    }
}

// Unlike a normal end, nothing is waited for: the port may be gone. The progress bar stays where
// the error found it.
void Upload::fail(const QString &text)
{
    m_port.discardAndClose();
    closeTextStream();
    showText(m_text.stopped(m_events.now()));
    m_messages.show(text);
    m_form.applyControlSet(ControlSet::AfterUpload);
}
