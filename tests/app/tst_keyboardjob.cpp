// The whole job from the keyboard alone, as a screen reader's user does it, on a real X server
// with the screen-reader interface on (AT-SPI): Browse with Alt+B, a path typed into the real
// file dialog and Enter pressed while its completion list shows, the port picked, Upload,
// Cancel, Upload again, the outcome read off the bar through AT-SPI, and Ok. The upload goes
// through the real port and event loop to a pseudo-terminal the test owns. Run by CTest under
// dbus-run-session and xvfb-run.

#include <atomic>
#include <future>
#include <thread>

#include <QAccessible>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include "platform/desktop/qteventloop.h"
#include "platform/desktop/qtopenfiledialog.h"
#include "platform/serial/posix/kerneltty.h"
#include "platform/serial/posix/posixserialport.h"
#include "sim/atspireader.h"
#include "sim/ptydevice.h"
#include "sim/samplelines.h"
#include "sim/scriptedwindow.h"
#include "testfiles.h"

namespace {

constexpr int kLines = 150; // of 72 characters with their CR LF

// COM2 reaches the test's pseudo-terminal; the other numbers reach nothing.
struct TestPorts final : ComPorts {
    explicit TestPorts(const std::string &path) : device(QString::fromStdString(path)) {}
    const QString device;
    QString devicePath(int) override { return device; }
    QString reaches(int n) override
    {
        return n == 2 ? device + QStringLiteral(" \u2014 the test's device")
                      : QStringLiteral("nothing is connected");
    }
};

// The screen reader's questions go from another thread, while this one answers them.
template <typename Ask> auto overAtSpi(Ask ask)
{
    auto answer = std::async(std::launch::async, ask);
    while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QTest::qWait(1);
    return answer.get();
}

QList<QString> barNames; // the bar's names as each change was announced
QAccessible::UpdateHandler announce = nullptr;

void recordAnnouncement(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::NameChanged && qobject_cast<QProgressBar *>(event->object()))
        barNames.append(static_cast<QWidget *>(event->object())->accessibleName());
    if (announce)
        announce(event);
}

// Types the file's folder and the start of its name into the dialog's file-name box, waits for
// the completion list, types the rest into it as the keyboard does and presses Enter.
void typePathAndEnter(const QString &file, bool &entered)
{
    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    QVERIFY(name);
    QTRY_VERIFY(name->hasFocus());
    name->clear();
    QTest::keyClicks(name, file.chopped(5));
    QTRY_VERIFY(QApplication::activePopupWidget());
    QTest::keyClicks(QApplication::activePopupWidget(), file.right(5));
    QVERIFY(QApplication::activePopupWidget()); // the list still shows as Enter is pressed
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Return);
    entered = true;
}

} // namespace

class TestKeyboardJob : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void wholeJobFromTheKeyboard();
};

void TestKeyboardJob::initTestCase()
{
    // Asking for the accessibility bus starts it; Qt's bridge sees it appear and turns on.
    AtSpiReader reader(QStringLiteral("start"));
    QVERIFY(reader.connected());
    QTRY_VERIFY(QAccessible::isActive());
    announce = QAccessible::installUpdateHandler(recordAnnouncement);
}

