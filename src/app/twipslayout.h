#pragma once
// The window's controls are placed by a table in twips (1/1440 inch). Twips become pixels at
// 15 to a pixel times a factor taken from the window's font, as dialog units do on the platform
// the layout came from: 1 with Qt's default font, so the window is exactly as designed, and
// larger with a larger font, in proportion for every control, so that every caption fits its
// control and no control covers a group box's title.

#include <QRect>
#include <QSize>

class QWidget;

// Gives a control its place in twips within its container; layOutInTwips() turns it into pixels.
void setTwips(QWidget &control, const QRect &twips);

// The texts a control must be wide enough for besides its own caption (a progress bar's longest
// texts, say).
void setWidestText(QWidget &control, const QStringList &texts);
// A caption as it shows: its mnemonic marks ("&Upload") taken out.
QString shownText(const QString &caption);

// Places every control of the window that has a place in twips, and fixes the window's size.
void layOutInTwips(QWidget &window, const QSize &clientTwips);

// The factor for the window's font, and a place in twips in pixels at that factor; the edges
// are rounded, so controls whose edges line up in twips line up in pixels.
double twipsScale(const QWidget &window);
QRect twipsToPixels(const QRect &twips, double scale);

inline constexpr int kTwipsPerPixel = 15;
