#pragma once
// The desktop room: what the window system gives the upload and the window besides their
// widgets (event loop, message box, open-file dialog, progress bar), each an interface with its
// Qt version beside it. May include Qt and platform/operatorerror.h.
//
// The window's event queue as the upload sees it: a way to handle pending events from inside a
// long action, and the clock that paces it.

#include <chrono>

#include <QtGlobal>

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~EventLoop() = default;

    // Handles the pending window events. When none are pending, waits up to maxWait for one, or
    // for wake (where it is not -1; see SerialPort::wakeHandle()).
    virtual void processEvents(std::chrono::milliseconds maxWait, qintptr wake = -1) = 0;
    virtual Clock::time_point now() const = 0;
};