// Catches, each by a step of its own: a button that reacts to Enter or Esc; a keyboard trap after
// the file dialog (its completion list left on screen, no active window, no focus); a missing
// mnemonic; the port's device not said when the port box gets the focus or another entry; focus
// left in the path box when an upload starts or ends (so that Space wipes the path); a bar whose
// text a screen reader cannot read, whose changes are not announced, that Tab skips, or that is
// short of full on "Sent"; the window exposed as a "filler"; and an upload that waits between lines
// outside the window's dispatcher (where a screen reader's question waits for the next pass).
void TestKeyboardJob::wholeJobFromTheKeyboard()
{
    QTemporaryDir dir;
    const QByteArray content = SampleLines::withCrLf(SampleLines::make(kLines, 70));
    const QString file = writeFile(dir.filePath(QStringLiteral("app.DNL")), content);
    PtyDevice pty;
    TestPorts comPorts(pty.path());
    KernelTty tty;
    PosixSerialPort port(
        tty, [&comPorts](int) { return comPorts.device; }, dir.path());
    QtOpenFileDialog dialog;
    QtEventLoop events;
    ScriptedWindow desk(port, events, comPorts, {}, &dialog);
    MainWindow &window = desk.window;
    const auto control = [&window](const char *name) {
        return window.findChild<QWidget *>(QLatin1String(name));
    };
    const auto focused = [] {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    const auto press = [&window](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &window, Qt::Key(key), modifiers);
    };
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTRY_COMPARE(focused(), QStringLiteral("txtPath"));
    // Enter and Esc press no button, on the path box or on a button: a dialog they opened is
    // closed and counted.
    int opened = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &window, [&opened] {
        if (QApplication::activeModalWidget())
            ++opened, QApplication::activeModalWidget()->close();
    });
    closer.start(50);
    const auto enterAndEsc = [&press] {
        for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            press(key);
    };

    AtSpiReader reader(QStringLiteral("reader"));
    std::optional<AtSpiReader::Node> app;
    QTRY_VERIFY(
        (app = overAtSpi([&] { return reader.application(QCoreApplication::applicationName()); })));
    const auto find = [&](const QString &role, const QString &name = {}) {
        return overAtSpi([&] { return reader.find(*app, role, name); });
    };
    QVERIFY2(find(QStringLiteral("dialog"), window.windowTitle()), "the window is no dialog");

    enterAndEsc();
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmdBrowse"));
    enterAndEsc();
    closer.stop();
    QCOMPARE(opened, 0);
    QVERIFY(window.isVisible());

    // Browse by its mnemonic; the file dialog is driven from inside its own loop once it shows.
    bool entered = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, &window, [&] {
        if (!qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
            return;
        driver.stop();
        typePathAndEnter(file, entered);
        if (QApplication::activeModalWidget())
            QApplication::activeModalWidget()->close();
    });
    driver.start(50);
    press(Qt::Key_B, Qt::AltModifier);
    QTRY_VERIFY(entered);
    QTRY_COMPARE(window.path(), file);
    QCOMPARE(QApplication::activePopupWidget(), nullptr);
    QTRY_VERIFY(window.isActiveWindow());
    QTRY_COMPARE(focused(), QStringLiteral("cmdBrowse"));

    // The port by the group's mnemonic, and another entry by the arrow key: each time the
    // device behind it is said.
    press(Qt::Key_P, Qt::AltModifier);
    QCOMPARE(focused(), QStringLiteral("cboPorts"));
    const auto combo = find(QStringLiteral("combo box"));
    QVERIFY(combo);
    QCOMPARE(overAtSpi([&] { return reader.description(*combo); }), comPorts.reaches(1));
    QTRY_COMPARE(QToolTip::text(), comPorts.reaches(1));
    press(Qt::Key_Down);
    QCOMPARE(window.selectedPortTag(), 2);
    QCOMPARE(overAtSpi([&] { return reader.description(*combo); }), comPorts.reaches(2));
    QTRY_COMPARE(QToolTip::text(), comPorts.reaches(2));
    // Chosen from the dropped-down list: said once the list has closed.
    auto *list = window.findChild<QComboBox *>(QStringLiteral("cboPorts"))->view();
    QToolTip::hideText();
    press(Qt::Key_Down, Qt::AltModifier);
    QTRY_VERIFY(list->isVisible());
    QTest::keyClick(list, Qt::Key_Up);
    QTest::keyClick(list, Qt::Key_Return);
    QTRY_COMPARE(QToolTip::text(), comPorts.reaches(1));
    press(Qt::Key_Down);
    QCOMPARE(window.selectedPortTag(), 2);

    // Tab reaches the bar, then Upload.
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("ProgressBar1"));
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmdLoad"));

    // Upload by its mnemonic while the device holds off; the focus is on Cancel meanwhile, and
    // the bar says why nothing moves. Cancel by its mnemonic.
    pty.holdOff(true);
    QString focusWhileHeld;
    QList<bool> statesWhileHeld;
    QString heldName;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &window, [&] {
        if (!desk.bar().startsWith(QLatin1String("Waiting")))
            return;
        watch.stop();
        focusWhileHeld = focused();
        statesWhileHeld = desk.enabledStates();
        const auto bar = find(QStringLiteral("progress bar"));
        heldName = bar ? overAtSpi([&] { return reader.name(*bar); }) : QString();
        press(Qt::Key_C, Qt::AltModifier);
    });
    watch.start(100);
    press(Qt::Key_U, Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(!watch.isActive() && control("cmdLoad")->isEnabled(), 10000);
    QCOMPARE(focusWhileHeld, QStringLiteral("cmdCancel"));
    QCOMPARE(statesWhileHeld, (QList<bool>{false, false, false, true, false}));
    QCOMPARE(heldName, QStringLiteral("Upload progress: Waiting for the device \u00b7 0:01"));
    QTRY_COMPARE(focused(), QStringLiteral("cmdLoad"));
    QCOMPARE(desk.enabledStates(), (QList<bool>{true, true, true, false, true}));
    QVERIFY(barNames.last().startsWith(QLatin1String("Upload progress: Cancelled")));
    QCOMPARE(window.progress().value(), 0.0f);

    // Upload again with Space on the focused Upload: it runs inside the key press. Meanwhile
    // another thread, as the D-Bus thread does with a screen reader's call, posts to the window
    // again and again, each time with the lines the device has got: the window handles each
    // before the upload has handed over more than a line or two after them, since it waits for
    // the line and the window together.
    pty.holdOff(false);
    pty.received();
    std::atomic<bool> uploading = true;
    QByteArray got;
    qint64 mostLinesLate = 0;
    std::thread poster([&] {
        while (uploading) {
            got += QByteArray::fromStdString(pty.received());
            QMetaObject::invokeMethod(
                &window,
                [&, delivered = got.count('\n')] {
                    if (control("cmdCancel")->isEnabled()) // still uploading
                        mostLinesLate = std::max<qint64>(
                            mostLinesLate, qint64(window.progress().value()) / 72 + 1 - delivered);
                },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    press(Qt::Key_Space);
    uploading = false;
    poster.join();
    QCOMPARE(desk.messages.shown, QStringList());
    QCOMPARE(got + QByteArray::fromStdString(pty.received()), content);
    QVERIFY2(mostLinesLate <= 2, qPrintable(QString::number(mostLinesLate)));
    QCOMPARE(focused(), QStringLiteral("cmdLoad"));
    QCOMPARE(window.path(), file);

    // The outcome, as a screen reader reads it, and announced.
    const auto bar = find(QStringLiteral("progress bar"));
    QVERIFY(bar);
    const QString outcome = overAtSpi([&] { return reader.name(*bar); });
    QVERIFY2(outcome.startsWith(QLatin1String("Upload progress: Sent in 0:0")),
             qPrintable(outcome));
    QCOMPARE(barNames.last(), outcome);
    QVERIFY(overAtSpi([&] { return reader.description(*bar); }).startsWith(QLatin1String("Sent ")));
    QCOMPARE(overAtSpi([&] { return reader.value(*bar, "CurrentValue"); }),
             overAtSpi([&] { return reader.value(*bar, "MaximumValue"); }));

    // Tab passes the disabled Cancel; Enter and Esc do not close the window, Alt+O does.
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmdOk"));
    enterAndEsc();
    QVERIFY(window.isVisible());
    press(Qt::Key_O, Qt::AltModifier);
    QTRY_VERIFY(!window.isVisible());
}

QTEST_MAIN(TestKeyboardJob)
#include "tst_keyboardjob.moc"
