#pragma once
// The interface's symbols: SVG icons compiled into the binary, looked up by
// the symbol names the screens use ("heart.fill", "chevron.left"), drawn in
// any colour and cached as pixmaps by name, size, weight, colour and device
// pixel ratio. A symbol's size is given like a font's: the design size of the
// text it stands beside; its drawn box is a little larger (sideFor).

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRectF>
#include <QString>

class QPainter;

namespace vintrelle {

struct Icons {
    // Whether the table knows the symbol.
    static bool has(const QString& symbol);
    // Every symbol of the table, sorted.
    static QStringList symbols();
    // The symbol's ".fill" variant when the table has one, else the symbol.
    static QString filled(const QString& symbol);
    // The resource file drawn for a symbol at a weight, or empty.
    static QString fileFor(const QString& symbol, QFont::Weight weight = QFont::Normal);

    // Logical side of the square a symbol of this design size is drawn in.
    static qreal sideFor(qreal designSize);

    // A tinted square pixmap (devicePixelRatio set) of sideFor(designSize)
    // logical pixels; a null pixmap for an unknown symbol. Main thread.
    static QPixmap pixmap(const QString& symbol, qreal designSize, const QColor& color, qreal dpr,
                          QFont::Weight weight = QFont::Normal);
    // The same as an image; safe from any thread.
    static QImage image(const QString& symbol, qreal designSize, const QColor& color, qreal dpr,
                        QFont::Weight weight = QFont::Normal);
    // Draws the symbol centred in box at the painter's device pixel ratio.
    static void paint(QPainter& painter, const QRectF& box, const QString& symbol, qreal designSize,
                      const QColor& color, QFont::Weight weight = QFont::Normal);
    // For menus and push buttons (rendered at 1x and 2x).
    static QIcon icon(const QString& symbol, qreal designSize, const QColor& color,
                      QFont::Weight weight = QFont::Normal);

    static int cachedPixmaps();
    static void clearCache();
};

}  // namespace vintrelle
