#include "platform/desktop/qtopenfiledialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>
#include <QUrl>

namespace {

// Accepts a name that does not exist yet, so that the upload can report it, but only in a folder
// that does: a mistyped folder keeps the dialog open.
class ExistingFolderFileDialog final : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && !QFileInfo(files.first()).absoluteDir().exists())
            return;
        QFileDialog::accept();
    }
};

} // namespace

QtOpenFileDialog::QtOpenFileDialog() : m_dialog(std::make_unique<ExistingFolderFileDialog>())
{
    m_dialog->setObjectName(QStringLiteral("CommonDialog1"));
    m_dialog->setOption(QFileDialog::DontUseNativeDialog);
    m_dialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_dialog->setFileMode(QFileDialog::AnyFile);
}

QtOpenFileDialog::~QtOpenFileDialog() = default;

// The side panel: the program's folder, the home folder, Documents, Downloads and the folder of
// the last choice, each once and only where it exists.
QList<QUrl> QtOpenFileDialog::places(const QString &initialFolder) const
{
    QStringList folders{initialFolder};
    for (const auto location : {QStandardPaths::HomeLocation, QStandardPaths::DocumentsLocation,
                                QStandardPaths::DownloadLocation})
        folders.append(QStandardPaths::writableLocation(location));
    if (!m_fileName.isEmpty())
        folders.append(QFileInfo(m_fileName).absolutePath());
    QList<QUrl> urls;
    for (const QString &folder : folders) {
        const QUrl url = QUrl::fromLocalFile(QDir::cleanPath(folder));
        if (!folder.isEmpty() && QFileInfo(folder).isDir() && !urls.contains(url))
            urls.append(url);
    }
    return urls;
}

QString QtOpenFileDialog::chooseFile(const OpenFileSettings &settings)
{
    m_dialog->setDirectory(settings.initialFolder);
    m_dialog->setDefaultSuffix(settings.defaultSuffix);
    m_dialog->setOption(QFileDialog::ReadOnly, false);
    // Without QDir::CaseSensitive in its filter the dialog matches patterns in either case, so
    // "*.DNL" lists app.dnl as well.
    m_dialog->setNameFilter(
        QStringLiteral("%1 (%2)").arg(settings.filterName, settings.filterPattern));
    if (!m_fileName.isEmpty())
        m_dialog->selectFile(m_fileName);
    m_dialog->setSidebarUrls(places(settings.initialFolder));

    const bool accepted = m_dialog->exec() == QDialog::Accepted;
    hidePopups();
    if (accepted) {
        const QStringList files = m_dialog->selectedFiles();
        if (!files.isEmpty())
            m_fileName = QDir::toNativeSeparators(files.first());
    }
    return m_fileName;
}

// Enter in the file-name box while its completion list shows closes the dialog and leaves the
// list on screen, holding the keyboard and the mouse, so that the window beneath gets neither.
void QtOpenFileDialog::hidePopups()
{
    for (QLineEdit *edit : m_dialog->findChildren<QLineEdit *>())
        if (QCompleter *completer = edit->completer(); completer && completer->popup())
            completer->popup()->hide();
    for (int i = 0; i < 8 && QApplication::activePopupWidget(); ++i)
        QApplication::activePopupWidget()->close();
}
