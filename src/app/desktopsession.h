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

// Says why the program cannot start, before Qt can show anything: a line on stderr, and on
// Windows, where a program started from Explorer has no console, a message box too.
void reportStartFailure(const QString &program, const QString &why);
