#include "UI/Places/MapTiles.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <optional>
#include <type_traits>

#include "Core/Places/CityIndex.h"
#include "Core/Places/Mercator.h"
#include "UI/Places/MapStyle.h"

namespace vintrelle {

namespace {

constexpr uint32_t runLength = 32;
// Points closer than this to the last one kept (device pixels, taxicab)
// add nothing visible.
constexpr double minStep = 0.6;
// A shore is drawn or left out in pieces no longer than this (device
// pixels), each as its middle lies: where a coast and a lake's edge cross,
// the one ends and the other begins within half a piece, which the lines'
// round caps close.
constexpr double pieceLength = 1;

MapOutlines::Shape makeShape(const std::vector<LonLat>& geo, double shift, const std::vector<bool>& seams) {
    MapOutlines::Shape s;
    s.seams = seams;
    s.points.reserve(geo.size());
    for (const LonLat& g : geo) s.points.emplace_back(mercator::x(g.lon + shift), mercator::y(g.lat));
    const uint32_t n = uint32_t(s.points.size());
    if (n == 0) return s;
    double sx0 = s.points[0].x(), sx1 = sx0, sy0 = s.points[0].y(), sy1 = sy0;
    for (uint32_t b = 0; b == 0 || b + 1 < n; b += runLength) {
        const uint32_t e = std::min(b + runLength, n - 1);
        double x0 = s.points[b].x(), x1 = x0, y0 = s.points[b].y(), y1 = y0;
        for (uint32_t i = b; i <= e; ++i) {
            x0 = std::min(x0, s.points[i].x()), x1 = std::max(x1, s.points[i].x());
            y0 = std::min(y0, s.points[i].y()), y1 = std::max(y1, s.points[i].y());
        }
        s.runs.push_back({b, e, QRectF(QPointF(x0, y0), QPointF(x1, y1))});
        sx0 = std::min(sx0, x0), sx1 = std::max(sx1, x1), sy0 = std::min(sy0, y0), sy1 = std::max(sy1, y1);
    }
    s.bounds = QRectF(QPointF(sx0, sy0), QPointF(sx1, sy1));
    return s;
}

// The atlas keeps shapes that cross the antimeridian whole (a step from
// 179° to −179° is two degrees east, not 358° west). Longitudes are made
// continuous; a ring that goes once around the globe (Antarctica) is
// closed over its pole; and what then reaches past ±180° is added again
// one world-width over, so the flat, unwrapped map shows both parts.
void addShapes(std::vector<LonLat> geo, bool ring, std::vector<MapOutlines::Shape>& out,
               std::vector<bool> seams = {}) {
    if (geo.empty()) return;
    for (size_t i = 1; i < geo.size(); ++i) {
        const double d = geo[i].lon - geo[i - 1].lon;
        if (d > 180 || d < -180) {
            const double turn = std::round(d / 360) * 360;
            for (size_t j = i; j < geo.size(); ++j) geo[j].lon -= turn;
        }
    }
    if (ring && std::fabs(geo.back().lon - geo.front().lon) > 180) {
        double meanLat = 0;
        for (const LonLat& g : geo) meanLat += g.lat;
        const double pole = meanLat < 0 ? -90 : 90;
        const LonLat first = geo.front();
        geo.push_back({geo.back().lon, pole});
        geo.push_back({first.lon, pole});
        geo.push_back(first);
        if (!seams.empty()) seams.resize(geo.size() - 1, false);
    }
    double lo = geo[0].lon, hi = lo;
    for (const LonLat& g : geo) lo = std::min(lo, g.lon), hi = std::max(hi, g.lon);
    for (double shift : {-720.0, -360.0, 0.0, 360.0, 720.0})
        if (lo + shift < 180 && hi + shift > -180) out.push_back(makeShape(geo, shift, seams));
}

// Bounds that touch count as intersecting (QRectF::intersects does not for
// a zero-width rectangle, which straight meridian runs have).
bool touches(const QRectF& a, const QRectF& b) {
    return a.left() <= b.right() && b.left() <= a.right() && a.top() <= b.bottom() && b.top() <= a.bottom();
}

// Sutherland–Hodgman against one edge of an axis-aligned rectangle.
template <class Inside, class Cross>
void clipEdge(const std::vector<QPointF>& in, std::vector<QPointF>& out, Inside inside, Cross cross) {
    out.clear();
    if (in.empty()) return;
    QPointF prev = in.back();
    bool prevIn = inside(prev);
    for (const QPointF& p : in) {
        const bool pIn = inside(p);
        if (pIn != prevIn) out.push_back(cross(prev, p));
        if (pIn) out.push_back(p);
        prev = p, prevIn = pIn;
    }
}

void clipPolygon(std::vector<QPointF>& poly, const QRectF& r, std::vector<QPointF>& scratch) {
    auto atX = [](const QPointF& a, const QPointF& b, double x) {
        return QPointF(x, a.y() + (b.y() - a.y()) * (x - a.x()) / (b.x() - a.x()));
    };
    auto atY = [](const QPointF& a, const QPointF& b, double y) {
        return QPointF(a.x() + (b.x() - a.x()) * (y - a.y()) / (b.y() - a.y()), y);
    };
    const double l = r.left(), t = r.top(), rt = r.right(), b = r.bottom();
    clipEdge(poly, scratch, [&](const QPointF& p) { return p.x() >= l; },
             [&](const QPointF& a, const QPointF& c) { return atX(a, c, l); });
    clipEdge(scratch, poly, [&](const QPointF& p) { return p.x() <= rt; },
             [&](const QPointF& a, const QPointF& c) { return atX(a, c, rt); });
    clipEdge(poly, scratch, [&](const QPointF& p) { return p.y() >= t; },
             [&](const QPointF& a, const QPointF& c) { return atY(a, c, t); });
    clipEdge(scratch, poly, [&](const QPointF& p) { return p.y() <= b; },
             [&](const QPointF& a, const QPointF& c) { return atY(a, c, b); });
}

// Liang–Barsky: the part of segment a→b inside r, as parameters t0 ≤ t1.
bool clipSegment(const QPointF& a, const QPointF& b, const QRectF& r, double& t0, double& t1) {
    t0 = 0, t1 = 1;
    const double dx = b.x() - a.x(), dy = b.y() - a.y();
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(), r.bottom() - a.y()};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1) return false;
    }
    return true;
}

