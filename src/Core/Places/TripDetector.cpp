#include "Core/Places/TripDetector.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

using D = TripDetector;

// A square of a latitude/longitude grid. Callers pass only valid
// coordinates, so the quotients always fit an int64.
struct Cell {
    int64_t a = 0;
    int64_t b = 0;
    Cell(double lat, double lon, double size)
        : a(int64_t(std::floor(lat / size))), b(int64_t(std::floor(lon / size))) {}
    bool operator==(const Cell&) const = default;
};

struct CellHash {
    size_t operator()(const Cell& c) const noexcept {
        return std::hash<int64_t>()(c.a) ^ (std::hash<int64_t>()(c.b) * 0x9E3779B97F4A7C15ull);
    }
};

struct CellStats {
    std::unordered_set<int64_t> weeks;
    double sumLat = 0;
    double sumLon = 0;
    int64_t count = 0;

    void add(int64_t week, const GeoPoint& p) {
        weeks.insert(week);
        sumLat += p.lat;
        sumLon += p.lon;
        count += 1;
    }
};

using CellMap = std::unordered_map<Cell, CellStats, CellHash>;

struct Homes {
    std::vector<LatLon> centers;
    size_t strength = 0;
};

Homes homes(const CellMap& cells) {
    Homes out;
    for (const auto& [cell, stats] : cells) out.strength = std::max(out.strength, stats.weeks.size());
    if (cells.empty()) return out;
    const auto threshold =
        std::max(size_t(std::ceil(double(out.strength) * D::homeWeeksFraction)), D::homeWeeksFloor);
    for (const auto& [cell, stats] : cells) {
        const size_t weeks = stats.weeks.size();
        if (weeks != out.strength && weeks < threshold) continue;
        const double n = double(std::max<int64_t>(stats.count, 1));
        out.centers.push_back({stats.sumLat / n, stats.sumLon / n});
    }
    return out;
}

struct Agg {
    double first = 0;
    double sumLat = 0;
    double sumLon = 0;
    int count = 0;
    std::vector<const GeoPoint*> points;
};

// Index of the point farthest from (or, with nearest, closest to) a
// position; the earliest point wins ties.
size_t extremePoint(const std::vector<const GeoPoint*>& points, double lat, double lon, bool nearest) {
    size_t best = 0;
    double bestKm = haversineKm(lat, lon, points[0]->lat, points[0]->lon);
    for (size_t i = 1; i < points.size(); ++i) {
        const double km = haversineKm(lat, lon, points[i]->lat, points[i]->lon);
        if (nearest ? km < bestKm : km > bestKm) {
            best = i;
            bestKm = km;
        }
    }
    return best;
}

TripStop makeStop(const Agg& agg) {
    TripStop stop;
    stop.lat = agg.sumLat / agg.count;
    stop.lon = agg.sumLon / agg.count;
    stop.count = agg.count;
    const GeoPoint& s1 = *agg.points[extremePoint(agg.points, stop.lat, stop.lon, true)];
    stop.samples.push_back({s1.lat, s1.lon});
    const GeoPoint& s2 = *agg.points[extremePoint(agg.points, s1.lat, s1.lon, false)];
    if (haversineKm(s2.lat, s2.lon, s1.lat, s1.lon) > D::sampleSpreadKm) {
        stop.samples.push_back({s2.lat, s2.lon});
        const GeoPoint& s3 = *agg.points[extremePoint(agg.points, s2.lat, s2.lon, false)];
        if (haversineKm(s3.lat, s3.lon, s1.lat, s1.lon) > D::sampleSpreadKm) stop.samples.push_back({s3.lat, s3.lon});
    }
    return stop;
}

