// The progress bar's display of the upload's single-precision range and value.

#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "platform/desktop/qtprogressdisplay.h"

class TestQtProgressDisplay : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shownPosition_data();
    void shownPosition();
    void drawnAtAReadingPace();
    void focusShown();
};

void TestQtProgressDisplay::shownPosition_data()
{
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("shown");

    constexpr int full = QtProgressDisplay::kSteps;
    QTest::newRow("start 0..100") << 0.0f << 100.0f << 0.0f << 0;
    QTest::newRow("half") << 0.0f << 66.0f << 33.0f << full / 2;
    QTest::newRow("beyond the end, lone line ends") << 0.0f << 10.0f << 14.0f << full;
    QTest::newRow("empty file 0..0") << 0.0f << 0.0f << 0.0f << 0;
    QTest::newRow("below the range") << 10.0f << 20.0f << 5.0f << 0;
    QTest::newRow("beyond 2^24, where floats skip integers")
        << 0.0f << 2147483647.0f << 1073741824.0f << full / 2;
}

// Catches an overflowing or busy bar: Qt's bar animates endlessly for an empty range and
// takes only ints.
void TestQtProgressDisplay::shownPosition()
{
    QFETCH(float, min);
    QFETCH(float, max);
    QFETCH(float, value);
    QFETCH(int, shown);

    QProgressBar bar;
    QtProgressDisplay display(bar, QStringLiteral("Upload progress"));
    display.setMinimum(min);
    display.setMaximum(max);
    display.setValue(value);
    QCOMPARE(bar.value(), shown);
    QVERIFY(bar.maximum() > bar.minimum());

    // The text shows as given: a % is no placeholder for Qt's own figures.
    QCOMPARE(bar.text(), QString());
    display.setText(QStringLiteral("41 % \u00b7 0:11 left"), QStringLiteral("details"));
    QCOMPARE(bar.text(), QStringLiteral("41 % \u00b7 0:11 left"));
    QCOMPARE(bar.toolTip(), QStringLiteral("details"));
}

// Catches a bar drawn anew for every line (hundreds of times a second) or for a style's
// animation, and a last value or a text that never shows.
void TestQtProgressDisplay::drawnAtAReadingPace()
{
    QProgressBar bar;
    QtProgressDisplay display(bar, QStringLiteral("Upload progress"));
    display.setMaximum(1000.0f);
    constexpr int step = QtProgressDisplay::kSteps / 1000;
    display.setValue(10.0f);
    QCOMPARE(bar.value(), 10 * step); // the first change shows at once
    for (int line = 11; line <= 400; ++line)
        display.setValue(float(line));
    QCOMPARE(bar.value(), 10 * step);
    QTRY_COMPARE_WITH_TIMEOUT(bar.value(), 400 * step, 1000);
    display.setValue(500.0f);
    display.setValue(600.0f);
    display.setText(QStringLiteral("60 %"), {}); // a new text shows the value it goes with
    QCOMPARE(bar.value(), 600 * step);

    // A style's animation (Windows' glow along the bar) draws 30 times a second, for as long as
    // the bar takes its frames, as a shown bar does.
    bar.show();
    QEvent frame(QEvent::StyleAnimationUpdate);
    frame.setAccepted(false);
    QCoreApplication::sendEvent(&bar, &frame);
    QVERIFY(!frame.isAccepted());
}

// Catches a bar with the focus drawn as one without: a keyboard user would not see where it is.
void TestQtProgressDisplay::focusShown()
{
    QWidget window;
    auto *before = new QPushButton(&window);
    auto *bar = new QProgressBar(&window);
    QtProgressDisplay display(*bar, QStringLiteral("Upload progress"));
    bar->setFocusPolicy(Qt::TabFocus);
    bar->setGeometry(0, 40, 200, 24);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    before->setFocus();
    const QImage without = bar->grab().toImage();
    QTest::keyClick(before, Qt::Key_Tab);
    QVERIFY(bar->hasFocus());
    QVERIFY(bar->grab().toImage() != without);
}

QTEST_MAIN(TestQtProgressDisplay)
#include "tst_qtprogressdisplay.moc"
