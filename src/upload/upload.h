#pragma once
// The upload room: sending one download file, paced by the port, with progress and Cancel. May
// include platform/ through its interfaces only, never app/ or sim/.
//
// One upload: the Upload click sends the download file over the chosen port one line at a time,
// each line followed by CR LF, handing over the next line only when the port's transmit queue
// has emptied. The whole transfer runs inside run(), on the UI thread; every pass of its sending
// loop handles the pending window events, which is how a Cancel click (cancel()) gets through.
//
// Before the port is touched, the whole file is looked through for bytes that a 7-bit line
// cannot carry; a file that holds one is refused and nothing is sent.
//
// At the end of the file the upload waits until the device has every character, for as long as
// the device holds off and stays connected, as it does between lines; Cancel ends either wait
// at once. While the device takes nothing, the bar says so and for how long.
//
// No stop of the upload's own making cuts a line: after Cancel, or when the file can no longer
// be read, what was handed over still goes out, as far as it can within kCancelWait after Cancel.
// Whatever did not reach the device is reported as not sent, never as sent.
//
// Any error is caught here and only here: the port and the file are released, the operator
// reads the error's text in a message box, and the window returns to its ready state.

#include <chrono>
#include <optional>

#include <QByteArray>

#include "platform/desktop/eventloop.h"
#include "platform/files/filesystem.h"
#include "platform/desktop/messagebox.h"
#include "platform/serial/serialport.h"
#include "upload/progresstext.h"
#include "upload/uploadform.h"

class Upload {
public:
    Upload(UploadForm &form, SerialPort &port, FileSystem &files, MessageBox &messages,
           EventLoop &events);

    // Runs one whole upload; returns when it has ended at the end of the file, by Cancel or by
    // an error.
    void run();
    // Asks the running upload to stop before it hands over the next line.
    void cancel() { m_cancelRequested = true; }
    bool isRunning() const { return m_running; }

    // How long the device may take nothing while characters wait before the bar says it holds
    // off: at 115 200 baud a line takes a few milliseconds.
    static constexpr std::chrono::seconds kHoldShownAfter{1};
    // After Cancel, the longest the characters already handed over may take before they are
    // dropped; with the port's close, the window is back within half a second.
    static constexpr std::chrono::milliseconds kCancelWait{300};
    // How long the check may take before the bar says it is under way.
    static constexpr std::chrono::milliseconds kCheckShownAfter{200};
    // Time for a hardware buffer to empty once the queue has: 16 characters take 1.4 ms.
    static constexpr std::chrono::milliseconds kFifoTime{20};
    // While the device holds off, the longest sleep between looks.
    static constexpr std::chrono::milliseconds kHeldWait{50};
    // How often a port that opens slowly is asked whether it has.
    static constexpr std::chrono::milliseconds kOpenPoll{20};

private:
    // How an upload ended that no error stopped.
    struct Ending {
        bool sent = false;  // the whole file was handed over and all of it reached the device
        qint64 notSent = 0; // after Cancel: as for ProgressText::cancelled()
        DeliveryReach reach = DeliveryReach::Device;
    };

    Ending sendFile();
    qint16 selectedPortNumber() const;
    bool checkFile(TextStream &stream);
    QString wideByteText(const WideByte &wide) const;
    std::optional<QString> sendLines(TextStream &stream);
    void waitForPort(qint64 queued);
    void watchHoldOff(qint64 queued);
    void waitUntilDelivered(bool wholeFile);
    bool openPort();
    qint64 giveUp();
    QString wholeLinesText(qint64 notSent) const;
    QString notEnoughMemoryText() const;
    void showText(const ProgressText::Shown &shown);

    UploadForm &m_form;
    SerialPort &m_port;
    FileSystem &m_files;
    MessageBox &m_messages;
    EventLoop &m_events;
    ProgressText m_text;
    // Whether the device takes anything: the queue's count at the last look, and when it last
    // shrank or emptied. Both the hold-off shown on the bar and the back-off between looks
    // follow from it.
    qint64 m_watchedQueued = 0;
    EventLoop::Clock::time_point m_movedAt{};
    bool m_cancelRequested = false;
    bool m_running = false;
};
