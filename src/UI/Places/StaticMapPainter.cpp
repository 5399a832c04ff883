#include "UI/Places/StaticMapPainter.h"

#include <QPainter>
#include <QPainterPath>

#include "Core/Places/CityIndex.h"
#include "Core/Places/Mercator.h"
#include "UI/Places/MapCanvas.h"
#include "UI/Places/MapStyle.h"
#include "UI/Places/MapTiles.h"

namespace vintrelle {

StaticMapPainter::StaticMapPainter(QObject* parent) : QObject(parent) {
    MapTileService& tiles = MapTileService::instance();
    connect(&tiles, &MapTileService::tilesReady, this, &StaticMapPainter::changed);
    connect(&tiles, &MapTileService::citiesReady, this, &StaticMapPainter::changed);
}

StaticMapPainter::~StaticMapPainter() {
    if (auto* tiles = MapTileService::ifExists()) tiles->want(this, {});
}

void StaticMapPainter::setPlace(double lat, double lon, double span) {
    place_ = Place{lat, lon, span};
    emit changed();
}

void StaticMapPainter::clearPlace() {
    place_.reset();
    MapTileService::instance().want(this, {});
    emit changed();
}

bool StaticMapPainter::paint(QPainter& p, const QRectF& rect, qreal dpr, bool dark) {
    const MapPalette& colors = MapPalette::of(dark);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(rect, radius_, radius_);
    p.setClipPath(clip);
    bool complete = true;
    if (!place_) {
        p.fillRect(rect, colors.sea);
    } else {
        MapCamera camera;
        camera.setViewport(rect.width(), rect.height());
        camera.fit({place_->lat, place_->lon, place_->span, place_->span});
        camera.setCenter(place_->lat, place_->lon, camera.zoom());
        p.translate(rect.topLeft());
        complete = mapcanvas::paintTiles(p, camera, dpr, dark, this);
        const QRectF credit = mapcanvas::paintAttribution(p, QRectF(0, 0, rect.width(), rect.height()), colors, 9);
        mapcanvas::paintCityLabels(p, camera, dpr, dark, {credit}, 8);
        complete = complete && CityIndex::ifBuilt();
        const ViewPoint at = camera.toView(place_->lat, place_->lon);
        paintMarker(p, QPointF(at.x, at.y), marker_.value_or(colors.accent));
    }
    p.restore();
    return complete;
}

void StaticMapPainter::paintMarker(QPainter& p, QPointF at, const QColor& color) {
    // A balloon standing on the point: a circle over a tapering tip.
    const qreal r = 10, h = 27;
    const QPointF c = at - QPointF(0, h - r);
    QPainterPath pin;
    pin.moveTo(at);
    pin.cubicTo(at + QPointF(-3, -5), c + QPointF(-r, 5), c + QPointF(-r, 0));
    pin.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 180, -180);
    pin.cubicTo(c + QPointF(r, 5), at + QPointF(3, -5), at);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(0, 1.5);
    p.fillPath(pin, QColor(0, 0, 0, 50));
    p.translate(0, -1.5);
    p.fillPath(pin, color);
    p.setPen(QPen(Qt::white, 1.5));
    p.drawPath(pin);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(c, 3.6, 3.6);
    p.restore();
}

StaticMapView::StaticMapView(QWidget* parent) : StillMap(parent) {
    connect(&painter_, &StaticMapPainter::changed, this, qOverload<>(&QWidget::update));
}

void StaticMapView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    complete_ = painter_.paint(p, rect(), devicePixelRatioF(), mapstyle::isDark());
    if (complete_ && painter_.hasPlace()) emit completed();
}

}  // namespace vintrelle
