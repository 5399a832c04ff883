#pragma once
// Geotagged assets gathered for the map by a fixed grid over the visible
// region: 8 rows by 12 columns of cells, each 1/5.5 of the region's
// latitude span high and 1/9 of its longitude span wide, starting 0.6 span
// before the centre, so the grid reaches a margin beyond the view on every
// side. One linear pass, at most 96 clusters whatever the library's size.

#include <cstdint>
#include <string>
#include <vector>

#include "Core/Index/AssetList.h"
#include "Core/Index/Models.h"
#include "Core/Places/Mercator.h"

namespace vintrelle {

struct PlaceCluster {
    // "key-count-cover" in decimal (key = row × 100 + column): changes
    // whenever the cluster's content does, so a view can tell what to redraw.
    std::string id;
    double lat = 0;  // mean of the members
    double lon = 0;
    int count = 0;
    int64_t coverID = -1;  // the first member, in the given order, with a thumbnail; −1 when none has
    // The members' bounds widened by 0.00001° on every side, no title. A
    // cluster across the 180° line has bounds past ±180° on one side.
    PlaceBox box;
    bool operator==(const PlaceCluster&) const = default;
};

namespace placegrid {
inline constexpr int rows = 8;
inline constexpr int columns = 12;
inline constexpr double minSpan = 0.0005;
inline constexpr double boxMargin = 0.00001;
}  // namespace placegrid

// A coordinate the map can place: both parts present, finite and in range.
bool hasMapPosition(const Asset& a);

// What clustering reads of an asset, a few bytes where an Asset has
// hundreds, so that a pass over a large library stays in the cache.
struct PlacePoint {
    double lat = 0;
    double lon = 0;
    int64_t id = 0;
    bool hasThumbnail = false;
};
// The assets that have a map position, in their order.
std::vector<PlacePoint> placePoints(const std::vector<Asset>& assets);
std::vector<PlacePoint> placePoints(const AssetList& assets);

// The clusters of the points inside the grid over `region`, ordered by
// count ascending (stable: equal counts keep the order their cells were
// first met in), so larger clusters are drawn last, on top. A grid that
// reaches across the 180° line takes in the points beyond it; a cluster's
// mean longitude is within ±180°.
std::vector<PlaceCluster> clusterPlaces(const std::vector<PlacePoint>& points, const MapRegion& region);
std::vector<PlaceCluster> clusterPlaces(const std::vector<Asset>& assets, const MapRegion& region);

// The region that shows every asset with a position: the extent × 1.35,
// each span between 0.04° and 150° (latitude) or 340° (longitude). East and
// west the extent is the shorter way round the globe, across the 180° line
// when that is shorter; the centre's longitude is within ±180°.
MapRegion boundingRegion(const std::vector<PlacePoint>& points);
MapRegion boundingRegion(const std::vector<Asset>& assets);

// Whether a place's box holds a coordinate, also when the box reaches past
// ±180° (a place across the 180° line).
bool placeBoxContains(const PlaceBox& box, double lat, double lon);

// The count a bubble's badge shows: "999", then "1k" from 1000 (thousands
// rounded down: 25999 is "25k").
std::string clusterBadge(int64_t count);

}  // namespace vintrelle
