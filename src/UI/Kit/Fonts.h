#pragma once
// The interface font and its sizes. A design point is a logical pixel: every
// size the design gives goes through Fonts::setSize, which turns it into the
// point size that renders at that many logical pixels on this screen, so a
// 13-point caption is 13 logical pixels tall whatever the desktop's DPI.

#include <QFont>
#include <QRectF>
#include <QStringView>

class QApplication;
class QFontMetricsF;
class QPainter;

namespace vintrelle {

struct Fonts {
    // Inter when installed (Debian's fonts-inter), else the desktop font.
    static QString family();
    // The one size helper: setPointSizeF(px * 72 / logical DPI).
    static void setSize(QFont& font, qreal designPx);
    // A font of the interface family at a design size and weight.
    static QFont font(qreal designPx, QFont::Weight weight = QFont::Normal);
    // Makes the interface font (13 px) the application's default.
    static void install(QApplication& app);
    static qreal logicalDpi();
};

// Digits in cells of the widest digit, so counts and times that change do not
// jitter (Qt 6.4 cannot ask the font for its tabular figures).
struct TabularDigits {
    static qreal cellWidth(const QFontMetricsF& fm);
    static qreal width(const QFont& font, QStringView text);
    // One line in rect, placed by alignment (horizontal and vertical flags);
    // the painter's font and pen are used.
    static void draw(QPainter& painter, const QRectF& rect, Qt::Alignment alignment, QStringView text);
};

}  // namespace vintrelle