// Edges of the world that the atlas closes its polygons along (the
// antimeridian, Antarctica's southern cut): not coast anyone would see.
bool alongWorldEdge(const QPointF& a, const QPointF& b) {
    constexpr double e = 1e-9;
    return (a.x() < e && b.x() < e) || (a.x() > 1 - e && b.x() > 1 - e) || (a.y() > 1 - e && b.y() > 1 - e) ||
           (a.y() < e && b.y() < e);
}

struct TileFrame {
    double scale;    // device pixels per normalised unit
    double dpr;      // device pixels per logical pixel
    QPointF origin;  // the tile's top-left in device pixels of the world
    QRectF clip;     // device pixels of the tile, with a margin
    QRectF bounds;   // the same in normalised units

    QPointF map(const QPointF& p) const { return p * scale - origin; }
};

// Polygons as they are filled (even-odd), asked whether a point lies
// inside: their edges listed by the rows one device pixel high that they
// cross, so a question visits only the edges of its row.
class FilledArea {
public:
    explicit FilledArea(const QRectF& frame)
        : top_(frame.top()), rows_(size_t(std::max(1.0, std::ceil(frame.height())))) {}

    void add(const std::vector<QPointF>& polygon) {
        for (size_t i = 0; i < polygon.size(); ++i) {
            const QPointF& a = polygon[i];
            const QPointF& b = polygon[(i + 1) % polygon.size()];
            if (a.y() != b.y()) edges_.push_back({a, b});  // one that crosses no row's line counts for none
        }
    }
    // After the last polygon, before the first question.
    void index() {
        first_.assign(rows_ + 1, 0);
        for (const Edge& e : edges_)
            for (size_t r = row(e.top()), last = row(e.bottom()); r <= last; ++r) ++first_[r + 1];
        for (size_t r = 0; r < rows_; ++r) first_[r + 1] += first_[r];
        inRow_.resize(first_[rows_]);
        std::vector<uint32_t> next(first_.begin(), first_.end() - 1);
        for (uint32_t i = 0; i < edges_.size(); ++i)
            for (size_t r = row(edges_[i].top()), last = row(edges_[i].bottom()); r <= last; ++r) inRow_[next[r]++] = i;
    }
    bool empty() const { return edges_.empty(); }
    bool contains(const QPointF& p) const {
        bool inside = false;
        const size_t r = row(p.y());
        for (uint32_t k = first_[r]; k < first_[r + 1]; ++k) {
            const auto& [a, b] = edges_[inRow_[k]];
            if ((a.y() > p.y()) == (b.y() > p.y())) continue;
            if (a.x() + (p.y() - a.y()) * (b.x() - a.x()) / (b.y() - a.y()) < p.x()) inside = !inside;
        }
        return inside;
    }

private:
    struct Edge {
        QPointF a, b;
        double top() const { return std::min(a.y(), b.y()); }
        double bottom() const { return std::max(a.y(), b.y()); }
    };
    size_t row(double y) const { return size_t(std::clamp(std::floor(y - top_), 0.0, double(rows_ - 1))); }

