// The main window with fake platform objects: its start state, layout, port list, Browse,
// keyboard and closing.

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTest>

#include "app/twipslayout.h"
#include "platform/serial/posix/sysfscomports.h"
#include "sim/scriptedwindow.h"
#include "upload/progresstext.h"
#include "uploadrig.h"

using namespace std::chrono_literals;

namespace {

// Ports the system numbers above COM4, as Windows does its USB adapters.
struct PortsAboveFour final : ComPorts {
    QList<int> numbers;
    QString devicePath(int n) override { return QStringLiteral("\\\\.\\COM%1").arg(n); }
    QString reaches(int n) override { return QStringLiteral("USB Serial Port (COM%1)").arg(n); }
    QList<int> numbersAbove() override { return numbers; }
};

// The window around an upload rig on a fake clock; unless given others, no serial port is found
// in its empty /dev and /sys.
struct Rig {
    explicit Rig(ComPorts *others = nullptr)
        : desk(upload.port, upload.events, others ? *others : comPorts, {})
    {}
    QComboBox *ports() { return window.findChild<QComboBox *>(QStringLiteral("cboPorts")); }

    UploadRig upload{{"line one", "line two"}};
    SysfsComPorts comPorts{upload.lockFolder.path(), upload.lockFolder.path()};
    ScriptedWindow desk;
    MainWindow &window = desk.window;
};

QStringList entries(const QComboBox &box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i)
        texts.append(box.itemText(i));
    return texts;
}

const QStringList kFour{"COM1", "COM2", "COM3", "COM4"};
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
    void portTipIsCurrent();
    void browse();
    void closedWhileUploading();
};

// Catches a window that does not start in its start state, a wrong port list, entries without
// the tooltip of what they reach, and a disabled button's Alt key typed into a box.
void TestMainWindow::startState()
{
    Rig rig;
    QCOMPARE(rig.desk.enabledStates(), kStart);
    QCOMPARE(rig.window.path(), QString());
    QCOMPARE(entries(*rig.ports()), kFour);
    QCOMPARE(rig.window.selectedPortTag(), 1);
    QCOMPARE(rig.window.findChild<QProgressBar *>()->value(), 0);
    // Each entry says what its number reaches; nothing is connected in the rig's tree.
    QCOMPARE(rig.ports()->itemData(1, Qt::ToolTipRole).toString(),
             QStringLiteral("nothing is connected"));
    QCOMPARE(rig.ports()->toolTip(), QStringLiteral("nothing is connected"));
    // The keys of Upload and Cancel, both off: no letter lands in a box.
    QTest::keyClick(rig.window.findChild<QLineEdit *>(QStringLiteral("txtPath")), Qt::Key_U,
                    Qt::AltModifier);
    QTest::keyClick(rig.ports(), Qt::Key_C, Qt::AltModifier);
    QCOMPARE(rig.window.path(), QString());
    QCOMPARE(rig.ports()->currentText(), QStringLiteral("COM1"));
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
        return rig.window.findChild<QWidget *>(QLatin1String(name))->geometry().right();
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
        QVERIFY(fits(text, rig.window.findChild<QProgressBar *>()));
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
    PortsAboveFour ports;
    ports.numbers = {7, 12};
    Rig rig(&ports);
    QComboBox *box = rig.ports();
    QCOMPARE(entries(*box), (kFour + QStringList{"COM7", "COM12"}));
    box->setCurrentIndex(4);
    QCOMPARE(rig.window.selectedPortTag(), 7);
    QCOMPARE(box->toolTip(), QStringLiteral("USB Serial Port (COM7)"));

    ports.numbers = {9, 12};
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    box->showPopup();
    box->hidePopup();
    QCOMPARE(entries(*box), (kFour + QStringList{"COM7", "COM9", "COM12"}));
    QCOMPARE(rig.window.selectedPortTag(), 7);
}

// Catches a port's tooltip gone stale: a device gone since the list last showed still named
// when the box gets the focus or its number is typed; and a typed number above COM4 called no
// port at all.
void TestMainWindow::portTipIsCurrent()
{
    Rig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&rig.window));
    const QString dev = rig.upload.lockFolder.path();
    QFile::link(writeFile(dev + "/ttyS2", {}), dev + "/COM3");
    QLineEdit *edit = rig.ports()->lineEdit();
    const auto type = [edit](const QString &text) {
        edit->selectAll();
        QTest::keyClicks(edit, text);
    };
    type(QStringLiteral("COM3"));
    QCOMPARE(rig.ports()->toolTip(), dev + QStringLiteral("/COM3 \u2014 built-in serial port"));
    QFile::remove(dev + "/COM3");
    rig.desk.button("cmdBrowse")->setFocus();
    rig.ports()->setFocus();
    QTRY_COMPARE(rig.ports()->itemData(2, Qt::ToolTipRole).toString(),
                 QStringLiteral("nothing is connected"));
    type(QStringLiteral("COM9"));
    QCOMPARE(rig.ports()->toolTip(), QStringLiteral("nothing is connected"));
}

// Catches a dialog without the right settings, a cancel that loses the chosen path, and Upload
// enabled without a path.
void TestMainWindow::browse()
{
    Rig rig;
    const QString chosen = QStringLiteral("/data/app.DNL");
    rig.desk.dialog.answers = {std::nullopt, chosen, std::nullopt};
    for (const QString &shown : {QString(), chosen, chosen}) {
        rig.desk.button("cmdBrowse")->click();
        QCOMPARE(rig.window.path(), shown);
        QCOMPARE(rig.desk.enabledStates(), shown.isEmpty() ? kStart : kReady);
    }
    QCOMPARE(rig.desk.dialog.seen.size(), 3);
    const OpenFileSettings &settings = rig.desk.dialog.seen.last();
    QCOMPARE(settings.initialFolder, QCoreApplication::applicationDirPath());
    QCOMPARE(settings.defaultSuffix, QStringLiteral("DNL"));
    QCOMPARE(settings.filterName, QStringLiteral("Download Files"));
    QCOMPARE(settings.filterPattern, QStringLiteral("*.DNL"));
}

// Catches a window closed during an upload that goes on uploading, or that closes before the
// upload has wound up and released the port; and a path that can be changed while its file is
// sent.
void TestMainWindow::closedWhileUploading()
{
    Rig rig;
    rig.desk.dialog.held = rig.upload.form.filePath;
    rig.desk.button("cmdBrowse")->click();
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    rig.upload.tty.holdOff(0s, 1h);
    bool shownAfterClose = false;
    auto *path = rig.window.findChild<QLineEdit *>(QStringLiteral("txtPath"));
    bool pathFixed = false;
    rig.upload.events.onPass = [&] {
        if (rig.upload.events.passes == 50)
            pathFixed = path->isReadOnly(), rig.window.close(),
            shownAfterClose = rig.window.isVisible();
    };
    rig.desk.button("cmdLoad")->click();
    QVERIFY(shownAfterClose);
    QVERIFY(pathFixed && !path->isReadOnly());
    QVERIFY(!rig.window.isVisible());
    QVERIFY(!rig.upload.tty.isOpen());
    QCOMPARE(rig.desk.messages.shown, QStringList());
    QVERIFY2(rig.desk.bar().startsWith(QLatin1String("Cancelled")), qPrintable(rig.desk.bar()));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
