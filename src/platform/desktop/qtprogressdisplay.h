#pragma once
// The progress display on a QProgressBar. The range and value are kept as given; the bar shows
// the value clamped to the range, and an empty range as an empty bar rather than Qt's busy
// animation. The text is shown on the bar as it is given.

#include "platform/desktop/progressdisplay.h"

class QProgressBar;

class QtProgressDisplay final : public ProgressDisplay {
public:
    explicit QtProgressDisplay(QProgressBar &bar);

    float minimum() const override { return m_minimum; }
    float maximum() const override { return m_maximum; }
    float value() const override { return m_value; }
    void setMinimum(float minimum) override;
    void setMaximum(float maximum) override;
    void setValue(float value) override;
    void setText(const QString &text, const QString &details) override;

    // Steps of the underlying bar; fine enough that every pixel of the bar is reachable.
    static constexpr int kSteps = 10000;

private:
    void show();

    QProgressBar &m_bar;
    float m_minimum = 0.0f;
    float m_maximum = 100.0f;
    float m_value = 0.0f;
};
