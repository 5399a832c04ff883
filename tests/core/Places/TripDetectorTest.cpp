#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "Core/Places/TripDetector.h"
#include "Core/Base/WallClock.h"

using namespace vintrelle;

namespace {

// Positions whose sums are exact in binary, so a home centre (a mean) is
// exactly the position photographed.
constexpr LatLon home{38.5, -9.25};
constexpr LatLon away{41.25, -8.5};  // about 310 km north
constexpr double hour = 3600;

double dayStart(int day) { return double(WallClock::daysFromCivil(2023, 1, 2) + day) * 86400.0; }

struct Track {
    std::vector<GeoPoint> points;

    void add(double t, LatLon at) { points.push_back({t, at.lat, at.lon}); }
    // One point at noon in each of n consecutive weeks, from day first on.
    Track& homeWeeks(int n, LatLon at = home, int first = 0) {
        for (int k = 0; k < n; ++k) add(dayStart(first + 7 * k) + 12 * hour, at);
        return *this;
    }
    // n points evenly spread over span seconds from t.
    Track& run(int n, double t, double span, LatLon at = away) {
        for (int i = 0; i < n; ++i) add(t + (n > 1 ? span * i / (n - 1) : 0), at);
        return *this;
    }
    std::vector<TripCandidate> detect() const { return TripDetector::detect(points); }
};

// The smallest latitude north of home at least km away by haversineKm.
double latitudeAtKm(double km) {
    double lo = home.lat, hi = home.lat + 2 * km / 111.0;
    while (std::nextafter(lo, hi) < hi) {
        const double mid = lo + (hi - lo) / 2;
        if (mid <= lo || mid >= hi) break;
        (haversineKm(home.lat, home.lon, mid, home.lon) >= km ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace

TEST(TripDetector, needsTwentyPointsAndThreeWeeksAtHome) {
    const double t = dayStart(100);
    Track nineteen;
    nineteen.homeWeeks(12).run(7, t, 6 * hour);
    EXPECT_TRUE(nineteen.detect().empty());

    Track twenty;
    twenty.homeWeeks(12).run(8, t, 6 * hour);
    const auto trips = twenty.detect();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(trips[0].photoCount, 8);
    EXPECT_EQ(trips[0].start, t);
    EXPECT_EQ(trips[0].end, t + 6 * hour);

    // Plenty of points, but the busiest place saw only two distinct weeks.
    Track twoWeeks;
    for (int i = 0; i < 10; ++i) twoWeeks.add(dayStart(0) + i * 60, home);
    for (int i = 0; i < 10; ++i) twoWeeks.add(dayStart(7) + i * 60, home);
    twoWeeks.run(10, t, 6 * hour);
    EXPECT_TRUE(twoWeeks.detect().empty());
}

TEST(TripDetector, yearWithFewWeeksAtItsBusiestPlaceUsesTheLibraryHomes) {
    // 2022 establishes home; in 2023 the only place photographed is `away`.
    auto library = [](int weeksAway) {
        Track tr;
        for (int k = 0; k < 14; ++k) tr.add(double(WallClock::daysFromCivil(2022, 1, 3) + 7 * k) * 86400.0, home);
        const double t = double(WallClock::daysFromCivil(2023, 6, 5)) * 86400.0;
        tr.run(6, t, 5 * hour);  // the first week away
        for (int k = 1; k < weeksAway; ++k) tr.add(t + k * 7 * 86400.0, away);
        return tr;
    };
    // Four weeks are too few for 2023 to trust `away` as a home: a trip.
    const auto fourWeeks = library(4).detect();
    ASSERT_EQ(fourWeeks.size(), 1u);
    EXPECT_EQ(fourWeeks[0].photoCount, 6);
    // With five, 2023 has its own home there and nothing is a trip.
    EXPECT_TRUE(library(5).detect().empty());
}

TEST(TripDetector, awayMeansAtLeastEightyKilometresFromEveryHome) {
    const double exactly80 = latitudeAtKm(80);
    ASSERT_GE(haversineKm(home.lat, home.lon, exactly80, home.lon), 80.0);
    Track atEdge;
    atEdge.homeWeeks(14).run(6, dayStart(100), 5 * hour, {exactly80, home.lon});
    EXPECT_EQ(atEdge.detect().size(), 1u);

    Track inside;
    inside.homeWeeks(14).run(6, dayStart(100), 5 * hour, {latitudeAtKm(79.9), home.lon});
    EXPECT_TRUE(inside.detect().empty());
}

TEST(TripDetector, gapsAndHomePointsSplitRuns) {
    const double t = dayStart(100);
    const double fourDays = 345'600;
    auto twoHalves = [&](double gap) {
        Track tr;
        tr.homeWeeks(14).run(3, t, 2 * hour).run(3, t + 2 * hour + gap, 2 * hour);
        return tr.detect();
    };
    const auto joined = twoHalves(fourDays);
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_EQ(joined[0].photoCount, 6);
    EXPECT_TRUE(twoHalves(fourDays + 1).empty());

    // Two home points inside a trip neither end it nor count in it.
    Track twoHome;
    twoHome.homeWeeks(14).run(4, t, 2 * hour).run(2, t + 3 * hour, hour, home).run(4, t + 5 * hour, 2 * hour);
    const auto kept = twoHome.detect();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].photoCount, 8);
    EXPECT_EQ(kept[0].end, t + 7 * hour);

    // The third consecutive one ends it.
    Track threeHome;
    threeHome.homeWeeks(14).run(6, t, 5 * hour).run(3, t + 6 * hour, hour, home).run(6, t + 8 * hour, 5 * hour);
    const auto split = threeHome.detect();
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].end, t + 5 * hour);
    EXPECT_EQ(split[1].start, t + 8 * hour);
}

