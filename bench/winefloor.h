#pragma once
// For zelvor-wine-bench: what any line-paced upload must do at the least, without the window,
// on the Win32 calls: each line of a file written to a COM port, then a timed sleep for its
// time on the wire.

#include <QString>

// Prints a mark for tools/windows/bench to measure between ("uploads", "idle-after", "end").
void mark(const char *what, int value = 0);

int winefloor(const QString &port, const QString &file);
