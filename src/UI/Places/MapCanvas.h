#pragma once
// Painting a map view for a camera: the tiles (each missing one drawn from
// its nearest cached ancestor scaled, else plain sea, and asked for), then
// what is painted live over them: a faint graticule, city labels placed by
// population without overlaps, the scale bar and the attribution. Shared
// by the interactive map and the static one. Main thread.

#include <QPainter>
#include <QRectF>

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

// Fewer, larger cities as the map zooms out; nothing until the city list
// has been read (asked for here; MapTileService::citiesReady follows).
void paintCityLabels(QPainter& p, const MapCamera& camera, qreal dpr, bool dark, int maxLabels = 60);
// The smallest population labelled at a zoom.
uint32_t labelPopulation(double zoom);

// Bottom-left: a bar of a round length of at most maxWidth pixels.
void paintScaleBar(QPainter& p, const MapCamera& camera, const MapPalette& colors, QPointF bottomLeft,
                   qreal maxWidth = 96);
// The text of the scale: "200 km", "500 m"; miles and feet where the
// locale measures in them.
QString scaleText(double metres, bool imperial);

inline constexpr const char* attributionText = "Natural Earth · GeoNames";
void paintAttribution(QPainter& p, const QRectF& view, const MapPalette& colors, qreal px = 10);

}  // namespace mapcanvas

}  // namespace vintrelle