    double top_;
    size_t rows_;
    std::vector<Edge> edges_;
    std::vector<uint32_t> first_, inRow_;  // row r's edges: inRow_[first_[r]] up to inRow_[first_[r + 1]]
};

// The land of a tile as it is painted, pixel by pixel (a pixel is land when
// its centre is), over the tile and its margin. In 32 bits a pixel: the
// painter fills those five times as fast as 8.
class PaintedLand {
public:
    PaintedLand(const QPainterPath& land, const QPainterPath& water, const QRectF& frame)
        : origin_(frame.topLeft()),
          mask_(int(std::ceil(frame.width())), int(std::ceil(frame.height())), QImage::Format_RGB32) {
        mask_.fill(Qt::black);
        QPainter p(&mask_);
        p.translate(-origin_);
        p.fillPath(land, Qt::white);
        p.fillPath(water, Qt::black);
    }
    bool at(const QPointF& point) const {
        const QPointF q = point - origin_;
        const int x = std::clamp(int(std::floor(q.x())), 0, mask_.width() - 1);
        const int y = std::clamp(int(std::floor(q.y())), 0, mask_.height() - 1);
        return qBlue(reinterpret_cast<const QRgb*>(mask_.constScanLine(y))[x]) != 0;
    }

private:
    QPointF origin_;
    QImage mask_;
};

void addLand(const MapOutlines::Shape& s, const TileFrame& f, QPainterPath& path, FilledArea* area,
             std::vector<QPointF>& poly, std::vector<QPointF>& scratch) {
    poly.clear();
    auto push = [&](const QPointF& q) {
        if (!poly.empty() && std::fabs(q.x() - poly.back().x()) + std::fabs(q.y() - poly.back().y()) < minStep) return;
        poly.push_back(q);
    };
    for (size_t k = 0; k < s.runs.size(); ++k) {
        const MapOutlines::Run& r = s.runs[k];
        const uint32_t from = k == 0 ? r.begin : r.begin + 1;
        if (touches(r.bounds, f.bounds)) {
            for (uint32_t i = from; i <= r.end; ++i) push(f.map(s.points[i]));
        } else {
            // Wholly beyond one edge of the tile: the clip keeps nothing of
            // the points between the run's ends, so its ends alone do.
            if (from <= r.begin) push(f.map(s.points[r.begin]));
            push(f.map(s.points[r.end]));
        }
    }
    if (poly.size() < 3) return;
    clipPolygon(poly, f.clip, scratch);
    if (poly.size() < 3) return;
    path.addPolygon(QPolygonF(QList<QPointF>(poly.begin(), poly.end())));
    if (area) area->add(poly);
}

