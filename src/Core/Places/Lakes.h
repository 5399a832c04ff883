#pragma once
// The world's large lakes, which the atlas's land leaves out: polygons from
// a GeoJSON file (npm @geo-maps/earth-lakes, OpenStreetMap water polygons
// simplified to 10 km, 5 km and 1 km), one file for each scale of the atlas.
// The map paints them as water over the land.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Places/Topology.h"

namespace vintrelle {

// A polygon's rings, outline first and then its holes (islands in a lake),
// each closed as the file closes it.
using GeoRing = std::vector<LonLat>;
using GeoPolygon = std::vector<GeoRing>;

// Every Polygon and MultiPolygon of a GeoJSON text, whether it is one
// geometry, a GeometryCollection, a Feature or a FeatureCollection, read as a
// stream (the finest file has 700,000 points). Other geometries are skipped;
// rings of fewer than three points are dropped, and a polygon with them its
// holes. Nothing when the text is not JSON or a position is not two finite
// numbers.
std::optional<std::vector<GeoPolygon>> decodeGeoJsonPolygons(std::string_view json);
// Nothing when the file is missing or unreadable, or decode fails.
std::optional<std::vector<GeoPolygon>> loadGeoJsonPolygons(const std::string& path);

// The lakes drawn with each scale of the atlas: 10 km with the 110m world,
// 5 km with 50m, 1 km with 10m.
std::string lakesFile(AtlasDetail detail);

}  // namespace vintrelle
