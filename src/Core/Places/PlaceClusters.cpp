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

    for (const PlacePoint& a : points) {
        const double lat = a.lat, lon = a.lon;
        // Checked as doubles: converting a value outside int's range is undefined.
        const double r = (lat - originLat) / cellLat, c = (lon - originLon) / cellLon;
        if (!(r > -1.0 && r < rows && c > -1.0 && c < columns)) continue;
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
        out.push_back(std::move(c));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const PlaceCluster& a, const PlaceCluster& b) { return a.count < b.count; });
    return out;
}

MapRegion boundingRegion(const std::vector<Asset>& assets) { return boundingRegion(placePoints(assets)); }

MapRegion boundingRegion(const std::vector<PlacePoint>& points) {
    double minLat = 90, maxLat = -90, minLon = 180, maxLon = -180;
    for (const PlacePoint& p : points) {
        minLat = std::min(minLat, p.lat), maxLat = std::max(maxLat, p.lat);
        minLon = std::min(minLon, p.lon), maxLon = std::max(maxLon, p.lon);
    }
    return {(minLat + maxLat) * 0.5, (minLon + maxLon) * 0.5, std::clamp((maxLat - minLat) * 1.35, 0.04, 150.0),
            std::clamp((maxLon - minLon) * 1.35, 0.04, 340.0)};
}

std::string clusterBadge(int64_t count) {
    return count >= 1000 ? std::to_string(count / 1000) + "k" : std::to_string(count);
}

}  // namespace vintrelle