// Lakes whose bounds span less than this many logical pixels (width plus
// height) would be specks and are left out of a tile; those smaller than
// a shore's length are filled without one, so the lake lands of Canada or
// Finland read as water, not as a scatter of rings.
constexpr double minLakeExtent = 2.5;
constexpr double minShoreExtent = 10;

bool tooSmall(const MapOutlines::Shape& s, const TileFrame& f, double minExtent) {
    return (s.bounds.width() + s.bounds.height()) * f.scale < minExtent * f.dpr;
}

// Strokes every part of a shape's outline.
struct StrokeAll {};

// Strokes the part of a shape's outline inside the tile where `keep` holds
// for each piece of at most a device pixel (given its middle and the unit
// vector along it): pieces that hold side by side are drawn as one line.
template <class Keep = StrokeAll>
void strokeShape(QPainter& p, const MapOutlines::Shape& s, const TileFrame& f, std::vector<QPointF>& line,
                 const Keep& keep = {}) {
    constexpr bool all = std::is_same_v<Keep, StrokeAll>;
    auto flush = [&] {
        if (line.size() >= 2) p.drawPolyline(line.data(), int(line.size()));
        line.clear();
    };
    for (const MapOutlines::Run& r : s.runs) {
        if (!touches(r.bounds, f.bounds)) {
            flush();
            continue;
        }
        for (uint32_t i = r.begin; i < r.end; ++i) {
            if (alongWorldEdge(s.points[i], s.points[i + 1]) || (!s.seams.empty() && s.seams[i])) {
                flush();
                continue;
            }
            const QPointF a = f.map(s.points[i]), b = f.map(s.points[i + 1]);
            double t0 = 0, t1 = 1;
            if (!clipSegment(a, b, f.clip, t0, t1)) {
                flush();
                continue;
            }
            const QPointF ca = a + (b - a) * t0, d = (b - a) * (t1 - t0);
            int pieces = 1;
            QPointF along;
            if constexpr (!all) {
                const double length = std::hypot(d.x(), d.y());
                pieces = std::max(1, int(std::ceil(length / pieceLength)));
                along = length > 0 ? d / length : QPointF();
            }
            auto kept = [&](int k) {
                if constexpr (all) return true;
                else return keep(ca + d * ((k + 0.5) / pieces), along);
            };
            for (int k = 0; k < pieces;) {
                if (!kept(k)) {
                    flush();
                    ++k;
                    continue;
                }
                const int from = k;
                while (k < pieces && kept(k)) ++k;
                // A line goes on from the previous segment only where both
                // are drawn up to the point they share.
                const bool starts = t0 > 0 || from > 0, ends = t1 < 1 || k < pieces;
                const QPointF pa = ca + d * (double(from) / pieces), pb = ca + d * (double(k) / pieces);
                if (starts || line.empty()) {
                    flush();
                    line.push_back(pa);
                }
                const QPointF& last = line.back();
                if (std::fabs(pb.x() - last.x()) + std::fabs(pb.y() - last.y()) >= minStep || ends) line.push_back(pb);
                if (ends) flush();
            }
        }
    }
    flush();
}

template <class Keep = StrokeAll>
void strokeLines(QPainter& p, const std::vector<MapOutlines::Shape>& shapes, const TileFrame& f,
                 const Keep& keep = {}) {
    std::vector<QPointF> line;
    for (const MapOutlines::Shape& s : shapes)
        if (touches(s.bounds, f.bounds)) strokeShape(p, s, f, line, keep);
}

}  // namespace

int MapTileKey::pixels() const { return int(std::lround(mercator::tileSize * scale100 / 100.0)); }

