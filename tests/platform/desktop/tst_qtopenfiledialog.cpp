// The real open-file dialog, driven while it is shown: its folder, its filter in either letter
// case, names that do not exist, and the name it keeps when cancelled.

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QPushButton>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/desktop/qtopenfiledialog.h"

namespace {

// Runs action on the dialog once it is shown, then makes sure it closes.
void whileShown(const std::function<void(QFileDialog &)> &action)
{
    QTimer::singleShot(0, qApp, [action] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            qFatal("the file dialog is not shown");
        action(*dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
}

// As the operator does: a name typed into the file-name box, then the dialog's Open button.
void typeAndOpen(QFileDialog &dialog, const QString &name)
{
    auto *edit = dialog.findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    auto *buttons = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    if (!edit || !buttons || !buttons->button(QDialogButtonBox::Open))
        qFatal("the file dialog has no file-name box or no Open button");
    edit->setText(name);
    buttons->button(QDialogButtonBox::Open)->click();
}

} // namespace

class TestQtOpenFileDialog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void startsInFolderListingDownloadFiles();
    void choosingAndCancelling();

private:
    OpenFileSettings settings() const
    {
        return {m_dir.path(), QStringLiteral("DNL"), QStringLiteral("Download Files"),
                QStringLiteral("*.DNL")};
    }

    QTemporaryDir m_dir;
};

void TestQtOpenFileDialog::initTestCase()
{
    for (const char *name : {"upper.DNL", "lower.dnl", "notes.txt", "DNL"}) {
        QFile file(m_dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
}

// Catches a dialog that opens elsewhere, hides lower-case .dnl files, lists other files, or
// offers no way to the user's own folders.
void TestQtOpenFileDialog::startsInFolderListingDownloadFiles()
{
    QtOpenFileDialog chooser;
    QString folder;
    QStringList listed;
    QStringList filters;
    QList<QUrl> places;
    whileShown([&](QFileDialog &dialog) {
        folder = dialog.directory().absolutePath();
        filters = dialog.nameFilters();
        places = dialog.sidebarUrls();
        auto *view = dialog.findChild<QListView *>(QStringLiteral("listView"));
        if (!view)
            return;
        auto *model = qobject_cast<QFileSystemModel *>(view->model());
        (void)QTest::qWaitFor([&] { return model && model->rowCount(view->rootIndex()) >= 2; },
                              5000);
        QTest::qWait(100);
        for (int row = 0; row < model->rowCount(view->rootIndex()); ++row)
            listed.append(model->index(row, 0, view->rootIndex()).data().toString());
    });
    QCOMPARE(chooser.chooseFile(settings()), QString());
    QCOMPARE(folder, QDir(m_dir.path()).absolutePath());
    QCOMPARE(filters, QStringList{QStringLiteral("Download Files (*.DNL)")});
    // The side panel offers the program's folder first, and the home folder.
    QCOMPARE(places.value(0), QUrl::fromLocalFile(m_dir.path()));
    QVERIFY(places.contains(QUrl::fromLocalFile(QDir::homePath())));
    listed.sort();
    QCOMPARE(listed, (QStringList{QStringLiteral("lower.dnl"), QStringLiteral("upper.DNL")}));
}

// Catches a name refused because the file does not exist yet, a missing default suffix, a
// cancel that forgets the previous choice, and a name accepted in a folder that does not exist.
void TestQtOpenFileDialog::choosingAndCancelling()
{
    QtOpenFileDialog chooser;

    whileShown([](QFileDialog &dialog) { typeAndOpen(dialog, QStringLiteral("not-yet")); });
    const QString chosen = chooser.chooseFile(settings());
    QCOMPARE(chosen, QDir::toNativeSeparators(m_dir.filePath(QStringLiteral("not-yet.DNL"))));

    QStringList offered;
    whileShown([&](QFileDialog &dialog) { offered = dialog.selectedFiles(); });
    QCOMPARE(chooser.chooseFile(settings()), chosen);
    QCOMPARE(offered, QStringList{QDir::fromNativeSeparators(chosen)});

    bool stayedOpen = false;
    whileShown([&](QFileDialog &dialog) {
        typeAndOpen(dialog, m_dir.filePath(QStringLiteral("no-such-folder/app.DNL")));
        stayedOpen = dialog.isVisible();
    });
    QCOMPARE(chooser.chooseFile(settings()), chosen);
    QVERIFY(stayedOpen);

    whileShown([&](QFileDialog &dialog) { typeAndOpen(dialog, QStringLiteral("lower.dnl")); });
    QCOMPARE(chooser.chooseFile(settings()),
             QDir::toNativeSeparators(m_dir.filePath(QStringLiteral("lower.dnl"))));
}

QTEST_MAIN(TestQtOpenFileDialog)
#include "tst_qtopenfiledialog.moc"
