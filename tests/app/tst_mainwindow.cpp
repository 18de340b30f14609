// The main window with fake platform objects: its start state, layout, port list, Browse,
// keyboard and closing.

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/mainwindow.h"
#include "fakeeventloop.h"
#include "fakefilesystem.h"
#include "fakemessagebox.h"
#include "fakeopenfiledialog.h"
#include "fakeserialport.h"

namespace {

struct Rig {
    FakeOpenFileDialog dialog;
    FakeSerialPort port;
    FakeFileSystem files{{"line one", "line two"}};
    FakeMessageBox messages;
    FakeEventLoop events;
    MainWindow window{Services{dialog, port, files, messages, events}};

    template <typename T> T *control(const char *name)
    {
        auto *widget = window.findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }
    QPushButton *button(const char *name) { return control<QPushButton>(name); }
    QComboBox *ports() { return control<QComboBox>("cboPorts"); }
    QLineEdit *path() { return control<QLineEdit>("txtPath"); }

    // Browse, Upload, port list, Cancel, Ok.
    QList<bool> enabledStates()
    {
        return {button("cmdBrowse")->isEnabled(), button("cmdLoad")->isEnabled(),
                ports()->isEnabled(), button("cmdCancel")->isEnabled(),
                button("cmdOk")->isEnabled()};
    }
};

const QList<bool> kStart{true, false, true, false, true};
const QList<bool> kReady{true, true, true, false, true};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startState();
    void layout_data();
    void layout();
    void tabOrder();
    void portListStaysFourEntries_data();
    void portListStaysFourEntries();
    void browse();
    void enterAndEscDoNothing();
    void okCloses();
    void controlsDuringUpload();
};

void TestMainWindow::startState()
{
    Rig rig;
    QCOMPARE(rig.window.objectName(), QStringLiteral("frmMain"));
    QCOMPARE(rig.window.windowTitle(), QStringLiteral("Upload Application to Zelvor"));
    QCOMPARE(rig.enabledStates(), kStart);
    QCOMPARE(rig.path()->text(), QString());
    QCOMPARE(rig.ports()->currentText(), QStringLiteral("COM1"));
    QCOMPARE(rig.ports()->count(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(rig.ports()->itemText(i), QStringLiteral("COM%1").arg(i + 1));
        QCOMPARE(rig.ports()->itemData(i).toInt(), i + 1);
    }
    QCOMPARE(rig.window.selectedPortTag(), 1);
    QCOMPARE(rig.window.progress().minimum(), 0.0f);
    QCOMPARE(rig.window.progress().maximum(), 100.0f);
    QCOMPARE(rig.window.progress().value(), 0.0f);
    QCOMPARE(rig.control<QProgressBar>("ProgressBar1")->value(), 0);
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");

    QTest::newRow("Frame1") << "Frame1"
                            << "frmMain"
                            << "1. Select file to upload" << QRect(120, 120, 7215, 855);
    QTest::newRow("txtPath") << "txtPath"
                             << "Frame1"
                             << "" << QRect(120, 240, 5415, 375);
    QTest::newRow("cmdBrowse") << "cmdBrowse"
                               << "Frame1"
                               << "Browse" << QRect(6000, 240, 855, 375);
    QTest::newRow("Frame2") << "Frame2"
                            << "frmMain"
                            << "2. Select COM port" << QRect(120, 1080, 1935, 975);
    QTest::newRow("cboPorts") << "cboPorts"
                              << "Frame2"
                              << "COM1" << QRect(120, 360, 1575, 315);
    QTest::newRow("Frame3") << "Frame3"
                            << "frmMain"
                            << "3. Click Upload to send the file" << QRect(2160, 1080, 5175, 975);
    QTest::newRow("ProgressBar1") << "ProgressBar1"
                                  << "Frame3"
                                  << "" << QRect(240, 360, 3375, 375);
    QTest::newRow("cmdLoad") << "cmdLoad"
                             << "Frame3"
                             << "Upload" << QRect(3960, 360, 855, 375);
    QTest::newRow("cmdCancel") << "cmdCancel"
                               << "frmMain"
                               << "Cancel" << QRect(4800, 2280, 1095, 495);
    QTest::newRow("cmdOk") << "cmdOk"
                           << "frmMain"
                           << "Ok" << QRect(6240, 2280, 1095, 495);
}

// Catches a control missing, misnamed, misplaced or in the wrong container, and a window that
// can be resized. Runs under Xvfb too, where a real window manager protocol applies.
void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);

    Rig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QCOMPARE(rig.window.size(), QSize(496, 192));
    QCOMPARE(rig.window.minimumSize(), rig.window.maximumSize());
    QVERIFY(!(rig.window.windowFlags() & Qt::WindowMinMaxButtonsHint));
    QVERIFY(rig.window.windowFlags() & Qt::WindowCloseButtonHint);

    auto *widget = rig.window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QString shown;
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        shown = frame->title();
    else if (auto *button = qobject_cast<QPushButton *>(widget))
        shown = button->text();
    else if (auto *box = qobject_cast<QComboBox *>(widget))
        shown = box->currentText();
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        shown = edit->text();
    QCOMPARE(shown, caption);
    QVERIFY(widget->isVisible());
}