size_t MapTileKeyHash::operator()(const MapTileKey& k) const noexcept {
    uint64_t h = uint64_t(uint32_t(k.x)) * 0x9E3779B97F4A7C15ULL;
    h ^= (uint64_t(uint32_t(k.y)) + 0x7F4A7C15ULL + (h << 6) + (h >> 2));
    h ^= (uint64_t(k.z) << 48) ^ (uint64_t(uint32_t(k.scale100)) << 8) ^ uint64_t(k.dark);
    return size_t(h);
}

std::shared_ptr<MapOutlines> MapOutlines::fromTopology(const WorldTopology& topo) {
    auto out = std::make_shared<MapOutlines>();
    for (const auto& polygon : topo.land())
        for (const auto& ring : polygon) addShapes(topo.points(ring), true, out->land);
    for (size_t i = 0; i < topo.arcs().size(); ++i) {
        const auto edge = topo.edge(i);
        if (edge == WorldTopology::Edge::none) continue;
        addShapes(topo.arcs()[i].points, false, edge == WorldTopology::Edge::coast ? out->coasts : out->borders);
    }
    return out;
}

void MapOutlines::addLakes(std::vector<GeoPolygon> polygons, double cutTolerance) {
    // A lake cut into pieces is one body of water: its shore runs only where
    // water meets land.
    const std::vector<SharedEdges> seams = markSharedEdges(polygons, cutTolerance);
    size_t r = 0;
    for (const GeoPolygon& polygon : polygons)
        for (const GeoRing& ring : polygon) addShapes(ring, true, lakes, seams[r++]);
    lakeCells.assign(size_t(lakeGrid * lakeGrid), {});
    for (uint32_t i = 0; i < lakes.size(); ++i) {
        const auto [x0, y0, x1, y1] = lakeCellRange(lakes[i].bounds);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) lakeCells[size_t(y * lakeGrid + x)].push_back(i);
    }
}

std::array<int, 4> MapOutlines::lakeCellRange(const QRectF& r) {
    auto cell = [](double v) { return std::clamp(int(std::floor(v * lakeGrid)), 0, lakeGrid - 1); };
    return {cell(r.left()), cell(r.top()), cell(r.right()), cell(r.bottom())};
}

std::vector<uint32_t> MapOutlines::lakesNear(const QRectF& bounds) const {
    std::vector<uint32_t> out;
    if (lakeCells.empty()) return out;
    const auto [x0, y0, x1, y1] = lakeCellRange(bounds);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const auto& cell = lakeCells[size_t(y * lakeGrid + x)];
            out.insert(out.end(), cell.begin(), cell.end());
        }
    // A lake over several cells is listed in each: once is enough, in the file's order.
    if (x0 != x1 || y0 != y1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return out;
}

std::shared_ptr<const MapOutlines> MapOutlines::load(const std::string& atlasPath, const std::string& lakesPath,
                                                     double cutTolerance) {
    auto topo = WorldTopology::load(atlasPath);
    if (!topo) return std::make_shared<MapOutlines>();
    auto out = fromTopology(*topo);
    if (!lakesPath.empty())
        if (auto lakes = loadGeoJsonPolygons(lakesPath)) out->addLakes(std::move(*lakes), cutTolerance);
    return out;
}

std::shared_ptr<const MapOutlines> MapOutlines::load(AtlasDetail detail) {
    return load(atlasFile(detail), lakesFile(detail), lakeCutTolerance(detail));
}

AtlasDetail detailForZoom(int z) {
    return z < 3 ? AtlasDetail::coarse110m : z < 5 ? AtlasDetail::medium50m : AtlasDetail::fine10m;
}

