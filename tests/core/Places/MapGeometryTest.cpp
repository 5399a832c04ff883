#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "Core/Places/CityIndex.h"
#include "Core/Places/Lakes.h"
#include "Core/Places/Mercator.h"
#include "Core/Places/Topology.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

TEST(Mercator, roundTripsAndClampsThePoles) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> lat(-85, 85), lon(-180, 180);
    for (int i = 0; i < 1000; ++i) {
        const double a = lat(rng), b = lon(rng);
        EXPECT_NEAR(mercator::lat(mercator::y(a)), a, 1e-9);
        EXPECT_NEAR(mercator::lon(mercator::x(b)), b, 1e-9);
    }
    EXPECT_DOUBLE_EQ(mercator::y(0), 0.5);
    EXPECT_NEAR(mercator::y(mercator::maxLatitude), 0, 1e-12);
    EXPECT_NEAR(mercator::y(90), 0, 1e-12);
    EXPECT_NEAR(mercator::y(-90), 1, 1e-12);
    EXPECT_DOUBLE_EQ(mercator::worldSize(0), 256);
    EXPECT_DOUBLE_EQ(mercator::worldSize(2.5), 256 * std::exp2(2.5));
}

TEST(MapCamera, fitContainsItsRegion) {
    const std::vector<MapRegion> regions = {
        {38.7, -9.1, 0.04, 0.04}, {50, 10, 20, 30}, {-33, 151, 0.5, 2}, {2.5, 0, 150, 340}, {70, -170, 10, 40},
        {-17, 180, 1, 3}, {-17, -179.5, 2, 4}};
    for (auto [w, h] : {std::pair{800.0, 600.0}, {300.0, 900.0}, {1600.0, 400.0}}) {
        for (const MapRegion& r : regions) {
            MapCamera cam;
            cam.setViewport(w, h);
            cam.fit(r);
            // East and west the world wraps: the corners may lie past ±180°,
            // measured from the camera's centre.
            const double west = cam.centerLon() + wrapLongitude(r.centerLon - cam.centerLon()) - r.spanLon / 2;
            const ViewPoint nw = cam.toView(std::min(r.centerLat + r.spanLat / 2, 85.0), west);
            const ViewPoint se = cam.toView(std::max(r.centerLat - r.spanLat / 2, -85.0), west + r.spanLon);
            if (cam.zoom() <= cam.minZoom()) {
                // Zoomed out as far as the map goes, the whole width of the world shows.
                EXPECT_NEAR(cam.toViewNormalized(1, 0).x - cam.toViewNormalized(0, 0).x, w, 1e-6);
                continue;
            }
            EXPECT_GE(nw.x, -1e-6) << r.centerLat << " in " << w << "x" << h;
            EXPECT_GE(nw.y, -1e-6) << r.centerLat << " in " << w << "x" << h;
            EXPECT_LE(se.x, w + 1e-6) << r.centerLat << " in " << w << "x" << h;
            EXPECT_LE(se.y, h + 1e-6) << r.centerLat << " in " << w << "x" << h;
            // As large as it fits: it touches two sides.
            EXPECT_TRUE(std::fabs(se.x - nw.x - w) < 1e-6 || std::fabs(se.y - nw.y - h) < 1e-6);
        }
    }
}

