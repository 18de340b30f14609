#pragma once
// The real window on a real serial port, file reading and event loop, with a dialog that
// chooses the given file and a message box that the test reads: what the end-to-end tests click
// through.

#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>

#include "app/mainwindow.h"
#include "sim/collectedmessages.h"
#include "platform/desktop/qteventloop.h"
#include "platform/files/diskfilesystem.h"
#include "sim/scriptedfiledialog.h"

struct WindowRig {
    WindowRig(SerialPort &port, ComPorts &comPorts, const QString &file)
        : dialog(file), window(Services{dialog, port, files, messages, events, comPorts})
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
    QPushButton *button(const char *name)
    {
        return window.findChild<QPushButton *>(QLatin1String(name));
    }
    QString bar() { return window.findChild<QProgressBar *>()->text(); }
    QString tip() { return window.findChild<QProgressBar *>()->toolTip(); }
    bool ready() { return button("cmdLoad")->isEnabled() && !button("cmdCancel")->isEnabled(); }

    ScriptedFileDialog dialog;
    DiskFileSystem files;
    CollectedMessages messages;
    QtEventLoop events;
    MainWindow window;
};
