#pragma once
// Soft drop shadows for cards, tiles and floating bars, painted from cached,
// pre-blurred pixmaps instead of graphics effects, so scrolling lists of cards
// blur nothing while they move. A rounded rectangle's shadow is blurred once
// per corner radius, blur, colour and pixel ratio as a nine-patch stretched
// to any size; shapes smaller than the patch (a round face) get a shadow of
// their own size, also cached.

#include <QColor>
#include <QPointF>
#include <QRectF>

class QImage;
class QPainter;

namespace vintrelle {

struct ShadowSpec {
    qreal opacity = 0.1;    // of black (or of color)
    qreal radius = 8;       // blur radius in design pixels (the Gaussian's deviation)
    QPointF offset{0, 3};
    QColor color = Qt::black;
    bool operator==(const ShadowSpec&) const = default;
};

struct CardShadow {
    // Paints the shadow that a shape at `shape` casts; paint the card itself
    // afterwards, opaque or nearly so: the part of the shadow that lies well
    // inside the card is left out. The shadow reaches three radii beyond the shape (plus the
    // offset), so a widget that paints it needs that much margin (margin()).
    static void paint(QPainter& painter, const QRectF& shape, qreal cornerRadius, const ShadowSpec& spec);
    static qreal margin(const ShadowSpec& spec);
    static int cachedPatches();
    // Blurs an 8-bit alpha image in place, close to a Gaussian of deviation
    // sigma (in pixels): the soft shadow of any shape, such as text.
    static void blurAlpha(QImage& alpha, qreal sigma);
};

}  // namespace vintrelle