void TestMainWindow::tabOrder()
{
    Rig rig;
    rig.dialog.answers = {QStringLiteral("/data/app.DNL")};
    rig.button("cmdBrowse")->click();
    rig.button("cmdCancel")->setEnabled(true); // to see it in the chain
    const QStringList expected{"txtPath", "cmdBrowse", "cboPorts", "cmdLoad", "cmdCancel", "cmdOk"};
    QStringList chain;
    QWidget *widget = rig.path();
    for (int i = 0; i < expected.size(); ++i) {
        chain.append(widget->objectName());
        do
            widget = widget->nextInFocusChain();
        while (widget->focusPolicy() == Qt::NoFocus || widget->objectName().isEmpty() ||
               !widget->isEnabled());
    }
    QCOMPARE(chain, expected);
    QCOMPARE(widget->objectName(), QStringLiteral("txtPath"));
}

void TestMainWindow::portListStaysFourEntries_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("pressEnter");
    QTest::addColumn<std::optional<qint32>>("tag");

    QTest::newRow("typed name of an entry") << "COM3" << false << std::optional<qint32>(3);
    QTest::newRow("typed in lower case, Enter") << "com2" << true << std::optional<qint32>(2);
    QTest::newRow("no such entry, Enter") << "COM9" << true << std::optional<qint32>();
    QTest::newRow("free text") << "ttyUSB0" << false << std::optional<qint32>();
    QTest::newRow("emptied") << "" << true << std::optional<qint32>();
}

// Catches typed text growing the list, and a typed name that does not select its entry or that
// leaves the previous entry selected.
void TestMainWindow::portListStaysFourEntries()
{
    QFETCH(QString, typed);
    QFETCH(bool, pressEnter);
    QFETCH(std::optional<qint32>, tag);

    Rig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QLineEdit *edit = rig.ports()->lineEdit();
    QVERIFY(edit);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, typed);
    if (pressEnter)
        QTest::keyClick(edit, Qt::Key_Return);

    QCOMPARE(rig.ports()->count(), 4);
    QCOMPARE(rig.window.selectedPortTag(), tag);

    rig.ports()->setCurrentIndex(3); // picked from the drop-down
    QCOMPARE(rig.window.selectedPortTag(), 4);
    QCOMPARE(rig.ports()->count(), 4);
}

// Catches a dialog without the right settings, a cancel that loses the chosen path, and Upload
// enabled without a path.
void TestMainWindow::browse()
{
    Rig rig;
    rig.dialog.answers = {std::nullopt, QStringLiteral("/data/app.DNL"), std::nullopt};

    rig.button("cmdBrowse")->click();
    QCOMPARE(rig.path()->text(), QString());
    QCOMPARE(rig.enabledStates(), kStart);

    rig.button("cmdBrowse")->click();
    QCOMPARE(rig.path()->text(), QStringLiteral("/data/app.DNL"));
    QCOMPARE(rig.enabledStates(), kReady);

    rig.button("cmdBrowse")->click();
    QCOMPARE(rig.path()->text(), QStringLiteral("/data/app.DNL"));
    QCOMPARE(rig.enabledStates(), kReady);

    QCOMPARE(rig.dialog.seen.size(), 3);
    const OpenFileSettings &settings = rig.dialog.seen.last();
    QCOMPARE(settings.initialFolder, QCoreApplication::applicationDirPath());
    QCOMPARE(settings.defaultSuffix, QStringLiteral("DNL"));
    QCOMPARE(settings.filterName, QStringLiteral("Download Files"));
    QCOMPARE(settings.filterPattern, QStringLiteral("*.DNL"));
}

void TestMainWindow::enterAndEscDoNothing()
{
    Rig rig;
    rig.dialog.answers = {QStringLiteral("/data/app.DNL")};
    rig.button("cmdBrowse")->click();
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    rig.window.activateWindow();

    for (const char *name : {"cmdBrowse", "cmdLoad", "cmdOk"}) {
        QPushButton *button = rig.button(name);
        QVERIFY(!button->autoDefault());
        QVERIFY(!button->isDefault());
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Return);
        QTest::keyClick(button, Qt::Key_Enter);
        QTest::keyClick(button, Qt::Key_Escape);
    }
    QTest::keyClick(rig.path(), Qt::Key_Return);
    QTest::keyClick(rig.path(), Qt::Key_Escape);
    QVERIFY(rig.window.isVisible());
    QCOMPARE(rig.dialog.seen.size(), 1);
    QCOMPARE(rig.port.openCount, 0);
}

void TestMainWindow::okCloses()
{
    Rig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    rig.button("cmdOk")->click();
    QVERIFY(!rig.window.isVisible());
}

void TestMainWindow::controlsDuringUpload()
{
    Rig rig;
    rig.dialog.answers = {QStringLiteral("/data/app.DNL")};
    rig.button("cmdBrowse")->click();
    QList<bool> during;
    rig.events.onPass = [&rig, &during] {
        rig.port.queued = 0;
        if (during.isEmpty())
            during = rig.enabledStates();
    };
    rig.button("cmdLoad")->click();
    QCOMPARE(during, (QList<bool>{false, false, false, true, false}));
    QCOMPARE(rig.enabledStates(), kReady);
    QVERIFY(rig.path()->isEnabled());
    QCOMPARE(rig.port.sentBytes(), QByteArray("line one\r\nline two\r\n"));
    QCOMPARE(rig.window.progress().maximum(), 20.0f);
    QCOMPARE(rig.window.progress().value(), 10.0f);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
