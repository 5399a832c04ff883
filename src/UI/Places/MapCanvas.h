#pragma once
// Painting a map view for a camera: the tiles (each missing one drawn from
// its nearest cached ancestor scaled, else plain sea, and asked for), then
// what is painted live over them: a faint graticule, the scale bar, the
// attribution and city labels, the most populous in view first, placed
// clear of each other and of what the view keeps clear. The world repeats
// east and west. Shared by the interactive map and the static one. Main
// thread.

#include <QPainter>
#include <QRectF>
#include <QString>

#include <vector>

#include "Core/Places/Mercator.h"
#include "UI/Places/MapStyle.h"

namespace vintrelle {

namespace mapcanvas {

// The integer zoom whose tiles a camera draws.
int tileZoom(double zoom);

// Returns true when every tile the view needs was in the cache. `client`
// names the view to the tile service (what it waits for is replaced).
bool paintTiles(QPainter& p, const MapCamera& camera, qreal dpr, bool dark, const void* client);

void paintGraticule(QPainter& p, const MapCamera& camera, const MapPalette& colors);

struct PlacedLabel {
    QString name;
    QRectF box;  // the name with its dot, in view coordinates
};

// Labels by rank within the view: the most populous places first, whatever
// their size, as many as fit without overlapping up to one for every
// areaPerLabel square pixels of view (and maxLabels); a label that would
// touch a rectangle of keepClear (the scale, the credit, photo bubbles) is
// left out. Nothing until the city list has been read (asked for here;
// MapTileService::citiesReady follows).
inline constexpr double areaPerLabel = 11000;
std::vector<PlacedLabel> paintCityLabels(QPainter& p, const MapCamera& camera, qreal dpr, bool dark,
                                         const std::vector<QRectF>& keepClear = {}, int maxLabels = 60);
// How many labels a view of this size may show.
int labelBudget(double width, double height, int maxLabels);

// Bottom-left: a bar of a round length of at most maxWidth pixels. Returns
// what it covers.
QRectF paintScaleBar(QPainter& p, const MapCamera& camera, const MapPalette& colors, QPointF bottomLeft,
                     qreal maxWidth = 96);
// What it would cover, painted at that device pixel ratio.
QRectF scaleBarRect(const MapCamera& camera, const MapPalette& colors, QPointF bottomLeft, qreal dpr,
                    qreal maxWidth = 96);
// The text of the scale: "200 km", "500 m"; miles and feet where the
// locale measures in them.
QString scaleText(double metres, bool imperial);

// The sources of the map: outlines, place names, lakes (whose licence, the
// ODbL, asks for this credit).
inline constexpr const char* attributionText = "Natural Earth · GeoNames · © OpenStreetMap contributors";
// Bottom-right; returns what it covers.
QRectF paintAttribution(QPainter& p, const QRectF& view, const MapPalette& colors, qreal px = 10);
QRectF attributionRect(const QRectF& view, const MapPalette& colors, qreal dpr, qreal px = 10);

}  // namespace mapcanvas

}  // namespace vintrelle
