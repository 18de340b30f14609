#include "app/desktopsession.h"

// A Windows session always has its desktop.
std::optional<QString> missingDesktop()
{
    return std::nullopt;
}

// Windows gives each window the program's own icon, IDI_ICON1 in its resources.
QIcon programIcon()
{
    return {};
}
