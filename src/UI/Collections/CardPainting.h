#pragma once
// Painting shared by the collection cards: the shadow that lifts under the
// pointer, a cover picture filling a shape (zoomed about its centre), and
// text cut to a number of lines.

#include <QFont>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
#include <QStringList>

#include "UI/Kit/CardShadow.h"

class QPainter;

namespace vintrelle {

// The resting shadow turning into the lifted one as t goes from 0 to 1;
// both are cached patches, so no frame blurs anything.
void paintLiftShadow(QPainter& p, const QRectF& shape, qreal radius, const ShadowSpec& rest, const ShadowSpec& lifted,
                     qreal t);
// The placeholder colour in `shape`, then the cover (made for `coverRect`
// at the painter's pixel ratio) over it, scaled by zoom about the centre
// of coverRect and cut to the shape's antialiased edge.
void paintCover(QPainter& p, const QPainterPath& shape, const QRectF& coverRect, const QPixmap& cover, qreal zoom,
                qreal opacity);

}  // namespace vintrelle