TEST(MapCamera, zoomAndPanStayInsideTheWorld) {
    MapCamera cam;
    cam.setViewport(1024, 600);
    EXPECT_DOUBLE_EQ(cam.minZoom(), 2);  // the world fits the width
    cam.setCenter(0, 0, -3);
    EXPECT_DOUBLE_EQ(cam.zoom(), 2);
    cam.setCenter(0, 0, 40);
    EXPECT_DOUBLE_EQ(cam.zoom(), MapCamera::maxZoom);

    // Zooming about a point keeps the place under it.
    cam.setCenter(48.85, 2.35, 6);
    double lat0 = 0, lon0 = 0, lat1 = 0, lon1 = 0;
    cam.fromView({700, 200}, lat0, lon0);
    cam.zoomAbout({700, 200}, 9.3);
    cam.fromView({700, 200}, lat1, lon1);
    EXPECT_NEAR(lat0, lat1, 1e-9);
    EXPECT_NEAR(lon0, lon1, 1e-9);

    // Panned far past the poles, the view still shows only the world; east
    // and west it goes on round the globe.
    for (auto [dx, dy] : {std::pair{1e7, 0.0}, {-1e7, 0.0}, {0.0, 1e7}, {0.0, -1e7}, {1e9, -1e9}}) {
        cam.setCenter(0, 0, 4);
        cam.panBy(dx, dy);
        EXPECT_LE(cam.toViewNormalized(0, 0).y, 1e-6);
        EXPECT_GE(cam.toViewNormalized(1, 1).y, 600 - 1e-6);
        EXPECT_GE(cam.centerX(), 0);
        EXPECT_LT(cam.centerX(), 1);
        EXPECT_GE(cam.centerLon(), -180);
        EXPECT_LT(cam.centerLon(), 180);
        EXPECT_NEAR(cam.region().spanLon, 1024 / cam.worldSize() * 360, 1e-9);
    }
    // A pan eastwards over the 180° line: the place under the pointer stays
    // under it, a world-width further east.
    cam.setCenter(-17, 179.5, 8);
    double lat2 = 0, lon2 = 0;
    cam.fromView({900, 300}, lat0, lon0);
    cam.panBy(-400, 0);
    cam.fromView({500, 300}, lat2, lon2);
    EXPECT_NEAR(wrapLongitude(lon2), wrapLongitude(lon0), 1e-9);
    EXPECT_NEAR(lat2, lat0, 1e-9);
    EXPECT_NEAR(cam.centerLon(), 179.5 + 400 / cam.worldSize() * 360 - 360, 1e-9);
    for (auto [lon, wrapped] : {std::pair{180.0, -180.0}, {-180.0, -180.0}, {190.0, -170.0}, {-540.5, 179.5},
                                {720.0, 0.0}, {-1e-18, -1e-18}})
        EXPECT_DOUBLE_EQ(wrapLongitude(lon), wrapped) << lon;
    // A view taller than the world at its smallest shows it centred
    // vertically; across, it shows the whole width around the centre.
    cam.setViewport(400, 900);
    cam.setCenter(60, 10, 0);
    EXPECT_DOUBLE_EQ(cam.centerY(), 0.5);
    EXPECT_DOUBLE_EQ(cam.centerLon(), 10);
    // Not a number changes nothing.
    cam.setCenter(NAN, NAN, NAN);
    EXPECT_DOUBLE_EQ(cam.centerLon(), 10);
}

namespace {

// Two unit squares side by side, quantised by 0.5 and shifted by (10, 20):
// arc 0 is their shared edge, walked backwards by the right-hand one.
const char* twoCountries = R"({"type":"Topology",
  "transform":{"scale":[0.5,0.5],"translate":[10,20]},
  "objects":{"countries":{"type":"GeometryCollection","geometries":[
    {"type":"Polygon","arcs":[[0,1]],"id":"001","properties":{"name":"West"}},
    {"type":"MultiPolygon","arcs":[[[-1,2]]],"id":2,"properties":{"name":"East"}},
    {"type":"Point","coordinates":[0,0]}]}},
  "arcs":[[[2,0],[0,2]], [[2,2],[-2,0],[0,-2],[2,0]], [[2,0],[2,0],[0,2],[-2,0]]]})";

}  // namespace

TEST(Topology, decodesArcsEdgesAndReversedReferences) {
    const auto topo = WorldTopology::decode(twoCountries);
    ASSERT_TRUE(topo);
    ASSERT_EQ(topo->countries().size(), 2u);
    EXPECT_EQ(topo->countries()[0].name, "West");
    EXPECT_EQ(topo->countries()[1].id, "2");
    EXPECT_EQ(topo->arcs()[0].points, (std::vector<LonLat>{{11, 20}, {11, 21}}));
    EXPECT_EQ(topo->edge(0), WorldTopology::Edge::border);
    EXPECT_EQ(topo->edge(1), WorldTopology::Edge::coast);
    EXPECT_EQ(topo->edge(2), WorldTopology::Edge::coast);
    EXPECT_EQ(topo->edge(3), WorldTopology::Edge::none);
    const GeoBox box = topo->arcs()[2].box;
    EXPECT_EQ((std::vector<double>{box.minLon, box.minLat, box.maxLon, box.maxLat}),
              (std::vector<double>{11, 20, 12, 21}));
    // "~0" walks the shared edge from its end; the ring closes where it began.
    EXPECT_EQ(topo->points(topo->countries()[1].polygons[0][0]),
              (std::vector<LonLat>{{11, 21}, {11, 20}, {12, 20}, {12, 21}, {11, 21}}));
    // Without a land object, the land is every country's polygons.
    EXPECT_EQ(topo->land().size(), 2u);
}

