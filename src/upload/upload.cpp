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
    try {
        m_cancelRequested = false;
        m_form.applyControlSet(ControlSet::Uploading);

        const qint32 fileSize = m_files.fileSize(m_form.path());
        ProgressDisplay &bar = m_form.progress();
        bar.setMinimum(0);
        bar.setMaximum(float(fileSize));
        bar.setValue(0);

        m_textStream = m_files.openTextFile(m_form.path());

        m_port.setPortNumber(selectedPortNumber());
        m_port.setLineSettings(kLineSettings);
        m_port.setHandshaking(Handshaking::RtsCts);
        m_port.open();

        sendLines();

        closePort();
        closeTextStream();
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
    std::chrono::milliseconds wait = 0ms;
    for (;;) {
        m_events.processEvents(wait);
        if (m_cancelRequested) {
            bar.setValue(bar.minimum());
            return;
        }
        if (m_textStream->atEnd())
            return;
        const qint64 queued = m_port.queuedCount();
        if (queued == 0) {
            // A line is counted once it has left the queue, with its CR LF; so the last line
            // never is, and an empty line adds nothing.
            if (!previousLine.isEmpty())
                bar.setValue(float(double(bar.value()) + double(previousLine.size()) + 2.0));
            previousLine = m_textStream->readLine();
            m_port.output(previousLine + "\r\n");
            wait = 0ms;
        } else {
            wait = m_timing.pollWait(queued);
        }
    }
}

// Closing lets what is still queued go out first, with the window responsive: at the end of the
// file for as long as the characters need plus a grace period, after Cancel only for as long as
// they need. What is still held off then is dropped; at the end of the file that is an error,
// since the device did not get the whole file.
void Upload::closePort()
{
    bool cancelled = m_cancelRequested;
    qint64 left = m_port.queuedCount();
    const auto start = m_events.now();
    auto deadline = start + m_timing.transmitTime(left) +
                    (cancelled ? std::chrono::seconds::zero() : kCloseGrace);
    while (left > 0 && m_events.now() < deadline) {
        m_events.processEvents(m_timing.pollWait(left));
        if (m_cancelRequested && !cancelled) {
            cancelled = true;
            deadline = std::min(deadline, m_events.now() + m_timing.transmitTime(left));
        }
        left = m_port.queuedCount();
    }
    m_port.discardAndClose();
    if (left > 0 && !cancelled) {
        const std::chrono::duration<double> held = m_events.now() - start;
        throw OperatorError(
            QStringLiteral("The upload did not finish: the last %1 characters were not sent, "
                           "because the device on %2 did not take them within %3 s. Check the "
                           "cable and that the device is ready, then upload again.")
                .arg(left)
                .arg(m_port.describe())
                .arg(held.count(), 0, 'f', 1));
    }
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
    m_messages.show(text);
    m_form.applyControlSet(ControlSet::AfterUpload);
}
