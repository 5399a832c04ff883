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

// The lakes files cut their largest lakes into pieces along the lines
// between the map tiles of zoom 5 (Superior along 90° W, Victoria along the
// equator and 33.75° E), each piece a polygon of its own. Where two pieces
// meet, their outlines run along the same stretch of such a line, water on
// both sides: no shore. Marks those stretches: spans of one cut line that
// edges of two different rings both run along, each edge no further from the
// line than the tolerance (degrees). A ring's edge is split where a shared
// stretch begins or ends inside it (the points added lie on the edge, so
// every outline encloses what it did); then, for every ring of every polygon
// in order, one flag per edge (point i to i + 1) tells whether it is shared,
// or the list is empty when no edge of the ring is.
using SharedEdges = std::vector<bool>;
std::vector<SharedEdges> markSharedEdges(std::vector<GeoPolygon>& polygons, double tolerance);

// The lakes drawn with each scale of the atlas: 10 km with the 110m world,
// 5 km with 50m, 1 km with 10m.
std::string lakesFile(AtlasDetail detail);
// How far from its cut line a piece's edge may lie in each file: the finest
// rounds to 0.001°; the coarser ones simplify every piece on its own, which
// moves its side of a cut by up to a few hundredths of a degree.
double lakeCutTolerance(AtlasDetail detail);

}  // namespace vintrelle