TEST(Topology, rejectsWhatIsNotATopology) {
    const std::vector<std::string> bad = {
        "", "not json", "[]", R"({"type":"FeatureCollection"})", R"({"type":"Topology","arcs":[]})",
        // An arc that does not exist, backwards or forwards.
        R"({"type":"Topology","objects":{"countries":{"type":"Polygon","arcs":[[3]]}},"arcs":[[[0,0],[1,1]]]})",
        R"({"type":"Topology","objects":{"countries":{"type":"Polygon","arcs":[[-2]]}},"arcs":[[[0,0],[1,1]]]})",
        R"({"type":"Topology","objects":{},"arcs":[[[0,"x"]]]})",
        R"({"type":"Topology","transform":{"scale":[1]},"objects":{},"arcs":[]})",
        std::string(twoCountries).substr(0, 200),
    };
    for (const std::string& text : bad) EXPECT_FALSE(WorldTopology::decode(text)) << text;
    fixtures::TempDir dir;
    EXPECT_FALSE(WorldTopology::load(dir / "missing.json"));
    EXPECT_FALSE(WorldTopology::load(dir.path()));  // a folder
}

TEST(Topology, theCoarseWorldAtlas) {
    const std::string file = atlasFile(AtlasDetail::coarse110m);
    ASSERT_TRUE(std::filesystem::exists(file)) << file << " missing: run scripts/npm-assets.sh";
    const auto topo = WorldTopology::load(file);
    ASSERT_TRUE(topo);
    EXPECT_EQ(topo->countries().size(), 177u);
    int coasts = 0, borders = 0;
    for (size_t i = 0; i < topo->arcs().size(); ++i) {
        coasts += topo->edge(i) == WorldTopology::Edge::coast;
        borders += topo->edge(i) == WorldTopology::Edge::border;
        for (const LonLat& p : topo->arcs()[i].points) {
            ASSERT_LE(std::fabs(p.lon), 180 + 1e-9);
            ASSERT_LE(std::fabs(p.lat), 90 + 1e-9);
        }
    }
    EXPECT_GT(coasts, 100);
    EXPECT_GT(borders, 200);
    // Every land ring closes.
    for (const auto& polygon : topo->land())
        for (const auto& ring : polygon) {
            const auto pts = topo->points(ring);
            ASSERT_GE(pts.size(), 4u);
            EXPECT_EQ(pts.front(), pts.back());
        }
}

TEST(Lakes, readsThePolygonsOfAnyGeoJsonShape) {
    const std::string square = "[[0,0],[4,0],[4,4],[0,4],[0,0]]", island = "[[1,1],[2,1],[2,2],[1,1]]";
    struct Case {
        const char* what;
        std::string json;
        std::vector<size_t> ringsPerPolygon;  // nothing at all when the text is refused
        bool refused = false;
    };
    const std::vector<Case> cases = {
        {"a polygon with an island", R"({"type":"Polygon","coordinates":[)" + square + "," + island + "]}", {2}},
        {"type after the coordinates", R"({"coordinates":[)" + square + R"(],"type":"Polygon"})", {1}},
        {"a multipolygon in a collection",
         R"({"type":"GeometryCollection","geometries":[{"type":"MultiPolygon","coordinates":[[)" + square + "],[" +
             square + "," + island + "]]}]}",
         {1, 2}},
        {"features, with altitudes and other geometries",
         R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"name":"x","coordinates":[1]},
             "geometry":{"type":"Polygon","coordinates":[[[0,0,5],[1,0,5],[1,1,5],[0,0,5]]]}},
           {"type":"Feature","geometry":{"type":"LineString","coordinates":[[0,0],[1,1],[2,0]]}},
           {"type":"Feature","geometry":{"type":"Point","coordinates":[3,3]}},
           {"type":"Feature","geometry":null}]})",
         {1}},
        {"a degenerate island is dropped", R"({"type":"Polygon","coordinates":[)" + square + R"(,[[1,1],[2,2]]]})", {1}},
        {"a degenerate outline drops its polygon",
         R"({"type":"MultiPolygon","coordinates":[[[[1,1],[2,2]],)" + island + "],[" + square + "]]}",
         {1}},
        {"empty coordinates", R"({"type":"Polygon","coordinates":[]})", {}},
        {"not json", "{\"type\":", {}, true},
        {"a position of one number", R"({"type":"Polygon","coordinates":[[[0],[1,1],[1,0],[0,0]]]})", {}, true},
        {"an object among the positions", R"({"type":"Polygon","coordinates":[[{"x":1}]]})", {}, true},
        {"numbers where rings belong", R"({"type":"Polygon","coordinates":[[[0,0],[1,1],[1,0]],[1,2]]})", {}, true},
    };
    for (const Case& c : cases) {
        const auto polygons = decodeGeoJsonPolygons(c.json);
        ASSERT_EQ(!polygons, c.refused) << c.what;
        if (!polygons) continue;
        std::vector<size_t> rings;
        for (const GeoPolygon& p : *polygons) rings.push_back(p.size());
        EXPECT_EQ(rings, c.ringsPerPolygon) << c.what;
    }
    const auto one = decodeGeoJsonPolygons(R"({"type":"Polygon","coordinates":[)" + square + "]}");
    ASSERT_TRUE(one);
    EXPECT_EQ((*one)[0][0][1], (LonLat{4, 0}));  // longitude first

    fixtures::TempDir dir;
    EXPECT_FALSE(loadGeoJsonPolygons(dir / "missing.json"));
    EXPECT_FALSE(loadGeoJsonPolygons(dir.path()));
}

