#include "UI/Collections/CardPainting.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include "UI/Kit/Theme.h"

namespace vintrelle {

void paintLiftShadow(QPainter& p, const QRectF& shape, qreal radius, const ShadowSpec& rest, const ShadowSpec& lifted,
                     qreal t) {
    const qreal base = p.opacity();
    if (t < 1) {
        p.setOpacity(base * (1 - t));
        CardShadow::paint(p, shape, radius, rest);
    }
    if (t > 0) {
        p.setOpacity(base * t);
        CardShadow::paint(p, shape, radius, lifted);
    }
    p.setOpacity(base);
}

void paintCover(QPainter& p, const QPainterPath& shape, const QRectF& coverRect, const QPixmap& cover, qreal zoom,
                qreal opacity) {
    p.fillPath(shape, Theme::placeholder());
    if (cover.isNull() || opacity <= 0) return;
    // Pixmap pixels (made at the screen's pixel ratio) onto the cover
    // rectangle, then the zoom about its centre.
    QTransform t;
    const QPointF c = coverRect.center();
    t.translate(c.x(), c.y());
    t.scale(zoom, zoom);
    t.translate(-c.x(), -c.y());
    t.translate(coverRect.left(), coverRect.top());
    t.scale(coverRect.width() / cover.width(), coverRect.height() / cover.height());
    QBrush brush(cover);
    brush.setTransform(t);
    const qreal base = p.opacity();
    p.setOpacity(base * opacity);
    p.fillPath(shape, brush);
    p.setOpacity(base);
}

}  // namespace vintrelle
