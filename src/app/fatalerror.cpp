#include "app/fatalerror.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QMessageBox>

#include "platform/operatorerror.h"

void endWithUncaughtError(const std::exception &error)
{
    const auto *operatorError = dynamic_cast<const OperatorError *>(&error);
    const QString text =
        operatorError ? operatorError->text() : QString::fromLocal8Bit(error.what());
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) &&
        QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QMessageBox::critical(nullptr, QStringLiteral("Zelvor Upload"), text);
    }
    std::exit(EXIT_FAILURE);
}