TEST(TripDetector, shortestTripIsSixPointsOverFourHours) {
    const double t = dayStart(100);
    auto trips = [&](int n, double span) {
        Track tr;
        tr.homeWeeks(20).run(n, t, span);
        return tr.detect().size();
    };
    EXPECT_EQ(trips(6, 4 * hour), 1u);
    EXPECT_EQ(trips(5, 4 * hour), 0u);
    EXPECT_EQ(trips(6, 4 * hour - 60), 0u);
}

TEST(TripDetector, inputOrderDoesNotMatterAndUnusablePointsAreSkipped) {
    Track tr;
    tr.homeWeeks(14).run(8, dayStart(100), 6 * hour).run(7, dayStart(200), 9 * hour);
    const auto expected = tr.detect();
    ASSERT_EQ(expected.size(), 2u);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    tr.points.push_back({nan, away.lat, away.lon});
    tr.points.push_back({dayStart(101), nan, 1});
    tr.points.push_back({dayStart(101), 40, INFINITY});
    tr.points.push_back({dayStart(101), 1e300, 1});
    tr.points.push_back({1e300, 40, 1});
    std::shuffle(tr.points.begin(), tr.points.end(), std::mt19937(7));
    const auto got = tr.detect();
    ASSERT_EQ(got.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i].start, expected[i].start);
        EXPECT_EQ(got[i].end, expected[i].end);
        EXPECT_EQ(got[i].photoCount, expected[i].photoCount);
    }
}

