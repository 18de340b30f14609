#pragma once
// The platform objects the main window works through. main() passes the real ones; tests pass
// fakes. The window does not own them.

#include "platform/comports.h"
#include "platform/eventloop.h"
#include "platform/filesystem.h"
#include "platform/messagebox.h"
#include "platform/openfiledialog.h"
#include "platform/serialport.h"

struct Services {
    OpenFileDialog &fileDialog;
    SerialPort &serialPort;
    FileSystem &fileSystem;
    MessageBox &messageBox;
    EventLoop &eventLoop;
    const ComPorts &comPorts;
};
