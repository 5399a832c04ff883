// Where the map's tiles stroke a shore: once, only where the painted land
// meets the painted water, whatever the atlas's coasts and the lakes file's
// outlines make of the water between them.

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "Core/Places/Mercator.h"
#include "UI/Places/MapStyle.h"
#include "UI/Places/MapTiles.h"

using namespace vintrelle;

namespace {

// The land and water of a tile as the outlines enclose them, before any
// thinning: each pixel's share of land, a margin wide around the tile. Its
// shores are the pixels partly land (or beside one of the other kind).
class TrueLand {
public:
    TrueLand(const MapOutlines& o, const MapTileKey& k, int margin)
        : margin_(margin), side_(k.pixels()), scale_(std::exp2(k.z) * side_), key_(k),
          land_(side_ + 2 * margin, side_ + 2 * margin, QImage::Format_Grayscale8),
          borders_(land_.size(), QImage::Format_Grayscale8) {
        const QRectF near(QPointF(double(k.x * side_ - 2 * margin) / scale_, double(k.y * side_ - 2 * margin) / scale_),
                          QSizeF((side_ + 4.0 * margin) / scale_, (side_ + 4.0 * margin) / scale_));
        auto path = [&](const std::vector<MapOutlines::Shape>& shapes, const std::vector<uint32_t>& only) {
            QPainterPath p;
            p.setFillRule(Qt::OddEvenFill);
            for (uint32_t i : only)
                if (meets(shapes[i].bounds, near)) p.addPolygon(polygon(shapes[i]));
            return p;
        };
        std::vector<uint32_t> everyLand(o.land.size());
        for (uint32_t i = 0; i < everyLand.size(); ++i) everyLand[i] = i;
        land_.fill(0);
        QPainter p(&land_);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(path(o.land, everyLand), Qt::white);
        p.fillPath(path(o.lakes, o.lakesNear(near)), Qt::black);
        // Borders are drawn over land and lakes alike.
        borders_.fill(0);
        QPainter b(&borders_);
        b.setPen(QPen(Qt::white, 4 * key_.scale100 / 100.0, Qt::SolidLine, Qt::RoundCap));
        for (const MapOutlines::Shape& s : o.borders)
            if (meets(s.bounds, near)) b.drawPolyline(polygon(s));
    }

    int at(int x, int y) const { return land_.constScanLine(y + margin_)[x + margin_]; }
    bool nearBorder(int x, int y) const { return borders_.constScanLine(y + margin_)[x + margin_]; }
    // Whether land and water meet within `reach` pixels of a pixel of the tile.
    bool nearShore(int x, int y, double reach) const {
        const int here = at(x, y), r = int(std::ceil(reach));
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) {
                if (dx * dx + dy * dy > reach * reach) continue;
                const int v = at(x + dx, y + dy);
                if ((v != 0 && v != 255) || v != here) return true;
            }
        return false;
    }
    QPointF toTile(double lat, double lon) const {
        return {mercator::x(lon) * scale_ - key_.x * side_, mercator::y(lat) * scale_ - key_.y * side_};
    }

private:
    // Bounds of a straight meridian or parallel have no width or height.
    static bool meets(const QRectF& a, const QRectF& b) {
        return a.left() <= b.right() && b.left() <= a.right() && a.top() <= b.bottom() && b.top() <= a.bottom();
    }
    QPolygonF polygon(const MapOutlines::Shape& s) const {
        QPolygonF poly;
        for (const QPointF& q : s.points)
            poly << QPointF(q.x() * scale_ - key_.x * side_ + margin_, q.y() * scale_ - key_.y * side_ + margin_);
        return poly;
    }
    int margin_, side_;
    double scale_;
    MapTileKey key_;
    QImage land_, borders_;
};

// How much of the shore's colour a pixel carries: 0 for either fill, 1 for
// the line itself (from the lightness, the fills being lighter than it).
double ink(const QColor& c, bool dark) {
    const MapPalette& p = MapPalette::of(dark);
    if (dark) {
        const int fill = std::max(p.land.lightness(), p.sea.lightness());
        return std::clamp(double(c.lightness() - fill) / (p.coast.lightness() - fill), 0.0, 1.0);
    }
    const int fill = std::min(p.land.lightness(), p.sea.lightness());
    return std::clamp(double(fill - c.lightness()) / (fill - p.coast.lightness()), 0.0, 1.0);
}

// The most of the shore's colour in a pixel and the eight around it.
double inkAround(const QImage& tile, QPoint at, bool dark) {
    double most = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) most = std::max(most, ink(tile.pixelColor(at + QPoint(dx, dy)), dark));
    return most;
}

// Pixels of a tile that are neither land nor sea (a line, or the smoothing
// of an edge) with no shore and no border near enough to have drawn them: a
// line's half width and its smoothing, the thinning of the outlines, and
// the true land's own smoothing.
int strayInk(const MapOutlines& o, const MapTileKey& k, const QImage& tile) {
    const double reach = (k.z < 3 ? 0.35 : 0.5) * k.scale100 / 100.0 + 1 + 0.6 + 0.5;
    const TrueLand truth(o, k, int(std::ceil(reach)) + 2);
    const MapPalette& c = MapPalette::of(k.dark);
    int stray = 0;
    for (int y = 0; y < tile.height(); ++y)
        for (int x = 0; x < tile.width(); ++x) {
            const QColor at = tile.pixelColor(x, y);
            if (at == c.sea || at == c.land || truth.nearBorder(x, y)) continue;
            stray += !truth.nearShore(x, y, reach);
        }
    return stray;
}

