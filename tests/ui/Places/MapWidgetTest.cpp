#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>
#include <functional>
#include <map>

#include "Core/Places/Mercator.h"
#include "UI/Kit/Theme.h"
#include "UI/Places/MapCanvas.h"
#include "UI/Places/MapTiles.h"
#include "UI/Places/MapWidget.h"
#include "UI/Places/StaticMapPainter.h"

using namespace vintrelle;

namespace {

// The first view of a process reads the world's outlines and draws its tiles
// on the tile thread: seconds in a sanitizer build on a busy machine. Every
// wait here ends as soon as its condition holds; the bound only catches a
// view that never comes to rest.
bool waitFor(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

void sendMouse(QWidget& w, QEvent::Type type, QPointF at, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent e(type, at, w.mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void sendWheel(QWidget& w, QPointF at, QPoint angle, QPoint pixels = {}) {
    QWheelEvent e(at, w.mapToGlobal(at), pixels, angle, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &e);
}

void sendKey(QWidget& w, int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

struct Recorder final : MapOverlay {
    int clicks = 0;
    QRectF target{380, 280, 40, 40};
    void paint(QPainter&, const MapCamera&) override {}
    bool hits(QPointF at, const MapCamera&) const override { return target.contains(at); }
    void click(QPointF, const MapCamera&) override { ++clicks; }
};

struct Map {
    MapWidget w;
    std::vector<MapRegion> ends;
    Recorder overlay;
    Map() {
        w.resize(800, 600);
        w.show();
        w.setOverlay(&overlay);
        QObject::connect(&w, &MapWidget::movementEnded, [this](const MapRegion& r) { ends.push_back(r); });
        w.setCenter(45, 10, 5);
        ends.clear();
    }
    void geoAt(QPointF at, double& lat, double& lon) const { w.camera().fromView({at.x(), at.y()}, lat, lon); }
};

QColor pixel(const QImage& image, double lat, double lon, const MapTileKey& k) {
    const double n = std::exp2(k.z);
    const int x = int((mercator::x(lon) * n - k.x) * image.width());
    const int y = int((mercator::y(lat) * n - k.y) * image.height());
    return image.pixelColor(std::clamp(x, 0, image.width() - 1), std::clamp(y, 0, image.height() - 1));
}

MapTileKey tileAt(double lat, double lon, int z, int scale100 = 100) {
    const int n = 1 << z;
    return {z, std::min(int(mercator::x(lon) * n), n - 1), std::min(int(mercator::y(lat) * n), n - 1), scale100,
            false};
}

}  // namespace

TEST(MapWidget, aMovementEndsOnlyWhenTheGestureDoes) {
    Map m;
    const double zoom = m.w.camera().zoom();
    // Wheel: half a level a notch, about the pointer, reported 250 ms after the last notch.
    double lat0 = 0, lon0 = 0, lat1 = 0, lon1 = 0;
    m.geoAt({600, 150}, lat0, lon0);
    sendWheel(m.w, {600, 150}, {0, 120});
    sendWheel(m.w, {600, 150}, {0, 120});
    EXPECT_NEAR(m.w.camera().zoom(), zoom + 1, 1e-9);
    m.geoAt({600, 150}, lat1, lon1);
    EXPECT_NEAR(lat0, lat1, 1e-6);
    EXPECT_NEAR(lon0, lon1, 1e-6);
    EXPECT_TRUE(m.ends.empty());
    ASSERT_TRUE(waitFor([&] { return !m.ends.empty(); }));
    EXPECT_EQ(m.ends.size(), 1u);
    EXPECT_EQ(m.ends.back(), m.w.region());
    // A touchpad scrolls by pixels: 120 of them are half a level too.
    sendWheel(m.w, {400, 300}, {0, -15}, {0, -120});
    EXPECT_NEAR(m.w.camera().zoom(), zoom + 0.5, 1e-9);
    ASSERT_TRUE(waitFor([&] { return m.ends.size() == 2; }));

    // Drag: nothing while it moves, one end at the release, the map follows the pointer.
    m.geoAt({100, 100}, lat0, lon0);
    sendMouse(m.w, QEvent::MouseButtonPress, {100, 100});
    sendMouse(m.w, QEvent::MouseMove, {150, 130});
    sendMouse(m.w, QEvent::MouseMove, {300, 250});
    EXPECT_EQ(m.ends.size(), 2u);
    sendMouse(m.w, QEvent::MouseButtonRelease, {300, 250}, Qt::NoButton);
    EXPECT_EQ(m.ends.size(), 3u);
    m.geoAt({300, 250}, lat1, lon1);
    EXPECT_NEAR(lat0, lat1, 1e-6);
    EXPECT_NEAR(lon0, lon1, 1e-6);
    EXPECT_EQ(m.overlay.clicks, 0);

    // A click that does not move goes to the overlay, and is no movement.
    sendMouse(m.w, QEvent::MouseButtonPress, {400, 300});
    sendMouse(m.w, QEvent::MouseButtonRelease, {401, 300}, Qt::NoButton);
    EXPECT_EQ(m.overlay.clicks, 1);
    EXPECT_EQ(m.ends.size(), 3u);

    // Double-click: one level in over a quarter of a second, then one end.
    const double before = m.w.camera().zoom();
    sendMouse(m.w, QEvent::MouseButtonPress, {200, 200});
    sendMouse(m.w, QEvent::MouseButtonRelease, {200, 200}, Qt::NoButton);
    sendMouse(m.w, QEvent::MouseButtonDblClick, {200, 200});
    sendMouse(m.w, QEvent::MouseButtonRelease, {200, 200}, Qt::NoButton);
    EXPECT_EQ(m.ends.size(), 3u);
    ASSERT_TRUE(waitFor([&] { return m.ends.size() == 4; }));
    EXPECT_NEAR(m.w.camera().zoom(), before + 1, 1e-9);

    // Keys: minus zooms out a level, arrows pan and end a little later.
    sendKey(m.w, Qt::Key_Minus);
    ASSERT_TRUE(waitFor([&] { return m.ends.size() == 5; }));
    EXPECT_NEAR(m.w.camera().zoom(), before, 1e-9);
    const double x = m.w.camera().centerX();
    sendKey(m.w, Qt::Key_Right);
    sendKey(m.w, Qt::Key_Right);
    EXPECT_GT(m.w.camera().centerX(), x);
    EXPECT_EQ(m.ends.size(), 5u);
    ASSERT_TRUE(waitFor([&] { return m.ends.size() == 6; }));

    // A resize is a movement end too.
    m.w.resize(700, 500);
    EXPECT_EQ(m.ends.size(), 7u);
    EXPECT_DOUBLE_EQ(m.ends.back().spanLon, m.w.region().spanLon);
}

TEST(MapWidget, aFitHoldsThroughResizesUntilTheUserMovesTheMap) {
    Map m;
    const MapRegion lisbon{38.72, -9.14, 0.3, 0.3};
    m.w.fitRegion(lisbon);
    ASSERT_EQ(m.ends.size(), 1u);
    auto contains = [&](const MapRegion& r) {
        const MapRegion shown = m.w.region();
        // All of it, as large as it fits: one of the spans is the region's.
        return shown.spanLat >= r.spanLat - 1e-6 && shown.spanLon >= r.spanLon - 1e-6 &&
               (std::fabs(shown.spanLat - r.spanLat) < 1e-6 || std::fabs(shown.spanLon - r.spanLon) < 1e-6);
    };
    m.w.resize(300, 900);
    EXPECT_TRUE(contains(lisbon));
    m.w.resize(1200, 300);
    EXPECT_TRUE(contains(lisbon));
    const double zoom = m.w.camera().zoom();
    sendWheel(m.w, {600, 150}, {0, 240});
    m.w.resize(500, 500);
    EXPECT_NEAR(m.w.camera().zoom(), zoom + 1, 1e-9);
}

TEST(MapTiles, theMapDrawsLandSeaAndLakesWhereTheyAreAtEveryZoom) {
    std::shared_ptr<const MapOutlines> atlas[3];
    for (auto d : {AtlasDetail::coarse110m, AtlasDetail::medium50m, AtlasDetail::fine10m}) {
        atlas[int(d)] = MapOutlines::load(d);
        ASSERT_FALSE(atlas[int(d)]->empty()) << atlasFile(d);
        ASSERT_FALSE(atlas[int(d)]->lakes.empty()) << lakesFile(d);
    }
    struct Place {
        const char* name;
        double lat, lon;
        bool land;
        int fromZoom = 1;  // smaller ones fill no pixel of their own before
    };
    const std::vector<Place> places = {
        {"Madrid", 40.4168, -3.7038, true},
        {"central Australia", -25, 134, true},
        {"Moscow", 55.75, 37.62, true},
        {"Chukotka, east of 180°", 66, -172, true},
        {"Fiji's Vanua Levu", -16.6, 179.2, true, 5},
        {"mid-Atlantic", 30, -40, false},
        {"Tasman Sea", -40, 160, false},
        {"Black Sea", 43.5, 34, false},
        {"Bering Sea", 58, -178, false},
        {"South Pacific at Fiji's latitude", -17, -120, false},
        {"Lake Superior", 47.7, -87.5, false, 3},
        {"Lake Michigan", 44.0, -87.0, false, 3},
        {"Lake Victoria", -1.5, 33.0, false, 3},
        {"Lake Ladoga", 60.8, 31.5, false, 3},
        {"Lake Tanganyika", -6.0, 29.3, false, 5},
        {"Lake Baikal", 53.3, 108.0, false, 5},
        // Beside the lakes the land stays land.
        {"Chicago", 41.85, -87.75, true, 5},
        {"Toronto", 43.75, -79.45, true, 5},
        {"Kampala", 0.33, 32.55, true, 5},
    };
    for (int z : {1, 3, 5, 9, 12, 16, 18}) {
        for (const Place& p : places) {
            if (z < p.fromZoom) continue;
            const MapTileKey key = tileAt(p.lat, p.lon, z, z % 2 ? 200 : 100);
            const QImage tile = renderMapTile(atlas[int(detailForZoom(z))].get(), key);
            ASSERT_EQ(tile.width(), key.pixels());
            const MapPalette& c = MapPalette::of(false);
            EXPECT_EQ(pixel(tile, p.lat, p.lon, key), p.land ? c.land : c.sea) << p.name << " at zoom " << z;
        }
    }
    // Without outlines (a missing atlas) a tile is plain sea.
    const auto none = MapOutlines::load("/nonexistent/countries-10m.json");
    EXPECT_TRUE(none->empty());
    const QImage sea = renderMapTile(none.get(), tileAt(40.4, -3.7, 6, 200));
    EXPECT_EQ(sea.size(), QSize(512, 512));
    EXPECT_EQ(sea.pixelColor(100, 300), MapPalette::of(false).sea);
    EXPECT_EQ(renderMapTile(nullptr, {0, 0, 0, 100, true}).pixelColor(10, 10), MapPalette::of(true).sea);
}

// The lakes files cut Superior along 90° W and Victoria along 33.75° E and
// the equator; those cuts are lines between tiles, where a stroke would
// darken the pixels on both sides. Along each cut through open water, the
// pixels beside it are as light as the lake, on the coarser and the finest
// outlines alike.
TEST(MapTiles, noShoreIsDrawnWhereTheLakesFilesCutALake) {
    struct Cut {
        const char* lake;
        bool meridian;  // along a meridian (at lon), else along a parallel (at lat)
        double lat, lon;
        std::vector<double> along;  // open water on the cut: latitudes or longitudes
    };
    const Cut cuts[] = {
        {"Superior", true, 0, -90, {47.0, 47.3, 47.6}},
        {"Victoria", true, 0, 33.75, {-0.4, -0.7, -1.2}},  // a border runs along 1° S
        {"Victoria", false, 0, 0, {33.1, 33.3, 33.45}},
    };
    std::shared_ptr<const MapOutlines> atlas[3];
    for (auto d : {AtlasDetail::medium50m, AtlasDetail::fine10m}) atlas[int(d)] = MapOutlines::load(d);
    const MapPalette& colors = MapPalette::of(false);
    // A fifth of the way from the lake's lightness to the shore's.
    const int darkest = colors.sea.lightness() - (colors.sea.lightness() - colors.coast.lightness()) / 5;
    // From zoom 4, where the lake is large enough for open water a few pixels from its shores.
    for (int z : {4, 5, 7, 9, 12}) {
        const int scale100 = z % 2 ? 100 : 200;
        const double side = MapTileKey{z, 0, 0, scale100, false}.pixels();
        std::map<std::pair<int, int>, QImage> tiles;
        for (const Cut& c : cuts)
            for (double v : c.along) {
                const double lat = c.meridian ? v : c.lat, lon = c.meridian ? c.lon : v;
                const double wx = mercator::x(lon) * std::exp2(z) * side, wy = mercator::y(lat) * std::exp2(z) * side;
                // The four pixels around the point, in whichever tiles hold them.
                for (double dx : {-0.5, 0.5})
                    for (double dy : {-0.5, 0.5}) {
                        const int tx = int(std::floor((wx + dx) / side)), ty = int(std::floor((wy + dy) / side));
                        QImage& tile = tiles[{tx, ty}];
                        if (tile.isNull())
                            tile = renderMapTile(atlas[int(detailForZoom(z))].get(), {z, tx, ty, scale100, false});
                        const QColor at = tile.pixelColor(int(wx + dx - tx * side), int(wy + dy - ty * side));
                        EXPECT_GE(at.lightness(), darkest)
                            << c.lake << " at " << lat << ", " << lon << ", zoom " << z << ": " << at.name().toStdString();
                    }
            }
    }
}

// Where the atlas's coasts and the lakes' water overlap: the estuaries off
// Zeeland, which the lakes file draws out into the North Sea in blocky
// steps, and the Caspian, whose shore both files draw, not alike. A shore
// is drawn only where water meets land: over open water there every pixel
// is sea, at both pixel ratios and in both appearances.
TEST(MapTiles, noShoreIsDrawnOverOpenWater) {
    struct Water {
        const char* name;
        double lat, lon;            // the middle of the box
        double halfLat, halfLon;    // its half sizes, in degrees
    };
    const Water waters[] = {
        {"the North Sea off Zeeland", 51.56, 3.075, 0.14, 0.225},
        {"the Caspian's north-east bay", 46.51, 53.063, 0.015, 0.02},
        {"the Caspian's north shore", 46.812, 52.184, 0.015, 0.02},
        {"the Caspian off the Volga delta", 45.595, 48.449, 0.015, 0.02},
        {"the Caspian west of the delta", 45.441, 47.79, 0.015, 0.02},
        {"the Caspian off Mangyshlak", 44.821, 50.646, 0.015, 0.02},
    };
    const auto atlas = MapOutlines::load(AtlasDetail::fine10m);
    ASSERT_FALSE(atlas->lakes.empty());
    for (int z : {7, 8})
        for (int scale100 : {100, 200})
            for (bool dark : {false, true}) {
                const QColor sea = MapPalette::of(dark).sea;
                std::map<std::pair<int, int>, QImage> tiles;
                for (const Water& w : waters) {
                    const double side = MapTileKey{z, 0, 0, scale100, dark}.pixels();
                    const double world = std::exp2(z) * side;
                    const int x0 = int(mercator::x(w.lon - w.halfLon) * world);
                    const int x1 = int(mercator::x(w.lon + w.halfLon) * world);
                    const int y0 = int(mercator::y(w.lat + w.halfLat) * world);
                    const int y1 = int(mercator::y(w.lat - w.halfLat) * world);
                    int stray = 0;
                    for (int y = y0; y <= y1; ++y)
                        for (int x = x0; x <= x1; ++x) {
                            const int tx = int(x / side), ty = int(y / side);
                            QImage& tile = tiles[{tx, ty}];
                            if (tile.isNull()) tile = renderMapTile(atlas.get(), {z, tx, ty, scale100, dark});
                            stray += tile.pixelColor(x - int(tx * side), y - int(ty * side)) != sea;
                        }
                    EXPECT_EQ(stray, 0) << w.name << " at zoom " << z << ", scale " << scale100 << (dark ? ", dark" : "");
                }
            }
}

TEST(MapTiles, theCacheKeepsToItsLimitAndTheViewsSettle) {
    MapTileService& service = MapTileService::instance();
    int client = 0;
    std::vector<MapTileKey> keys;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) keys.push_back({4, x, y, 200, false});  // 1 MB each
    service.want(&client, keys);
    ASSERT_TRUE(waitFor([&] { return !service.isPending(&client); }, 60000));
    EXPECT_LE(service.cacheBytes(), MapTileService::cacheLimit);
    EXPECT_GE(service.cacheBytes(), MapTileService::cacheLimit - 2 * 1024 * 1024);
    EXPECT_FALSE(service.cached(keys.back()).isNull());  // the most recent stay
    EXPECT_TRUE(service.cached(keys.front()).isNull());  // the oldest went

    // A map and a static map both come to rest with every tile drawn.
    Map m;
    m.w.setCenter(48.85, 2.35, 11);
    EXPECT_TRUE(waitFor([&] {
        m.w.repaint();
        return m.w.isSettled();
    }));
    StaticMapView still;
    still.resize(268, 150);
    still.setPlace(38.7223, -9.1393);
    still.show();
    EXPECT_TRUE(waitFor([&] {
        still.repaint();
        return still.isComplete();
    }));
    // The marker stands on the place, in the accent colour.
    const QImage image = still.grab().toImage();
    EXPECT_EQ(image.pixelColor(134, 75 - 27 + 10 + 6), MapPalette::of(Theme::isDark()).accent);
}

TEST(MapCanvas, scaleTexts) {
    const std::vector<std::tuple<double, bool, QString>> cases = {
        {200000, false, "200 km"}, {500, false, "500 m"}, {1000, false, "1 km"},
        {1609.344 * 2, true, "2 mi"}, {0.3048 * 500, true, "500 ft"}};
    for (const auto& [metres, imperial, text] : cases)
        EXPECT_EQ(mapcanvas::scaleText(metres, imperial), text) << metres;
}

TEST(MapWidget, theWorldGoesOnAcrossThe180Line) {
    Map m;
    // Over the Bering Strait: Chukotka on both sides of the line, drawn
    // from the two edges of the world's tiles.
    m.w.setCenter(66, 180, 4);
    ASSERT_TRUE(waitFor([&] {
        m.w.repaint();
        return m.w.isSettled();
    }));
    const QImage image = m.w.grab().toImage();
    const MapPalette& c = MapPalette::of(Theme::isDark());
    for (double lon : {172.0, -172.0}) {
        const ViewPoint at = m.w.camera().toView(66, lon);
        int shown = 0;
        m.w.camera().forEachCopy(at.x, 0, [&](double x) {
            ++shown;
            EXPECT_EQ(image.pixelColor(int(x), int(at.y)), c.land) << lon;
        });
        EXPECT_EQ(shown, 1) << lon;
    }
}

// Photo bubbles may lie anywhere, even over the corners, but the scale and
// the credit that the lakes' licence asks for are painted over them.
TEST(MapWidget, theScaleAndTheCreditStayAboveWhateverTheOverlayPaints) {
    struct Cover final : MapOverlay {
        void paint(QPainter& p, const MapCamera& c) override { p.fillRect(QRectF(0, 0, c.width(), c.height()), Qt::magenta); }
        bool hits(QPointF, const MapCamera&) const override { return false; }
        void click(QPointF, const MapCamera&) override {}
    } cover;
    Map m;
    m.w.setOverlay(&cover);
    m.w.setCenter(47.5, -88, 6);
    ASSERT_TRUE(waitFor([&] {
        m.w.repaint();
        return m.w.isSettled();
    }));
    const QImage image = m.w.grab().toImage();
    EXPECT_EQ(image.pixelColor(400, 300), QColor(Qt::magenta));
    for (const QRectF& r : {m.w.scaleBarRect(), m.w.creditRect()}) {
        ASSERT_FALSE(r.isEmpty());
        const QRect px = r.toAlignedRect().intersected(image.rect());
        int shown = 0;
        for (int y = px.top(); y <= px.bottom(); ++y)
            for (int x = px.left(); x <= px.right(); ++x) shown += image.pixelColor(x, y) != QColor(Qt::magenta);
        EXPECT_GT(shown, px.width() * px.height() / 5) << r.x() << ", " << r.y();
    }
}

TEST(MapWidget, labelsNameTheLargestPlacesInViewClearOfTheScaleAndCredit) {
    Map m;
    auto settle = [&] {
        return waitFor([&] {
            m.w.repaint();
            return m.w.isSettled();
        });
    };
    // Iceland alone at zoom 6: no city of the size the world map names, but
    // its largest towns are named all the same, Reykjavík among them.
    m.w.setCenter(64.9, -18.6, 6);
    ASSERT_TRUE(settle());
    QStringList names;
    for (const auto& l : m.w.labels()) names << l.name;
    EXPECT_GE(names.size(), 2) << names.join(", ").toStdString();
    EXPECT_TRUE(names.filter("Reykjav").size() == 1) << names.join(", ").toStdString();
    EXPECT_LE(int(names.size()), mapcanvas::labelBudget(800, 600, 60));

    // A city right under the scale bar or the credit is not named over
    // them; nor is any other label.
    struct Case {
        const char* city;
        double lat, lon;
        QPointF at;  // where the view puts it
    };
    const QRectF view(0, 0, 800, 600);
    for (const Case& c : {Case{"Essen", 51.4556, 7.0116, {30, 582}}, Case{"Tehran", 35.6944, 51.4215, {700, 591}}}) {
        for (double zoom : {5.0, 8.0}) {
            MapCamera cam = m.w.camera();
            cam.setCenter(c.lat, c.lon, zoom);
            double lat = 0, lon = 0;
            cam.fromView({800 - c.at.x(), 600 - c.at.y()}, lat, lon);
            m.w.setCenter(lat, lon, zoom);
            ASSERT_TRUE(settle()) << c.city;
            const ViewPoint shown = m.w.camera().toView(c.lat, c.lon);
            ASSERT_NEAR(shown.x, c.at.x(), 1) << c.city;
            ASSERT_NEAR(shown.y, c.at.y(), 1) << c.city;
            ASSERT_TRUE(view.contains(m.w.scaleBarRect()) && view.contains(m.w.creditRect()));
            EXPECT_TRUE(m.w.scaleBarRect().contains(QPointF(20, 586)));
            EXPECT_TRUE(m.w.creditRect().contains(QPointF(780, 590)));
            EXPECT_FALSE(m.w.labels().empty()) << c.city;
            for (const auto& l : m.w.labels()) {
                EXPECT_NE(l.name, c.city) << "at zoom " << zoom;
                EXPECT_FALSE(l.box.intersects(m.w.scaleBarRect())) << l.name.toStdString();
                EXPECT_FALSE(l.box.intersects(m.w.creditRect())) << l.name.toStdString();
            }
        }
    }
}
