#pragma once
// The platform objects the main window works through. main() passes the real ones; tests pass
// fakes. The window does not own them.

#include "platform/desktop/eventloop.h"
#include "platform/files/filesystem.h"
#include "platform/desktop/messagebox.h"
#include "platform/desktop/openfiledialog.h"
#include "platform/serial/comports.h"
#include "platform/serial/serialport.h"

struct Services {
    OpenFileDialog &fileDialog;
    SerialPort &serialPort;
    FileSystem &fileSystem;
    MessageBox &messageBox;
    EventLoop &eventLoop;
    ComPorts &comPorts;
};
