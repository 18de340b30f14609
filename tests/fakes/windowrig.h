#pragma once
// The real window on a real serial port, file reading and event loop, with a dialog that
// chooses the given file and a message box that the test reads: what the end-to-end tests click
// through.

#include <QElapsedTimer>

#include "platform/desktop/qteventloop.h"
#include "sim/scriptedwindow.h"

struct QtEvents {
    QtEventLoop events;
};

struct WindowRig : QtEvents, ScriptedWindow {
    WindowRig(SerialPort &port, ComPorts &comPorts, const QString &file)
        : ScriptedWindow(port, events, comPorts, file)
    {
        button("cmdBrowse")->click();
    }
    // Clicks Upload and returns how long the upload took, in ms.
    qint64 upload()
    {
        QElapsedTimer timer;
        timer.start();
        button("cmdLoad")->click();
        return timer.elapsed();
    }
    bool ready() { return button("cmdLoad")->isEnabled() && !button("cmdCancel")->isEnabled(); }
};
