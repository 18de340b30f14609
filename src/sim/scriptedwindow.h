#pragma once
// The real window for the tests, the benchmark and the tools, with a dialog that chooses the
// given file (or the caller's own dialog), the real file reading, and a message box that
// collects what it would show. The port, the event loop and the system's COM ports are the
// caller's.

#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>

#include "app/mainwindow.h"
#include "platform/files/diskfilesystem.h"
#include "sim/collectedmessages.h"
#include "sim/scriptedfiledialog.h"

struct ScriptedWindow {
    ScriptedWindow(SerialPort &port, EventLoop &events, ComPorts &comPorts, const QString &file,
                   OpenFileDialog *realDialog = nullptr)
        : dialog(file), window(Services{realDialog ? *realDialog : dialog, port, files, messages,
                                        events, comPorts})
    {}

    QPushButton *button(const char *name) const
    {
        return window.findChild<QPushButton *>(QLatin1String(name));
    }
    QString bar() const { return window.findChild<QProgressBar *>()->text(); }
    // Clicks Upload and returns how long the upload took, in ms.
    qint64 upload() const
    {
        QElapsedTimer timer;
        timer.start();
        button("cmdLoad")->click();
        return timer.elapsed();
    }
    bool ready() const
    {
        return button("cmdLoad")->isEnabled() && !button("cmdCancel")->isEnabled();
    }
    // Browse, Upload, port list, Cancel, Ok.
    QList<bool> enabledStates() const
    {
        QList<bool> enabled;
        for (const char *name : {"cmdBrowse", "cmdLoad", "cboPorts", "cmdCancel", "cmdOk"})
            enabled.append(window.findChild<QWidget *>(QLatin1String(name))->isEnabled());
        return enabled;
    }

    ScriptedFileDialog dialog;
    DiskFileSystem files;
    CollectedMessages messages;
    MainWindow window;
};
