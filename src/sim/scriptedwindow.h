#pragma once
// The real window for the tests, the benchmark and the tools, with a dialog that chooses the
// given file (or the caller's own dialog), the real file reading, and a message box that
// collects what it would show. The port, the event loop and the system's COM ports are the
// caller's.

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

    ScriptedFileDialog dialog;
    DiskFileSystem files;
    CollectedMessages messages;
    MainWindow window;
};