// An island from 0.2° to 1.2° east and north, in the tile of zoom 8 that
// holds it, and the water the lakes file lays over it, as near Zeeland.
const char* island = R"({"type":"Topology","transform":{"scale":[0.01,0.01],"translate":[0,0]},
  "objects":{"countries":{"type":"GeometryCollection","geometries":[
    {"type":"Polygon","arcs":[[0]],"id":"1","properties":{"name":"Island"}}]}},
  "arcs":[[[20,20],[100,0],[0,100],[-100,0],[0,-100]]]})";

GeoRing box(double west, double south, double east, double north) {
    return {{west, south}, {east, south}, {east, north}, {west, north}, {west, south}};
}

}  // namespace

TEST(MapShores, aShoreIsStrokedOnceWhereTheLandMeetsTheWater) {
    const auto topology = WorldTopology::decode(island);
    ASSERT_TRUE(topology);
    const auto outlines = MapOutlines::fromTopology(*topology);
    ASSERT_EQ(outlines->coasts.size(), 1u);
    const double pixel = 360.0 / (256 * 256);  // a logical pixel at zoom 8, in degrees of longitude
    outlines->addLakes({
        // An estuary: cut into the east coast, and drawn on out to sea.
        {box(1.0, 0.6, 1.35, 0.75)},
        // A strip of water off the west coast whose edge lies three
        // quarters of a pixel inside it: one shore with two outlines.
        {box(0.1, 0.8, 0.2 + 0.75 * pixel, 1.1)},
        // A lake whose outline runs north from its shore and back again.
        {{{0.4, 0.3}, {0.6, 0.3}, {0.6, 0.45}, {0.5, 0.45}, {0.5, 0.55}, {0.5, 0.45}, {0.4, 0.45}, {0.4, 0.3}}},
    });
    for (int scale100 : {100, 200})
        for (bool dark : {false, true}) {
            SCOPED_TRACE("scale " + std::to_string(scale100) + (dark ? ", dark" : ", light"));
            const MapTileKey key{8, 128, 127, scale100, dark};
            const QImage tile = renderMapTile(outlines.get(), key);
            const TrueLand truth(*outlines, key, 8);
            const double dpr = scale100 / 100.0;

            // Nothing is drawn over open water, nor along an outline with
            // land on both sides of it.
            EXPECT_EQ(strayInk(*outlines, key, tile), 0);
            auto inkNear = [&](double lat, double lon) {
                return inkAround(tile, truth.toTile(lat, lon).toPoint(), dark);
            };
            EXPECT_EQ(inkNear(0.6, 1.3), 0) << "the estuary's outline out at sea";
            EXPECT_EQ(inkNear(0.75, 1.25), 0) << "the estuary's outline out at sea";
            EXPECT_EQ(inkNear(0.675, 1.2), 0) << "the coast under the estuary";
            EXPECT_EQ(inkNear(0.52, 0.5), 0) << "the lake's outline out and back over land";
            EXPECT_GT(inkNear(0.6, 1.1), 0.5) << "the estuary's shore";
            EXPECT_GT(inkNear(0.95, 0.2 + 0.75 * pixel), 0.5) << "the strip's shore";

            // Across the west coast, as much of the shore's colour where two
            // outlines a pixel apart draw it as where the coast alone does.
            auto across = [&](double lat) {
                const QPointF coast = truth.toTile(lat, 0.2);
                double sum = 0;
                for (int x = int(coast.x() - 4 * dpr); x <= int(coast.x() + 4 * dpr); ++x)
                    sum += ink(tile.pixelColor(x, int(coast.y())), dark);
                return sum;
            };
            const double alone = across(0.5), both = across(0.95);
            EXPECT_GT(alone, 0.6 * dpr);
            EXPECT_LT(both, 1.3 * alone);

            // And along every shore the line goes on unbroken, also where
            // it passes from the coast to a lake's outline.
            int gaps = 0;
            for (int y = 1; y + 1 < tile.height(); ++y)
                for (int x = 1; x + 1 < tile.width(); ++x) {
                    const int v = truth.at(x, y);
                    if (v >= 64 && v <= 191) gaps += inkAround(tile, {x, y}, dark) < 0.4;
                }
            EXPECT_EQ(gaps, 0);
        }
}

// The places whose shores both files draw, each as a few tiles at the zoom
// where they were seen wrong, at both pixel ratios: nothing is stroked away
// from where land meets water.
TEST(MapShores, realShoresAreStrokedOnlyWhereTheLandMeetsTheWater) {
    const auto fine = MapOutlines::load(AtlasDetail::fine10m);
    ASSERT_FALSE(fine->lakes.empty());
    struct Place {
        const char* name;
        double lat, lon;
        int z;
    };
    const Place places[] = {
        {"Zeeland", 51.45, 3.6, 7},          {"the Western Scheldt's mouth", 51.42, 3.55, 9},
        {"the Volga delta", 45.7, 48.3, 8},  {"Venice", 45.43, 12.33, 10},
        {"the Oslofjord", 59.5, 10.6, 8},    {"Lake Michigan", 44.0, -87.0, 7},
        {"Lake St. Clair", 42.5, -82.7, 9},
    };
    for (const Place& p : places)
        for (int scale100 : {100, 200}) {
            const int n = 1 << p.z;
            const int tx = int(mercator::x(p.lon) * n), ty = int(mercator::y(p.lat) * n);
            for (int dy = 0; dy <= 1; ++dy)
                for (int dx = 0; dx <= 1; ++dx) {
                    const MapTileKey key{p.z, tx + dx, ty + dy, scale100, dy == 1};
                    EXPECT_EQ(strayInk(*fine, key, renderMapTile(fine.get(), key)), 0)
                        << p.name << ", tile " << key.x << "/" << key.y << " at zoom " << p.z << ", scale " << scale100;
                }
        }
}