std::vector<TripStop> stops(const std::vector<GeoPoint>& run) {
    // Cells kept in the order first visited, so that ties below resolve to
    // the earlier cell and results do not depend on hash order.
    std::vector<Agg> aggs;
    std::unordered_map<Cell, size_t, CellHash> index;
    for (const GeoPoint& p : run) {
        auto [it, fresh] = index.try_emplace(Cell(p.lat, p.lon, D::stopCellDegrees), aggs.size());
        if (fresh) aggs.push_back(Agg{p.taken, 0, 0, 0, {}});
        Agg& agg = aggs[it->second];
        agg.sumLat += p.lat;
        agg.sumLon += p.lon;
        agg.count += 1;
        agg.points.push_back(&p);
    }
    const int threshold = run.size() < D::smallTripPoints ? D::smallTripStopPoints
                                                                : int(run.size() / D::stopPointsDivisor);
    std::vector<const Agg*> kept;
    for (const Agg& agg : aggs)
        if (agg.count >= threshold) kept.push_back(&agg);
    if (kept.empty()) {
        // Every cell is below the threshold: the busiest one alone.
        const Agg* best = &aggs.front();
        for (const Agg& agg : aggs)
            if (agg.count > best->count) best = &agg;
        kept.push_back(best);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Agg* x, const Agg* y) { return x->count > y->count; });
    if (kept.size() > D::maxStops) kept.resize(D::maxStops);
    std::stable_sort(kept.begin(), kept.end(), [](const Agg* x, const Agg* y) { return x->first < y->first; });
    std::vector<TripStop> out;
    out.reserve(kept.size());
    for (const Agg* agg : kept) out.push_back(makeStop(*agg));
    return out;
}

bool usable(const GeoPoint& p) {
    return std::isfinite(p.taken) && std::fabs(p.taken) <= D::largestTakenMagnitude && std::isfinite(p.lat) &&
           std::isfinite(p.lon) && std::fabs(p.lat) <= 90 && std::fabs(p.lon) <= 180;
}

}  // namespace

std::vector<TripCandidate> TripDetector::detect(std::vector<GeoPoint> points) {
    std::erase_if(points, [](const GeoPoint& p) { return !usable(p); });
    std::stable_sort(points.begin(), points.end(),
                     [](const GeoPoint& x, const GeoPoint& y) { return x.taken < y.taken; });
    if (points.size() < minPoints) return {};

    CellMap library;
    std::map<int, CellMap> yearly;
    std::vector<int> yearOf(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const GeoPoint& p = points[i];
        const Cell cell(p.lat, p.lon, homeCellDegrees);
        const auto day = int64_t(std::floor(p.taken / daySeconds));
        const int64_t week = day / daysPerWeek;
        yearOf[i] = WallClock::civil(day).y;
        library[cell].add(week, p);
        yearly[yearOf[i]][cell].add(week, p);
    }

    const Homes global = homes(library);
    if (global.strength < minHomeWeeksLibrary) return {};
    std::map<int, std::vector<LatLon>> yearHomes;
    for (const auto& [year, cells] : yearly) {
        Homes h = homes(cells);
        yearHomes[year] = h.strength >= minHomeWeeksYear ? std::move(h.centers) : global.centers;
    }

    auto isAway = [&](const GeoPoint& p, int year) {
        const std::vector<LatLon>& centers = yearHomes[year];
        return std::none_of(centers.begin(), centers.end(),
                            [&](const LatLon& h) { return haversineKm(p.lat, p.lon, h.lat, h.lon) < awayKm; });
    };

    std::vector<TripCandidate> trips;
    std::vector<GeoPoint> run;
    int homeStreak = 0;
    auto close = [&] {
        if (run.size() >= minTripPoints && run.back().taken - run.front().taken >= minTripSeconds)
            trips.push_back({run.front().taken, run.back().taken, stops(run), int(run.size())});
        run.clear();
    };

    for (size_t i = 0; i < points.size(); ++i) {
        const GeoPoint& p = points[i];
        if (!isAway(p, yearOf[i])) {
            // One or two home points between away points leave the run open.
            if (++homeStreak >= homeStreakEndingTrip) close();
            continue;
        }
        if (!run.empty() && p.taken - run.back().taken > splitGapSeconds) close();
        run.push_back(p);
        homeStreak = 0;
    }
    close();
    return trips;
}

std::string TripDetector::autoTitle(double start) {
    return autoTitlePrefix + WallClock::format(WallClock::Template::monthOnly, start);
}

}  // namespace vintrelle
