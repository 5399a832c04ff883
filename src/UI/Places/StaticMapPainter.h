#pragma once
// A still map of one place, for the viewer's details panel: the places
// map's tiles and city labels around a coordinate, a marker on it and the
// attribution, with rounded corners; no interaction. StaticMapPainter
// paints into any widget's painter; StaticMapView is the ready widget.

#include <QColor>
#include <QObject>
#include <QRectF>
#include <QWidget>

#include <optional>

#include "UI/Kit/StillMap.h"

class QPainter;

namespace vintrelle {

class StaticMapPainter final : public QObject {
    Q_OBJECT
public:
    explicit StaticMapPainter(QObject* parent = nullptr);
    ~StaticMapPainter() override;

    // The place in the middle, showing `span` degrees of latitude and of
    // longitude at least (the details panel shows 0.03°).
    void setPlace(double lat, double lon, double span = 0.03);
    void clearPlace();
    bool hasPlace() const { return place_.has_value(); }

    void setCornerRadius(qreal radius) { radius_ = radius; }
    // The marker's colour; the accent of the interface unless set.
    void setMarkerColor(const QColor& color) { marker_ = color; }

    // Paints the map into rect; true when every tile and the city names were
    // ready. Without a place, only the sea.
    bool paint(QPainter& p, const QRectF& rect, qreal dpr, bool dark);
    // The marker alone, its point at `at` (shared with anything that pins a place).
    static void paintMarker(QPainter& p, QPointF at, const QColor& color);

signals:
    // Tiles or city names arrived: paint again.
    void changed();

private:
    struct Place {
        double lat, lon, span;
    };
    std::optional<Place> place_;
    qreal radius_ = 10;
    std::optional<QColor> marker_;
};

class StaticMapView final : public StillMap {
    Q_OBJECT
public:
    explicit StaticMapView(QWidget* parent = nullptr);
    StaticMapPainter& painter() { return painter_; }
    void setPlace(double lat, double lon, double span = 0.03) override { painter_.setPlace(lat, lon, span), update(); }
    void clearPlace() override { painter_.clearPlace(), update(); }
    // Every tile and the city names of the last paint were ready.
    bool isComplete() const override { return complete_; }
    QSize sizeHint() const override { return {268, 150}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    StaticMapPainter painter_;
    bool complete_ = false;
};

}  // namespace vintrelle
