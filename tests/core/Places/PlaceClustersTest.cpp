#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "Core/Places/PlaceClusters.h"

using namespace vintrelle;

namespace {

Asset at(int64_t id, std::optional<double> lat, std::optional<double> lon, int thumb = 1) {
    Asset a;
    a.id = id;
    a.lat = lat;
    a.lon = lon;
    a.thumbState = thumb;
    return a;
}

// Cells of exactly one degree: spans 5.5 by 9, so the origin lies at
// (−3.3, −5.4) and the grid reaches (4.7, 6.6).
const MapRegion unitCells{0, 0, 5.5, 9};

}  // namespace

TEST(PlaceClusters, gridCellsAndTheirEdges) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::optional<double> lat, lon;
        int key;  // −1: left out
    };
    const std::vector<Case> cases = {
        {"origin corner", -3.3, -5.4, 0},
        {"within a cell before the origin row", -3.8, -5.0, 0},
        {"within a cell before the origin column", -3.0, -6.2, 0},
        {"a cell further before the origin row", -4.31, 0, -1},
        {"a cell further before the origin column", 0, -6.41, -1},
        {"last row and column", 4.69, 6.59, 711},
        {"past the last row", 4.71, 0, -1},
        {"past the last column", 0, 6.61, -1},
        {"centre", 0, 0, 305},
        {"no latitude", std::nullopt, 0, -1},
        {"not a number", nan, 0, -1},
        {"infinite", 0, inf, -1},
        {"huge", 1e300, 1e300, -1},
        {"beyond the pole", 91, 0, -1},
        {"beyond the antimeridian", 0, -181, -1},
    };
    for (const Case& c : cases) {
        const auto clusters = clusterPlaces({at(7, c.lat, c.lon)}, unitCells);
        if (c.key < 0) {
            EXPECT_TRUE(clusters.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(clusters.size(), 1u) << c.what;
        EXPECT_EQ(clusters[0].id, std::to_string(c.key) + "-1-7") << c.what;
    }
    // A region far from any real place, or with a huge span, is no cause for
    // undefined conversions either.
    EXPECT_TRUE(clusterPlaces({at(1, 0, 0)}, {1e308, 1e308, 1e308, 1e308}).empty());
    EXPECT_TRUE(clusterPlaces({at(1, 0, 0)}, {nan, 0, 1, 1}).empty());
}

TEST(PlaceClusters, aClusterIsItsMembersMeanBoundsCountAndFirstCover) {
    // Store order: the first member has no thumbnail, so the second covers.
    const auto clusters =
        clusterPlaces({at(10, 0.1, 0.1, 0), at(11, 0.3, 0.2), at(12, 0.5, 0.3), at(20, -2.9, -5.0, 0)}, unitCells);
    ASSERT_EQ(clusters.size(), 2u);
    const PlaceCluster& lone = clusters[0];
    EXPECT_EQ(lone.id, "0-1--1");  // nothing with a thumbnail: cover −1
    EXPECT_EQ(lone.coverID, -1);
    const PlaceCluster& c = clusters[1];
    EXPECT_EQ(c.id, "305-3-11");
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(c.coverID, 11);
    EXPECT_NEAR(c.lat, 0.3, 1e-12);
    EXPECT_NEAR(c.lon, 0.2, 1e-12);
    EXPECT_EQ(c.box, (PlaceBox{0.1 - 0.00001, 0.5 + 0.00001, 0.1 - 0.00001, 0.3 + 0.00001, ""}));
    EXPECT_EQ(c.box.title, "");
}

TEST(PlaceClusters, sortedByCountStablyAndNeverMoreThanTheGrid) {
    // Three cells of one member met in the order 305, 0, 711, one of two.
    auto clusters = clusterPlaces({at(1, 0, 0), at(2, -3, -5), at(3, 1.1, 1.1), at(4, 1.2, 1.2), at(5, 4.5, 6.5)},
                                  unitCells);
    ASSERT_EQ(clusters.size(), 4u);
    EXPECT_EQ(clusters[0].id, "305-1-1");
    EXPECT_EQ(clusters[1].id, "0-1-2");
    EXPECT_EQ(clusters[2].id, "711-1-5");
    EXPECT_EQ(clusters[3].id, "406-2-3");

    // Thousands of assets over and around every cell: 96 clusters at most.
    std::vector<Asset> many;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> lat(-6, 6), lon(-8, 8);
    for (int i = 0; i < 5000; ++i) many.push_back(at(i, lat(rng), lon(rng)));
    clusters = clusterPlaces(many, unitCells);
    EXPECT_EQ(clusters.size(), 96u);
    for (size_t i = 1; i < clusters.size(); ++i) EXPECT_LE(clusters[i - 1].count, clusters[i].count);
}

TEST(PlaceClusters, zoomedFarInTheCellsKeepAFloor) {
    // Spans below 0.0005° count as 0.0005°: cells of 0.0005/5.5 by 0.0005/9.
    const MapRegion tiny{10, 20, 0.00001, 0.00001};
    const double cellLat = 0.0005 / 5.5, cellLon = 0.0005 / 9.0;
    const double originLat = 10 - 0.6 * 0.0005, originLon = 20 - 0.6 * 0.0005;
    const auto clusters =
        clusterPlaces({at(1, originLat + 2.5 * cellLat, originLon + 3.5 * cellLon), at(2, 10 + 0.001, 20)}, tiny);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].id, "203-1-1");
}

