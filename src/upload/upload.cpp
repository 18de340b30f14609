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

        closePort();
        closeTextStream();
        showText(m_cancelRequested ? m_text.cancelled(m_events.now())
                                   : m_text.sent(m_events.now()));
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
    const int writable = m_port.writableDescriptor();
    if (writable >= 0)
        m_events.processEvents(kHeldWait, writable);
    else if (queued > 0)
        m_events.processEvents(std::max(m_timing.pollWait(queued), m_stalledWait));
    else
        m_events.processEvents(0ms);
}

// The end of the file is a success only once the device has everything: the port's queue is
// empty and so is the transmitter itself. The device gets as long as the queued characters need
// plus a grace period; after Cancel, what the port still holds is dropped and the rest gets only
// its own time, within kCancelWait. What is still held off then is dropped; at the end of the
// file that is an error, since the device did not get the whole file. The window stays
// responsive meanwhile.
void Upload::closePort()
{
    bool cancelled = m_cancelRequested;
    if (cancelled)
        m_port.dropHeld();
    const auto start = m_events.now();
    qint64 left = m_port.queuedCount();
    auto deadline =
        start + (cancelled ? cancelTime(left) : m_timing.transmitTime(left) + kCloseGrace);
    bool done = m_port.delivered();
    while (!done && m_events.now() < deadline) {
        if (left > 0)
            waitForPort(left);
        else // only the hardware's buffer is left, which no count sees
            m_events.processEvents(LineTiming::kMaxPollWait);
        if (m_cancelRequested && !cancelled) {
            cancelled = true;
            m_port.dropHeld();
            deadline = std::min(deadline, m_events.now() + cancelTime(m_port.queuedCount()));
        }
        done = m_port.delivered();
        left = m_port.queuedCount();
    }
    m_port.discardAndClose();
    if (done || cancelled)
        return;
    const std::chrono::duration<double> held = m_events.now() - start;
    const QString what =
        left > 0 ? QStringLiteral("the last %1 characters were not sent").arg(left)
                 : QStringLiteral("the last characters, still in the port's hardware, were not "
                                  "sent");
    throw OperatorError(QStringLiteral("The upload did not finish: %1, because the device on %2 "
                                       "did not take them within %3 s. Check the cable and that "
                                       "the device is ready, then upload again.")
                            .arg(what, m_port.describe())
                            .arg(held.count(), 0, 'f', 1));
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
