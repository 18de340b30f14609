// The main window with fake platform objects: its start state, layout, port list, Browse,
// keyboard and closing.

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include "app/mainwindow.h"
#include "app/twipslayout.h"
#include "upload/progresstext.h"
#include "platform/serial/comports.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/scriptedfiledialog.h"
#include "uploadrig.h"

namespace {

// The window around an upload rig; no serial port is found in its empty /dev and /sys.
struct Rig {
    UploadRig upload{{"line one", "line two"}};
    ScriptedFileDialog dialog;
    SysfsComPorts comPorts{upload.lockFolder.path(), upload.lockFolder.path()};
    MainWindow window{
        Services{dialog, upload.port, upload.files, upload.messages, upload.events, comPorts}};

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

// Ports the system numbers above COM4, as Windows does its USB adapters.
struct PortsAboveFour final : ComPorts {
    QList<int> numbers;
    QString devicePath(int n) override { return QStringLiteral("\\\\.\\COM%1").arg(n); }
    QString reaches(int n) override { return QStringLiteral("USB Serial Port (COM%1)").arg(n); }
    QList<int> numbersAbove() override { return numbers; }
};

QStringList entries(const QComboBox &box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i)
        texts.append(box.itemText(i));
    return texts;
}

const QList<bool> kStart{true, false, true, false, true};
const QList<bool> kReady{true, true, true, false, true};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startState();
    void layout_data();
    void layout();
    void portListStaysFourEntries_data();
    void portListStaysFourEntries();
    void portsAboveCom4();
    void browse();
};

// Catches a window that does not start in its start state, a wrong port list, and entries
// without the tooltip of what they reach.
void TestMainWindow::startState()
{
    Rig rig;
    QCOMPARE(rig.window.objectName(), QStringLiteral("frmMain"));
    QCOMPARE(rig.window.windowTitle(),
             QStringLiteral("Upload Application to Zelvor " ZELVOR_VERSION));
    QCOMPARE(rig.enabledStates(), kStart);
    QCOMPARE(rig.path()->text(), QString());
    QCOMPARE(rig.ports()->currentText(), QStringLiteral("COM1"));
    QCOMPARE(rig.ports()->count(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(rig.ports()->itemText(i), QStringLiteral("COM%1").arg(i + 1));
        QCOMPARE(rig.ports()->itemData(i).toInt(), i + 1);
    }
    QCOMPARE(rig.control<QProgressBar>("ProgressBar1")->value(), 0);
    // Each entry says what its number reaches; nothing is connected in the rig's tree.
    QCOMPARE(rig.ports()->itemData(1, Qt::ToolTipRole).toString(),
             QStringLiteral("nothing is connected"));
    QCOMPARE(rig.ports()->toolTip(), QStringLiteral("nothing is connected"));
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<int>("points");
    QTest::newRow("Qt's default font") << 0;
    for (const int points : {8, 10, 11, 12, 14})
        QTest::addRow("%d pt", points) << points;
}

// Catches a window that can be resized or is not the designed size with the default font,
// captions clipped at larger fonts (buttons, group box titles, the bar's texts), group boxes
// whose right edges part, and controls that leave their group box or cover its title. Runs
// under Xvfb too, where a real window manager protocol applies.
void TestMainWindow::layout()
{
    QFETCH(int, points);
    const QFont before = QApplication::font();
    QFont font = before;
    if (points > 0)
        font.setPointSize(points);
    QApplication::setFont(font);
    const auto restore = qScopeGuard([&before] { QApplication::setFont(before); });
    Rig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    if (points == 0)
        QCOMPARE(rig.window.size(), QSize(496, 192));
    QCOMPARE(rig.window.minimumSize(), rig.window.maximumSize());
    QVERIFY(!(rig.window.windowFlags() & Qt::WindowMinMaxButtonsHint));
    QVERIFY(rig.window.windowFlags() & Qt::WindowCloseButtonHint);

    const auto right = [&rig](const char *name) {
        return rig.control<QWidget>(name)->geometry().right();
    };
    QVERIFY(right("Frame2") < right("Frame3"));
    QCOMPARE(right("Frame1"), right("Frame3"));
    QCOMPARE(right("cmdOk"), right("Frame3"));

    const QFontMetrics metrics(font);
    const auto fits = [&metrics](const QString &text, const QWidget *control) {
        return metrics.horizontalAdvance(text) + 8 <= control->width();
    };
    for (auto *button : rig.window.findChildren<QPushButton *>())
        QVERIFY2(fits(shownText(button->text()), button), qPrintable(button->text()));
    for (const QString &text : ProgressText::widest())
        QVERIFY(fits(text, rig.control<QWidget>("ProgressBar1")));
    for (auto *frame : rig.window.findChildren<QGroupBox *>()) {
        QVERIFY2(fits(shownText(frame->title()), frame), qPrintable(frame->title()));
        QVERIFY(rig.window.rect().contains(frame->geometry()));
        for (auto *inside : frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            QVERIFY(frame->rect().contains(inside->geometry()));
            QVERIFY2(inside->y() >= metrics.height(), qPrintable(inside->objectName()));
        }
    }
}

void TestMainWindow::portListStaysFourEntries_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("pressEnter");
    QTest::addColumn<std::optional<qint32>>("tag");

    QTest::newRow("typed name of an entry") << "COM3" << false << std::optional<qint32>(3);
    QTest::newRow("typed in lower case, Enter") << "com2" << true << std::optional<qint32>(2);
    QTest::newRow("a port the list has not shown, Enter")
        << "COM9" << true << std::optional<qint32>(9);
    QTest::newRow("beyond Windows' numbers") << "COM257" << false << std::optional<qint32>();
    QTest::newRow("not a port name") << "COM" << false << std::optional<qint32>();
}

// Catches typed text growing the list, a typed name that does not select its entry or that
// leaves the previous entry selected, and a COM number Windows can have refused because the
// list has not shown it.
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

// Catches an adapter above COM4 that cannot be chosen or has no tooltip, entries out of order or
// twice, a list not brought up to date when it opens, and a chosen port that vanishes from
// under the operator when its adapter is pulled.
void TestMainWindow::portsAboveCom4()
{
    UploadRig upload{{"line"}};
    ScriptedFileDialog dialog;
    PortsAboveFour ports;
    ports.numbers = {7, 12};
    MainWindow window{
        Services{dialog, upload.port, upload.files, upload.messages, upload.events, ports}};
    auto *box = window.findChild<QComboBox *>(QStringLiteral("cboPorts"));
    QCOMPARE(entries(*box), (QStringList{"COM1", "COM2", "COM3", "COM4", "COM7", "COM12"}));
    box->setCurrentIndex(4);
    QCOMPARE(window.selectedPortTag(), 7);
    QCOMPARE(box->toolTip(), QStringLiteral("USB Serial Port (COM7)"));

    ports.numbers = {9, 12};
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    box->showPopup();
    box->hidePopup();
    QCOMPARE(entries(*box), (QStringList{"COM1", "COM2", "COM3", "COM4", "COM7", "COM9", "COM12"}));
    QCOMPARE(window.selectedPortTag(), 7);
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

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