TEST(TripDetector, stopsNeedEnoughPointsAndKeepTheBusiestFourInVisitOrder) {
    const double t = dayStart(100);
    // Cells 0.5 degree apart far from home, so each lands in its own stop cell.
    auto cell = [](int k) { return LatLon{50.1, 10.1 + 0.5 * k}; };
    auto tripWith = [&](const std::vector<int>& counts) {
        Track tr;
        tr.homeWeeks(14);
        double at = t;
        for (size_t k = 0; k < counts.size(); ++k)
            for (int i = 0; i < counts[k]; ++i, at += 1200) tr.add(at, cell(int(k)));
        auto trips = tr.detect();
        EXPECT_EQ(trips.size(), 1u);
        return trips.empty() ? TripCandidate{} : trips[0];
    };
    // Which of the cells each stop is.
    auto cellsOf = [](const TripCandidate& c) {
        std::vector<long> out;
        for (const TripStop& s : c.stops) out.push_back(std::lround((s.lon - 10.1) / 0.5));
        return out;
    };

    // 23 points: two make a stop.
    const auto small = tripWith({15, 2, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(cellsOf(small), (std::vector<long>{0, 1}));
    EXPECT_EQ(small.stops[1].count, 2);
    // 36 points: three are needed, two are not enough.
    const auto larger = tripWith({28, 3, 2, 1, 1, 1});
    EXPECT_EQ(cellsOf(larger), (std::vector<long>{0, 1}));
    // No cell reaches three: the busiest alone, the first visited among equals.
    const auto spread = tripWith(std::vector<int>(18, 2));
    ASSERT_EQ(spread.stops.size(), 1u);
    EXPECT_EQ(cellsOf(spread), (std::vector<long>{0}));
    EXPECT_EQ(spread.stops[0].count, 2);
    // Six qualify; the four busiest stay, in the order first visited.
    const auto many = tripWith({3, 5, 4, 2, 6, 7});
    EXPECT_EQ(cellsOf(many), (std::vector<long>{1, 2, 4, 5}));
}

TEST(TripDetector, stopSamplesSpreadMoreThanFourKilometres) {
    const double t = dayStart(100);
    Track tight;
    tight.homeWeeks(14);
    for (int i = 0; i < 6; ++i) tight.add(t + i * hour, {50.2 + 0.01 * (i % 2), 10.2});
    auto trips = tight.detect();
    ASSERT_EQ(trips.size(), 1u);
    ASSERT_EQ(trips[0].stops.size(), 1u);
    EXPECT_EQ(trips[0].stops[0].samples.size(), 1u);

    // Centre, then west and east about 9 km either side: the nearest to the
    // mean first, the earlier of the two equally far ones next, the other last.
    Track wide;
    wide.homeWeeks(14);
    const LatLon centre{50.25, 10.25}, west{50.25, 10.125}, east{50.25, 10.375};
    for (const LatLon& p : {west, centre, east, centre, west, east}) wide.add(t + double(wide.points.size()) * hour, p);
    trips = wide.detect();
    ASSERT_EQ(trips.size(), 1u);
    ASSERT_EQ(trips[0].stops.size(), 1u);
    const TripStop& stop = trips[0].stops[0];
    EXPECT_EQ(stop.count, 6);
    EXPECT_EQ(stop.lon, 10.25);
    EXPECT_EQ(stop.samples, (std::vector<LatLon>{centre, west, east}));
}

TEST(TripDetector, negativeCoordinatesUseFloorCells) {
    // Home in Buenos Aires, a trip to London straddling the prime meridian:
    // -0.0625 and 0.0625 lie in different stop cells.
    const LatLon baires{-34.5, -58.5};
    Track tr;
    tr.homeWeeks(14, baires);
    const double t = dayStart(100);
    tr.run(3, t, 2 * hour, {51.5, -0.0625}).run(3, t + 3 * hour, 2 * hour, {51.5, 0.0625});
    // A trip to Sydney later on.
    tr.run(6, t + 30 * 86400.0, 6 * hour, {-33.875, 151.25});
    const auto trips = tr.detect();
    ASSERT_EQ(trips.size(), 2u);
    ASSERT_EQ(trips[0].stops.size(), 2u);
    EXPECT_EQ(trips[0].stops[0].lon, -0.0625);
    EXPECT_EQ(trips[0].stops[1].lon, 0.0625);
    ASSERT_EQ(trips[1].stops.size(), 1u);
    EXPECT_EQ(trips[1].stops[0].lat, -33.875);
    EXPECT_EQ(trips[1].stops[0].samples, (std::vector<LatLon>{{-33.875, 151.25}}));
}
