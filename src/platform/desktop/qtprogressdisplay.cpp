#include "platform/desktop/qtprogressdisplay.h"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QEvent>
#include <QPainter>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionFocusRect>

QtProgressDisplay::QtProgressDisplay(QProgressBar &bar, QString name)
    : m_bar(bar), m_name(std::move(name))
{
    m_bar.setAccessibleName(m_name);
    // The bar paints its own background, so that a new value or text repaints the bar alone,
    // not the group box behind it with its frame and caption.
    m_bar.setAutoFillBackground(true);
    m_bar.setRange(0, kSteps);
    m_bar.setTextVisible(true);
    m_bar.setAlignment(Qt::AlignCenter);
    m_pending.setSingleShot(true);
    m_pending.callOnTimeout([this] {
        m_valueShown.start();
        show();
    });
    m_bar.setFormat({});
    m_bar.installEventFilter(this);
    show();
}

// A style's animation sends the bar a StyleAnimationUpdate for each frame and stops when the
// bar leaves it unaccepted (QStyleAnimation::updateTarget()).
bool QtProgressDisplay::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != &m_bar)
        return false;
    if (event->type() == QEvent::StyleAnimationUpdate) {
        event->ignore();
        return true;
    }
    // Neither Fusion nor Windows' style marks a bar that has the focus: a keyboard user who
    // tabs to it to hear its text sees where the focus is by the style's own focus rectangle,
    // drawn over the bar.
    if (event->type() == QEvent::Paint && m_bar.hasFocus() && !m_inPaint) {
        m_inPaint = true;
        static_cast<QObject &>(m_bar).event(event);
        m_inPaint = false;
        QPainter painter(&m_bar);
        QStyleOptionFocusRect focus;
        focus.initFrom(&m_bar);
        focus.rect = m_bar.rect().adjusted(2, 2, -2, -2);
        m_bar.style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, &m_bar);
        return true;
    }
    return false;
}

void QtProgressDisplay::setText(const QString &text, const QString &details)
{
    // Qt replaces only %p, %v and %m in the format, which no text of ours holds.
    m_bar.setFormat(text);
    m_bar.setToolTip(details);
    m_bar.setAccessibleDescription(details);
    m_bar.setAccessibleName(text.isEmpty() ? m_name : QStringLiteral("%1: %2").arg(m_name, text));
    // The text and the latest value are drawn together, once.
    m_valueShown.start();
    show();
}

void QtProgressDisplay::setMinimum(float minimum)
{
    m_minimum = minimum;
    show();
}

void QtProgressDisplay::setMaximum(float maximum)
{
    m_maximum = maximum;
    show();
}

void QtProgressDisplay::setValue(float value)
{
    m_value = value;
    if (m_pending.isActive())
        return;
    const auto since = std::chrono::milliseconds(m_valueShown.isValid() ? m_valueShown.elapsed()
                                                                        : kRedrawEvery.count());
    if (since >= kRedrawEvery) {
        m_valueShown.start();
        show();
    } else
        m_pending.start(kRedrawEvery - since);
}

void QtProgressDisplay::show()
{
    m_pending.stop();
    const double span = double(m_maximum) - double(m_minimum);
    int step = 0;
    if (span > 0 && std::isfinite(span) && std::isfinite(m_value)) {
        const double fraction = std::clamp((double(m_value) - m_minimum) / span, 0.0, 1.0);
        step = int(std::lround(fraction * kSteps));
    }
    m_bar.setValue(step);
}
