#pragma once
// What happens to an error that escapes window load, Browse or Ok: nothing there catches it, so
// it is reported (on stderr, and in a message box when the program has a window system) and the
// program ends with a non-zero status.

#include <exception>

[[noreturn]] void endWithUncaughtError(const std::exception &error);

// Runs a handler of the window; an error escaping it ends the program as above. Exceptions must
// not cross Qt's event loop, so every handler that does not catch its own goes through this.
template <typename Handler> void runUncaught(Handler &&handler)
{
    try {
        handler();
    } catch (const std::exception &error) {
        endWithUncaughtError(error);
    }
}