// Pieces of one lake cut along 33.75° E (a tile line of zoom 5): where both
// run along the line it is a seam, split off where only one does; a side
// simplified off the line still meets the other within the tolerance; two
// lakes touching along a line that is no cut keep their shores.
TEST(Lakes, marksWhereThePiecesOfACutLakeMeet) {
    auto square = [](double w, double s, double e, double n) {
        return GeoPolygon{{{w, s}, {e, s}, {e, n}, {w, n}, {w, s}}};
    };
    std::vector<GeoPolygon> lakes = {square(33, -1, 33.75, 0), square(33.75, -0.5, 34.5, 0),
                                     square(33.5, 1, 33.7, 2), square(33.7, 1.2, 33.9, 1.8)};
    auto flags = markSharedEdges(lakes, 0.002);
    ASSERT_EQ(flags.size(), 4u);
    // The west piece's east side gains a point where the east piece ends.
    const GeoRing west = {{33, -1}, {33.75, -1}, {33.75, -0.5}, {33.75, 0}, {33, 0}, {33, -1}};
    EXPECT_EQ(lakes[0][0], west);
    EXPECT_EQ(flags[0], (SharedEdges{false, false, true, false, false}));
    EXPECT_EQ(flags[1], (SharedEdges{false, false, false, true}));
    EXPECT_TRUE(flags[2].empty() && flags[3].empty());  // 33.7° is no cut

    // The east piece's side drawn 0.02° off the line, as the coarser files do.
    std::vector<GeoPolygon> simplified = {square(33, -1, 33.75, 0),
                                          GeoPolygon{{{33.77, -1}, {34.5, -1}, {34.5, 0}, {33.75, 0}, {33.77, -1}}}};
    const std::vector<GeoPolygon> asRead = simplified;
    EXPECT_TRUE(markSharedEdges(simplified, 0.002)[0].empty());
    EXPECT_EQ(simplified, asRead);
    flags = markSharedEdges(simplified, 0.05);
    EXPECT_EQ(flags[0], (SharedEdges{false, true, false, false}));
    EXPECT_EQ(flags[1], (SharedEdges{false, false, false, true}));
}

TEST(CityIndex, visitsTheCitiesOfABoxMostPopulousFirst) {
    const CityIndex index({{"Small", "", "", 10.5, 20.5, 100},
                           {"Big", "", "", 10.2, 21.7, 5000},
                           {"Far", "", "", -40, 100, 9000},
                           {"Edge", "", "", 90, 180, 50}});
    auto names = [&](double a, double b, double c, double d, uint32_t minPop, size_t limit = 99) {
        std::vector<std::string> out;
        index.visit(a, b, c, d, minPop, [&](const City& city) {
            out.push_back(city.name);
            return out.size() < limit;
        });
        return out;
    };
    EXPECT_EQ(names(10, 11, 20, 22, 0), (std::vector<std::string>{"Big", "Small"}));
    EXPECT_EQ(names(10, 11, 20, 22, 1000), (std::vector<std::string>{"Big"}));
    EXPECT_EQ(names(-90, 90, -180, 180, 0), (std::vector<std::string>{"Far", "Big", "Small", "Edge"}));
    EXPECT_EQ(names(-90, 90, -180, 180, 0, 2), (std::vector<std::string>{"Far", "Big"}));
    EXPECT_EQ(names(89, 90, 179, 180, 0), (std::vector<std::string>{"Edge"}));
    EXPECT_TRUE(names(10, 11, 22, 20, 0).empty());
    EXPECT_TRUE(names(NAN, 11, 20, 22, 0).empty());

    // The shared index is libgeonames' list.
    const auto shared = CityIndex::shared();
    EXPECT_EQ(CityIndex::ifBuilt(), shared);
    EXPECT_GT(shared->cities().size(), 20000u);
    std::vector<std::string> nearLisbon;
    shared->visit(38.5, 39, -9.5, -9, 400000, [&](const City& c) {
        nearLisbon.push_back(c.name);
        return true;
    });
    EXPECT_EQ(nearLisbon, (std::vector<std::string>{"Lisbon"}));
}
