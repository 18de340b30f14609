#include "app/desktopsession.h"

#include <cstdio>

std::optional<QString> missingDesktop()
{
    if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
        qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return std::nullopt;
    return QStringLiteral("no display found (DISPLAY is not set); start it from a desktop "
                          "session.");
}

// Drawn by Qt's SVG icon engine (libqt6svg6) from the packaged icon, compiled in.
QIcon programIcon()
{
    return QIcon(QStringLiteral(":/zelvor-upload.svg"));
}

void reportStartFailure(const QString &program, const QString &why)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(why));
}
