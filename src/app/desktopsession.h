#pragma once
// What start-up needs to know of the desktop it runs on; each system has its own
// (desktopsession_posix.cpp, desktopsession_windows.cpp).

#include <optional>

#include <QIcon>
#include <QString>

// Why no window can be opened, where that is known before Qt tries (Qt would abort).
std::optional<QString> missingDesktop();

// The window icon; where it is the null icon, the system's own for the program applies.
QIcon programIcon();