QImage renderMapTile(const MapOutlines* outlines, const MapTileKey& key) {
    const int px = key.pixels();
    const qreal dpr = key.scale100 / 100.0;
    const MapPalette& c = MapPalette::of(key.dark);
    QImage image(px, px, QImage::Format_RGB32);
    image.fill(c.sea);
    if (!outlines || outlines->empty()) {
        image.setDevicePixelRatio(dpr);
        return image;
    }
    const double scale = mercator::tileSize * std::exp2(key.z) * dpr;
    const double margin = 3 * dpr;
    TileFrame f;
    f.scale = scale;
    f.dpr = dpr;
    f.origin = QPointF(double(key.x) * px, double(key.y) * px);
    f.clip = QRectF(-margin, -margin, px + 2 * margin, px + 2 * margin);
    f.bounds = QRectF((f.origin.x() - margin) / scale, (f.origin.y() - margin) / scale, (px + 2 * margin) / scale,
                      (px + 2 * margin) / scale);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Lakes are water cut out of the land, in the sea's colour.
    std::vector<const MapOutlines::Shape*> lakes;
    for (uint32_t i : outlines->lakesNear(f.bounds)) {
        const MapOutlines::Shape& s = outlines->lakes[i];
        if (touches(s.bounds, f.bounds) && !tooSmall(s, f, minLakeExtent)) lakes.push_back(&s);
    }
    // Where land and lakes are both drawn, which a point lies in decides
    // where a shore is (below).
    std::optional<FilledArea> landArea, waterArea;
    if (!lakes.empty()) landArea.emplace(f.clip), waterArea.emplace(f.clip);
    QPainterPath land, water;
    land.setFillRule(Qt::OddEvenFill);
    water.setFillRule(Qt::OddEvenFill);
    std::vector<QPointF> poly, scratch;
    for (const MapOutlines::Shape& s : outlines->land)
        if (touches(s.bounds, f.bounds)) addLand(s, f, land, landArea ? &*landArea : nullptr, poly, scratch);
    p.fillPath(land, c.land);
    if (waterArea) {
        for (const MapOutlines::Shape* s : lakes) addLand(*s, f, water, &*waterArea, poly, scratch);
        p.fillPath(water, c.sea);
        landArea->index();
        waterArea->index();
    }

    // Lines keep their width in logical pixels at every zoom; borders are
    // lighter on the world map, where they crowd.
    QPen border(c.border, (key.z < 3 ? 0.55 : 0.8) * dpr);
    border.setCapStyle(Qt::RoundCap);
    border.setJoinStyle(Qt::BevelJoin);
    p.setPen(border);
    strokeLines(p, outlines->borders, f);
    QPen coast(c.coast, (key.z < 3 ? 0.7 : 1.0) * dpr);
    coast.setCapStyle(Qt::RoundCap);
    coast.setJoinStyle(Qt::BevelJoin);
    p.setPen(coast);
    // A shore is drawn once, where the painted land meets the painted water:
    // the land's coast where no lake's water lies over it, and a lake's edge
    // where it cuts into the land. So a coast under an estuary or an inland
    // sea that both files draw, and a lake's edge out over the sea (the
    // lakes file draws estuaries out into it in blocky steps), are not
    // drawn, and neither is the second of two outlines a pixel apart.
    if (!waterArea || waterArea->empty()) {
        strokeLines(p, outlines->coasts, f);
    } else {
        // An outline that runs out and back along itself encloses nothing
        // there: the painted land lies on both its sides, or the water does.
        // Each side is looked at a little way off, past the pixel the point
        // lies in and the thinning step by which the filled outlines may
        // stray from the stroked ones.
        const PaintedLand painted(land, water, f.clip);
        const auto between = [&](const QPointF& at, const QPointF& along) {
            const QPointF across(-along.y(), along.x());
            for (double off : {0.5, 1.0, 1.5})
                if (painted.at(at + across * off) != painted.at(at - across * off)) return true;
            return false;
        };
        strokeLines(p, outlines->coasts, f, [&](const QPointF& at, const QPointF& along) {
            return !waterArea->contains(at) && between(at, along);
        });
        std::vector<QPointF> line;
        const auto cutsLand = [&](const QPointF& at, const QPointF& along) {
            return landArea->contains(at) && between(at, along);
        };
        for (const MapOutlines::Shape* s : lakes)
            if (!tooSmall(*s, f, minShoreExtent)) strokeShape(p, *s, f, line, cutsLand);
    }
    p.end();
    image.setDevicePixelRatio(dpr);
    return image;
}

