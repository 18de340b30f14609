// Starts the program: one window, the real platform objects behind it, no command line.

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QIcon>
#include <QStringList>

#include "app/desktopsession.h"
#include "app/fatalerror.h"
#include "app/mainwindow.h"
#include "platform/desktop/qteventloop.h"
#include "platform/desktop/qtmessagebox.h"
#include "platform/desktop/qtopenfiledialog.h"
#include "platform/files/diskfilesystem.h"
#include "platform/serial/systemports.h"

namespace {

constexpr const char *kProgramName = "zelvor-upload";

// Qt's reasons for not reaching the window system, as it gave them while starting.
QStringList &windowSystemReasons()
{
    static QStringList reasons;
    return reasons;
}

// While the window system is being reached, Qt explains a failure over several messages and
// then aborts with a page of text; say it in one line, with Qt's own reason, and exit instead.
void startupMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg) {
        QStringList reasons = windowSystemReasons();
        if (reasons.isEmpty())
            reasons.append(message.section(QLatin1Char('\n'), 0, 0));
        reportStartFailure(
            QString::fromLatin1(kProgramName),
            QStringLiteral("cannot open a window: %1").arg(reasons.join(QStringLiteral("; "))));
        std::_Exit(EXIT_FAILURE);
    }
    if (context.category && QByteArray(context.category).startsWith("qt.qpa")) {
        windowSystemReasons().append(message.simplified());
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char *argv[])
{
    if (const std::optional<QString> missing = missingDesktop()) {
        reportStartFailure(QString::fromLatin1(kProgramName), *missing);
        return EXIT_FAILURE;
    }
    const QtMessageHandler qtMessages = qInstallMessageHandler(startupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtMessages);
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kProgramName));
    QApplication::setWindowIcon(programIcon());

    QtOpenFileDialog fileDialog;
    SystemPorts ports;
    DiskFileSystem fileSystem;
    QtMessageBox messageBox;
    QtEventLoop eventLoop;
    const Services services{fileDialog, ports.serialPort(), fileSystem,
                            messageBox, eventLoop,          ports.comPorts()};

    try {
        MainWindow window(services);
        window.show();
        const int code = app.exec();
        // A close the driver never finishes keeps the process, and the port, after the window
        // is gone: the operator hears of it rather than finding the port taken later.
        if (const QString unfinished = ports.serialPort().closeUnfinished(); !unfinished.isEmpty())
            messageBox.show(unfinished);
        return code;
    } catch (const std::exception &error) {
        endWithUncaughtError(error);
    }
}
