#pragma once
// The progress display on a QProgressBar. The range and value are kept as given; the bar shows
// the value clamped to the range, and an empty range as an empty bar rather than Qt's busy
// animation. The text is shown on the bar as it is given.
//
// The upload sets the value once a line, hundreds of times a second; each change the bar shows
// is drawn and, on a desktop, sent to the window system. A person reads a few changes a second,
// so a new value is shown at once only when kRedrawEvery has passed since the last one was, and
// otherwise when it has; a new range or text shows the latest value with it at once, in one
// drawing, and the next value waits kRedrawEvery from there. While sending, the upload's text
// changes about as often, so the bar is drawn about twice a second.
//
// A screen reader reads the bar as its accessible name, which carries the text ("Upload
// progress: Sent in 0:18"), and its description, which carries the tooltip's figures; each new
// text is announced as a change of the name.
//
// Windows' style runs a glow along a bar that is neither empty nor full: Qt's animation timer
// wakes the window every 16 ms for it and the bar is drawn anew 30 times a second, through a
// whole upload and on while the window idles after one that stopped part way. The bar turns the
// glow's frames down, which ends it, so that the bar moves only with the upload.

#include <chrono>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include "platform/desktop/progressdisplay.h"

class QProgressBar;

class QtProgressDisplay final : public QObject, public ProgressDisplay {
    Q_OBJECT

public:
    // name: what the bar is, the start of its accessible name.
    QtProgressDisplay(QProgressBar &bar, QString name);

    float minimum() const override { return m_minimum; }
    float maximum() const override { return m_maximum; }
    float value() const override { return m_value; }
    void setMinimum(float minimum) override;
    void setMaximum(float maximum) override;
    void setValue(float value) override;
    void setText(const QString &text, const QString &details) override;

    // Steps of the underlying bar; fine enough that every pixel of the bar is reachable.
    static constexpr int kSteps = 10000;
    static constexpr std::chrono::milliseconds kRedrawEvery{500};

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void show();

    QProgressBar &m_bar;
    const QString m_name;
    float m_minimum = 0.0f;
    float m_maximum = 100.0f;
    float m_value = 0.0f;
    QElapsedTimer m_valueShown; // since a value was last shown; invalid before the first
    QTimer m_pending;
    bool m_inPaint = false; // the bar draws itself, under the focus rectangle
};