// ---- service ----------------------------------------------------------------------

namespace {
QPointer<MapTileService> theService;
}  // namespace

MapTileService& MapTileService::instance() {
    if (!theService) theService = new MapTileService(QCoreApplication::instance());
    return *theService;
}

MapTileService* MapTileService::ifExists() { return theService.data(); }

MapTileService::MapTileService(QObject* parent)
    : QObject(parent), worker_([this](std::stop_token stop) { run(stop); }) {}

MapTileService::~MapTileService() {
    worker_.request_stop();
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();  // a tile takes milliseconds; the 10m atlas a fraction of a second
}

QImage MapTileService::cached(const MapTileKey& key) {
    std::lock_guard lock(mutex_);
    const auto it = index_.find(key);
    if (it == index_.end()) return {};
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
}

void MapTileService::want(const void* client, std::vector<MapTileKey> keys) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(jobs_, [client](const Job& j) { return j.client == client; });
        size_t at = 0;
        for (const MapTileKey& k : keys) {
            if (index_.count(k)) continue;
            jobs_.insert(jobs_.begin() + long(at++), Job{client, k});
        }
    }
    wake_.notify_all();
}

bool MapTileService::isPending(const void* client) const {
    std::lock_guard lock(mutex_);
    if (rendering_ == client) return true;
    return std::any_of(jobs_.begin(), jobs_.end(), [client](const Job& j) { return j.client == client; });
}

void MapTileService::prepareCities() {
    if (CityIndex::ifBuilt()) {
        QMetaObject::invokeMethod(this, &MapTileService::citiesReady, Qt::QueuedConnection);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        citiesWanted_ = true;
    }
    wake_.notify_all();
}

qint64 MapTileService::cacheBytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void MapTileService::insert(const MapTileKey& key, QImage image) {
    if (index_.count(key)) return;
    bytes_ += image.sizeInBytes();
    lru_.emplace_front(key, std::move(image));
    index_[key] = lru_.begin();
    while (bytes_ > cacheLimit && lru_.size() > 1) {
        bytes_ -= lru_.back().second.sizeInBytes();
        index_.erase(lru_.back().first);
        lru_.pop_back();
    }
}

std::shared_ptr<const MapOutlines> MapTileService::outlines(AtlasDetail detail) {
    auto& slot = atlas_[int(detail)];
    if (!slot) slot = MapOutlines::load(detail);
    return slot;
}

void MapTileService::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        Job job{};
        bool cities = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, stop, [this] { return citiesWanted_ || !jobs_.empty(); });
            if (stop.stop_requested()) return;
            if (citiesWanted_) {
                citiesWanted_ = false;
                cities = true;
            } else {
                job = jobs_.front();
                jobs_.pop_front();
                if (index_.count(job.key)) continue;
                rendering_ = job.client;
            }
        }
        if (cities) {
            CityIndex::shared();
            QMetaObject::invokeMethod(this, &MapTileService::citiesReady, Qt::QueuedConnection);
            continue;
        }
        const auto atlas = outlines(detailForZoom(job.key.z));
        QImage tile = renderMapTile(atlas.get(), job.key);
        bool post = false;
        {
            std::lock_guard lock(mutex_);
            insert(job.key, std::move(tile));
            rendering_ = nullptr;
            post = !tilesPosted_;
            tilesPosted_ = true;
        }
        // One notice at a time: the views repaint once for a burst of tiles.
        if (post)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    {
                        std::lock_guard lock(mutex_);
                        tilesPosted_ = false;
                    }
                    emit tilesReady();
                },
                Qt::QueuedConnection);
    }
}

}  // namespace vintrelle