TEST(PlaceClusters, everyVisibleAssetFallsInExactlyOneCluster) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int round = 0; round < 200; ++round) {
        MapRegion r;
        r.spanLat = std::exp2(unit(rng) * 14 - 12) * 100;  // 0.02° to 400°, clamped below
        r.spanLon = std::min(r.spanLat * (0.5 + unit(rng) * 2), 340.0);
        r.spanLat = std::min(r.spanLat, 150.0);
        r.centerLat = (unit(rng) - 0.5) * (180 - r.spanLat);
        // Anywhere east or west: regions across the 180° line too.
        r.centerLon = (unit(rng) - 0.5) * 360;
        // Positions on a lattice of 0.001°: members of different cells then
        // differ by far more than the boxes' margin, so boxes never overlap.
        std::vector<Asset> assets;
        for (int i = 0; i < 300; ++i) {
            const double lat = std::round((r.centerLat + (unit(rng) - 0.5) * 1.6 * r.spanLat) * 1000) / 1000;
            const double lon =
                wrapLongitude(std::round((r.centerLon + (unit(rng) - 0.5) * 1.6 * r.spanLon) * 1000) / 1000);
            assets.push_back(at(i, lat, lon, int(i % 3 == 0)));
        }
        const auto clusters = clusterPlaces(assets, r);
        int total = 0;
        for (const auto& c : clusters) total += c.count;
        int visible = 0;
        for (const Asset& a : assets) {
            if (!hasMapPosition(a) || std::fabs(*a.lat - r.centerLat) > r.spanLat / 2 ||
                std::fabs(wrapLongitude(*a.lon - r.centerLon)) > r.spanLon / 2)
                continue;
            ++visible;
            int containing = 0;
            for (const auto& c : clusters) containing += placeBoxContains(c.box, *a.lat, *a.lon);
            ASSERT_EQ(containing, 1) << "round " << round << " asset " << a.id;
        }
        EXPECT_GE(total, visible);
    }
}

TEST(PlaceClusters, fittingRegion) {
    const MapRegion one = boundingRegion({at(1, 38.7, -9.1), at(2, 38.7, -9.1), at(3, std::nullopt, 5)});
    EXPECT_EQ(one, (MapRegion{38.7, -9.1, 0.04, 0.04}));
    // Round the globe every 90°: the widest gap is 90°, the extent 270°.
    const MapRegion globe = boundingRegion({at(1, -80, -179), at(2, 85, 179), at(3, 0, -90), at(4, 0, 0), at(5, 0, 90)});
    EXPECT_EQ(globe.spanLat, 150);
    EXPECT_EQ(globe.spanLon, 340);
    EXPECT_DOUBLE_EQ(globe.centerLat, 2.5);
    const MapRegion two = boundingRegion({at(1, 10, 20), at(2, 12, 24), at(3, NAN, 1000)});
    EXPECT_DOUBLE_EQ(two.centerLat, 11);
    EXPECT_DOUBLE_EQ(two.centerLon, 22);
    EXPECT_DOUBLE_EQ(two.spanLat, 2 * 1.35);
    EXPECT_DOUBLE_EQ(two.spanLon, 4 * 1.35);
}

TEST(PlaceClusters, aPlaceAcrossThe180LineIsOnePlaceAndFitsTheShortWay) {
    // Fiji: Viti Levu and Vanua Levu west of the line, Taveuni's east coast
    // and the Lau islands east of it.
    const std::vector<Asset> fiji = {at(1, -18.1, 178.4), at(2, -16.6, 179.3), at(3, -16.8, -179.9),
                                     at(4, -17.6, -178.8), at(5, -17.7, -179.0)};
    const MapRegion fit = boundingRegion(fiji);
    EXPECT_NEAR(fit.spanLon, (181.2 - 178.4) * 1.35, 1e-9);  // not most of the globe
    EXPECT_NEAR(fit.centerLon, (178.4 + 181.2) / 2, 1e-9);
    EXPECT_NEAR(fit.centerLat, (-18.1 - 16.6) / 2, 1e-9);
    // Without a shorter way round, the spans are the plain extents.
    const MapRegion pacific = boundingRegion({at(1, 0, -100), at(2, 0, 100)});
    EXPECT_NEAR(pacific.spanLon, 160 * 1.35, 1e-9);
    EXPECT_NEAR(pacific.centerLon, -180, 1e-9);

    // Zoomed out over the islands, one cluster of all five, its mean on the
    // line and its box holding every member on either side.
    const auto one = clusterPlaces(fiji, {-17.3, 180, 30, 40});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].count, 5);
    EXPECT_NEAR(wrapLongitude(one[0].lon - (178.4 + 179.3 + 180.1 + 181.2 + 181.0) / 5), 0, 1e-9);
    EXPECT_GE(one[0].lon, -180);
    EXPECT_LT(one[0].lon, 180);
    for (const Asset& a : fiji) EXPECT_TRUE(placeBoxContains(one[0].box, *a.lat, *a.lon)) << a.id;
    EXPECT_FALSE(placeBoxContains(one[0].box, -17, 0));
    EXPECT_FALSE(placeBoxContains(one[0].box, -17, 170));
    // A region centred west of the line still takes in what lies east of it.
    const auto west = clusterPlaces(fiji, {-17.3, 175, 30, 40});
    int members = 0;
    for (const auto& c : west) members += c.count;
    EXPECT_EQ(members, 5);
}

TEST(PlaceClusters, badgeTexts) {
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {1, "1"}, {999, "999"}, {1000, "1k"}, {1234, "1k"}, {25999, "25k"}, {1000000, "1000k"}};
    for (const auto& [count, text] : cases) EXPECT_EQ(clusterBadge(count), text) << count;
}
