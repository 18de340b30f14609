#include "app/desktopsession.h"

#include <cstdio>

#include <windows.h>

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

void reportStartFailure(const QString &program, const QString &why)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(why));
    const std::wstring text =
        QStringLiteral("Zelvor Upload cannot start: %1").arg(why).toStdWString();
    ::MessageBoxW(nullptr, text.c_str(), L"Zelvor Upload", MB_OK | MB_ICONERROR);
}
