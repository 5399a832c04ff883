#include "Core/Places/PlaceClusters.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vintrelle {

bool hasMapPosition(const Asset& a) {
    return a.lat && a.lon && std::isfinite(*a.lat) && std::isfinite(*a.lon) && std::fabs(*a.lat) <= 90 &&
           std::fabs(*a.lon) <= 180;
}

namespace {
template <class List>
std::vector<PlacePoint> pointsOf(const List& assets) {
    std::vector<PlacePoint> out;
    out.reserve(assets.size());
    for (const Asset& a : assets)
        if (hasMapPosition(a)) out.push_back({*a.lat, *a.lon, a.id, a.thumbState == 1});
    return out;
}
}  // namespace

std::vector<PlacePoint> placePoints(const std::vector<Asset>& assets) { return pointsOf(assets); }
std::vector<PlacePoint> placePoints(const AssetList& assets) { return pointsOf(assets); }

std::vector<PlaceCluster> clusterPlaces(const std::vector<Asset>& assets, const MapRegion& region) {
    return clusterPlaces(placePoints(assets), region);
}

std::vector<PlaceCluster> clusterPlaces(const std::vector<PlacePoint>& points, const MapRegion& region) {
    using namespace placegrid;
    const double spanLat = std::max(region.spanLat, minSpan), spanLon = std::max(region.spanLon, minSpan);
    const double originLat = region.centerLat - 0.6 * spanLat, originLon = region.centerLon - 0.6 * spanLon;
    const double cellLat = spanLat / 5.5, cellLon = spanLon / 9.0;
    if (!std::isfinite(originLat) || !std::isfinite(originLon) || !(cellLat > 0) || !(cellLon > 0)) return {};

    struct Agg {
        int count = 0;
        double sumLat = 0, sumLon = 0;
        int64_t cover = -1;
        double minLat = 0, maxLat = 0, minLon = 0, maxLon = 0;
    };
    std::array<Agg, rows * columns> cells{};
    std::array<int, rows * columns> met{};  // cell indexes in the order first met
    int metCount = 0;

    auto inGrid = [](double v, int count) { return v > -1.0 && v < count; };
    for (const PlacePoint& a : points) {
        const double lat = a.lat;
        double lon = a.lon;
        // Checked as doubles: converting a value outside int's range is undefined.
        const double r = (lat - originLat) / cellLat;
        double c = (lon - originLon) / cellLon;
        if (!inGrid(r, rows)) continue;
        // The map wraps: a grid reaching across the 180° line takes the
        // photos beyond it at their longitude one world over, so a place on
        // both sides is one cell, and its mean and bounds are continuous.
        for (const double turn : {360.0, -360.0}) {
            if (inGrid(c, columns)) break;
            const double other = (lon + turn - originLon) / cellLon;
            if (inGrid(other, columns)) lon += turn, c = other;
        }
        if (!inGrid(c, columns)) continue;
        const int row = int(r), column = int(c);  // toward zero: within a cell before the origin is row 0
        const int i = row * columns + column;
        Agg& g = cells[size_t(i)];
        const int64_t cover = a.hasThumbnail ? a.id : -1;
        if (g.count == 0) {
            g = {1, lat, lon, cover, lat, lat, lon, lon};
            met[size_t(metCount++)] = i;
            continue;
        }
        g.count += 1;
        g.sumLat += lat, g.sumLon += lon;
        g.minLat = std::min(g.minLat, lat), g.maxLat = std::max(g.maxLat, lat);
        g.minLon = std::min(g.minLon, lon), g.maxLon = std::max(g.maxLon, lon);
        if (g.cover == -1) g.cover = cover;
    }

    std::vector<PlaceCluster> out;
    out.reserve(size_t(metCount));
    for (int k = 0; k < metCount; ++k) {
        const int i = met[size_t(k)];
        const Agg& g = cells[size_t(i)];
        const int key = (i / columns) * 100 + i % columns;
        PlaceCluster c;
        c.id = std::to_string(key) + "-" + std::to_string(g.count) + "-" + std::to_string(g.cover);
        c.lat = g.sumLat / g.count, c.lon = g.sumLon / g.count;
        c.count = g.count;
        c.coverID = g.cover;
        c.box = {g.minLat - boxMargin, g.maxLat + boxMargin, g.minLon - boxMargin, g.maxLon + boxMargin, ""};
        // Members taken one world over: the mean back within ±180°, the box
        // with it (so it may reach past ±180°, see placeBoxContains).
        if (const double turn = wrapLongitude(c.lon) - c.lon; turn != 0) {
            c.lon += turn;
            c.box.minLon += turn, c.box.maxLon += turn;
        }
        out.push_back(std::move(c));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const PlaceCluster& a, const PlaceCluster& b) { return a.count < b.count; });
    return out;
}

MapRegion boundingRegion(const std::vector<Asset>& assets) { return boundingRegion(placePoints(assets)); }

MapRegion boundingRegion(const std::vector<PlacePoint>& points) {
    double minLat = 90, maxLat = -90, minLon = 180, maxLon = -180;
    // The longitudes in bins of a tenth of a degree, each with its own
    // extremes: the widest stretch of the circle without photos is then
    // found exactly, in one pass and without sorting.
    constexpr int bins = 3600;
    std::vector<double> binMin(bins, INFINITY), binMax(bins, -INFINITY);
    for (const PlacePoint& p : points) {
        minLat = std::min(minLat, p.lat), maxLat = std::max(maxLat, p.lat);
        minLon = std::min(minLon, p.lon), maxLon = std::max(maxLon, p.lon);
        const int b = std::clamp(int((p.lon + 180) * (bins / 360.0)), 0, bins - 1);
        binMin[size_t(b)] = std::min(binMin[size_t(b)], p.lon), binMax[size_t(b)] = std::max(binMax[size_t(b)], p.lon);
    }
    // The fit takes the shorter way round: across the 180° line when the
    // widest gap between photos lies elsewhere (a trip to Fiji, on both
    // sides of the line, is a narrow region there, not the whole world).
    double west = minLon, east = maxLon;
    if (!points.empty()) {
        const double wrapGap = minLon + 360 - maxLon;
        double widest = wrapGap, prevMax = NAN;
        for (int b = 0; b < bins; ++b) {
            if (!std::isfinite(binMin[size_t(b)])) continue;
            if (std::isfinite(prevMax) && binMin[size_t(b)] - prevMax > widest) {
                widest = binMin[size_t(b)] - prevMax;
                west = binMin[size_t(b)], east = prevMax + 360;
            }
            prevMax = binMax[size_t(b)];
        }
    }
    return {(minLat + maxLat) * 0.5, wrapLongitude((west + east) * 0.5), std::clamp((maxLat - minLat) * 1.35, 0.04, 150.0),
            std::clamp((east - west) * 1.35, 0.04, 340.0)};
}

bool placeBoxContains(const PlaceBox& b, double lat, double lon) {
    if (!(b.minLat <= lat && lat <= b.maxLat)) return false;
    for (const double turn : {0.0, 360.0, -360.0})
        if (b.minLon <= lon + turn && lon + turn <= b.maxLon) return true;
    return false;
}

std::string clusterBadge(int64_t count) {
    return count >= 1000 ? std::to_string(count / 1000) + "k" : std::to_string(count);
}

}  // namespace vintrelle
