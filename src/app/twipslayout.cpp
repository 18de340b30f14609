#include "app/twipslayout.h"

#include <algorithm>
#include <cmath>

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVariant>

namespace {

constexpr char kTwips[] = "twips";
constexpr char kWidestText[] = "widestText";
// Room a caption needs besides its text: a button's margins, a group box's title indent.
constexpr int kButtonMargin = 12;
constexpr int kTitleMargin = 16;
// Room a one-line box needs besides a line of text.
constexpr int kBoxMargin = 7;

QList<QWidget *> placedControls(const QWidget &window)
{
    QList<QWidget *> placed;
    for (QWidget *child : window.findChildren<QWidget *>())
        if (child->property(kTwips).isValid())
            placed.append(child);
    return placed;
}

double pixels(int twips)
{
    return double(twips) / kTwipsPerPixel;
}

} // namespace

void setTwips(QWidget &control, const QRect &twips)
{
    control.setProperty(kTwips, twips);
}

QString shownText(const QString &caption)
{
    QString shown;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size())
            ++i; // "&x" shows an underlined x, "&&" one ampersand
        shown += caption[i];
    }
    return shown;
}

void setWidestText(QWidget &control, const QStringList &texts)
{
    control.setProperty(kWidestText, texts);
}

double twipsScale(const QWidget &window)
{
    const QFontMetrics font(window.font());
    double scale = 1.0;
    const auto fit = [&scale](double needed, double available) {
        scale = std::max(scale, needed / available);
    };
    for (const QWidget *control : placedControls(window)) {
        const QRect twips = control->property(kTwips).toRect();
        QStringList texts = control->property(kWidestText).toStringList();
        if (const auto *button = qobject_cast<const QPushButton *>(control))
            texts = QStringList{shownText(button->text())};
        for (const QString &text : texts)
            fit(font.horizontalAdvance(text) + kButtonMargin, pixels(twips.width()));
        if (const auto *frame = qobject_cast<const QGroupBox *>(control)) {
            fit(font.horizontalAdvance(shownText(frame->title())) + kTitleMargin,
                pixels(twips.width()));
            for (const QWidget *inside : placedControls(*frame))
                fit(font.height(), pixels(inside->property(kTwips).toRect().top()));
        } else {
            fit(font.height() + kBoxMargin, pixels(twips.height()));
        }
    }
    return scale;
}

QRect twipsToPixels(const QRect &twips, double scale)
{
    const auto at = [scale](int t) { return int(std::lround(t * scale / kTwipsPerPixel)); };
    const int left = at(twips.left());
    const int top = at(twips.top());
    return {left, top, at(twips.left() + twips.width()) - left,
            at(twips.top() + twips.height()) - top};
}

void layOutInTwips(QWidget &window, const QSize &clientTwips)
{
    const double scale = twipsScale(window);
    for (QWidget *control : placedControls(window))
        control->setGeometry(twipsToPixels(control->property(kTwips).toRect(), scale));
    window.setFixedSize(twipsToPixels(QRect(QPoint(), clientTwips), scale).size());
}
