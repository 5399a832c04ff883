#include "UI/Places/MapCanvas.h"

#include <QCache>
#include <QFontMetricsF>
#include <QLocale>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "Core/Places/CityIndex.h"
#include "UI/Places/MapTiles.h"

namespace vintrelle::mapcanvas {

namespace {

// How many levels up a missing tile looks for something to stand in.
constexpr int maxAncestorLevels = 8;

// Device-pixel edge of a logical coordinate, so neighbouring tiles meet
// without a seam whatever the fractional zoom.
qreal snap(qreal v, qreal dpr) { return std::round(v * dpr) / dpr; }

// The largest of 1, 2 and 5 times a power of ten not above v.
double roundDown125(double v) {
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    const double m = v / p;
    return (m >= 5 ? 5 : m >= 2 ? 2 : 1) * p;
}

// Text with a soft halo, rendered once per text, size, colours and pixel
// ratio; its top-left corner is the halo's.
QPixmap haloText(const QString& text, qreal px, QFont::Weight weight, const QColor& ink, const QColor& halo,
                 qreal haloWidth, qreal dpr) {
    static QCache<QString, QPixmap> cache(4000);
    const QString key = text + QLatin1Char('|') + QString::number(px) + QLatin1Char('|') + QString::number(weight) +
                        QLatin1Char('|') + QString::number(ink.rgba()) + QLatin1Char('|') +
                        QString::number(halo.rgba()) + QLatin1Char('|') + QString::number(int(dpr * 100));
    if (QPixmap* hit = cache.object(key)) return *hit;
    const QFont font = mapstyle::font(px, weight);
    const QFontMetricsF fm(font);
    const qreal pad = haloWidth / 2;
    const QSizeF size(std::ceil(fm.horizontalAdvance(text) + 2 * pad), std::ceil(fm.height() + 2 * pad));
    QPixmap pm((size * dpr).toSize());
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addText(QPointF(pad, pad + fm.ascent()), font, text);
    p.strokePath(path, QPen(halo, haloWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.fillPath(path, ink);
    p.end();
    cache.insert(key, new QPixmap(pm));
    return pm;
}

}  // namespace

int tileZoom(double zoom) { return std::clamp(int(std::lround(zoom)), 0, int(MapCamera::maxZoom)); }

bool paintTiles(QPainter& p, const MapCamera& cam, qreal dpr, bool dark, const void* client) {
    const MapPalette& colors = MapPalette::of(dark);
    const QRectF view(0, 0, cam.width(), cam.height());
    p.fillRect(view, colors.sea);

    const int tz = tileZoom(cam.zoom());
    const int n = 1 << tz;
    const double tileWorld = 1.0 / n;  // a tile's side, normalised
    auto left = [&](int tx) { return snap(cam.toViewNormalized(tx * tileWorld, 0).x, dpr); };
    auto top = [&](int ty) { return snap(cam.toViewNormalized(0, ty * tileWorld).y, dpr); };
    const double halfW = cam.width() / 2 / cam.worldSize(), halfH = cam.height() / 2 / cam.worldSize();
    // Columns run on past the world's edges, where the world repeats; rows stop at the poles.
    const int x0 = int(std::floor((cam.centerX() - halfW) * n)), x1 = int(std::floor((cam.centerX() + halfW) * n));
    auto row = [&](double normalised) { return std::clamp(int(std::floor(normalised * n)), 0, n - 1); };
    const int y0 = row(cam.centerY() - halfH), y1 = row(cam.centerY() + halfH);

    MapTileService& service = MapTileService::instance();
    const int scale100 = int(std::lround(dpr * 100));
    std::vector<std::pair<double, MapTileKey>> missing;  // with their distance from the middle of the view
    const QPointF centre((x0 + x1) / 2.0, (y0 + y1) / 2.0);
    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int ty = y0; ty <= y1; ++ty) {
        for (int tx = x0; tx <= x1; ++tx) {
            const QRectF target(QPointF(left(tx), top(ty)), QPointF(left(tx + 1), top(ty + 1)));
            if (!target.intersects(view)) continue;
            const MapTileKey key{tz, ((tx % n) + n) % n, ty, scale100, dark};
            QImage tile = service.cached(key);
            if (!tile.isNull()) {
                p.drawImage(target, tile);
                continue;
            }
            missing.emplace_back(std::hypot(tx - centre.x(), ty - centre.y()), key);
            MapTileKey up = key;
            for (int level = 1; level <= maxAncestorLevels && up.z > 0; ++level) {
                up = up.parent();
                const QImage parent = service.cached(up);
                if (parent.isNull()) continue;
                const int part = 1 << level;
                const double side = double(parent.width()) / part;
                const QRectF source((key.x % part) * side, (key.y % part) * side, side, side);
                p.drawImage(target, parent, source);
                break;
            }
        }
    }
    p.restore();
    // Those nearest the middle of the view first; a tile the view shows
    // twice (both edges of the world at its smallest) is asked for once.
    std::stable_sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MapTileKey> wanted;
    for (const auto& [distance, key] : missing)
        if (std::find(wanted.begin(), wanted.end(), key) == wanted.end()) wanted.push_back(key);
    const bool complete = wanted.empty();
    service.want(client, std::move(wanted));
    return complete;
}

void paintGraticule(QPainter& p, const MapCamera& cam, const MapPalette& colors) {
    // About three to six lines across the view, at round steps of degrees.
    const double degreesPerPixel = 360.0 / cam.worldSize();
    static const double steps[] = {30, 15, 10, 5, 2, 1, 0.5, 0.25, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001};
    double step = steps[0];
    for (double s : steps)
        if (s / degreesPerPixel >= 150) step = s;
    // West and east unwrapped: meridians past 180° are those of the world's next copy.
    double north = 0, west = 0, south = 0, east = 0;
    cam.fromView({0, 0}, north, west);
    cam.fromView({cam.width(), cam.height()}, south, east);
    // Hairlines of one device pixel, as rectangles: the cheapest thing a
    // raster painter fills.
    const qreal dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    const qreal hair = 1 / dpr;
    const double top = std::max(0.0, cam.toViewNormalized(0, 0).y);
    const double bottom = std::min(cam.height(), cam.toViewNormalized(0, 1).y);
    for (double lon = std::ceil(west / step) * step; lon <= east; lon += step)
        p.fillRect(QRectF(snap(cam.toView(0, lon).x, dpr), top, hair, bottom - top), colors.graticule);
    for (double lat = std::ceil(std::max(south, -80.0) / step) * step; lat <= std::min(north, 80.0); lat += step)
        p.fillRect(QRectF(0, snap(cam.toView(lat, 0).y, dpr), cam.width(), hair), colors.graticule);
}

int labelBudget(double width, double height, int maxLabels) {
    return std::clamp(int(width * height / areaPerLabel), 1, std::max(maxLabels, 1));
}

std::vector<PlacedLabel> paintCityLabels(QPainter& p, const MapCamera& cam, qreal dpr, bool dark,
                                         const std::vector<QRectF>& keepClear, int maxLabels) {
    const auto cities = CityIndex::ifBuilt();
    if (!cities) {
        MapTileService::instance().prepareCities();
        return {};
    }
    const MapPalette& colors = MapPalette::of(dark);
    const double margin = 8;
    double north = 0, west = 0, south = 0, east = 0;
    cam.fromView({-margin, -margin}, north, west);
    cam.fromView({cam.width() + margin, cam.height() + margin}, south, east);

    // The most populous places in view, whatever their size: a view of a
    // thinly settled land names its towns. West or east the view may reach
    // into the world's next copy: each copy is asked for its part, and the
    // parts are merged by rank.
    struct Candidate {
        const City* city;
        double shift;  // degrees added to the city's longitude
    };
    std::vector<Candidate> found;
    constexpr int candidatesPerCopy = 1500;
    for (double k = std::floor((west + 180) / 360); k <= std::floor((east + 180) / 360); ++k) {
        const double shift = 360 * k;
        int taken = 0;
        cities->visit(south, north, std::max(west - shift, -180.0), std::min(east - shift, 180.0), 0,
                      [&](const City& city) {
                          found.push_back({&city, shift});
                          return ++taken < candidatesPerCopy;
                      });
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Candidate& a, const Candidate& b) { return a.city->population > b.city->population; });

    const QRectF view(0, 0, cam.width(), cam.height());
    const int budget = labelBudget(cam.width(), cam.height(), maxLabels);
    auto clear = [&](const QRectF& r) {
        return std::none_of(keepClear.begin(), keepClear.end(), [&](const QRectF& o) { return o.intersects(r); });
    };
    std::vector<PlacedLabel> placed;
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    for (const Candidate& candidate : found) {
        if (int(placed.size()) >= budget) break;
        const City& city = *candidate.city;
        const ViewPoint at = cam.toView(city.lat, city.lon + candidate.shift);
        const qreal dot = 2.3;
        const QRectF dotRect(at.x - dot, at.y - dot, 2 * dot, 2 * dot);
        if (!clear(dotRect)) continue;
        const bool major = city.population >= 1000000;
        const QString name = QString::fromStdString(city.name);
        const QPixmap label = haloText(name, major ? 12 : 11, major ? QFont::DemiBold : QFont::Medium, colors.label,
                                       colors.labelHalo, 5, dpr);
        const QSizeF size = label.deviceIndependentSize();
        // Right of the dot, else left of it; never over another label, and
        // never under the scale, the credit or a photo bubble: a name that
        // would be half hidden is left out.
        for (const QRectF& r : {QRectF(QPointF(at.x + dot + 1, at.y - size.height() / 2), size),
                                QRectF(QPointF(at.x - dot - 1 - size.width(), at.y - size.height() / 2), size)}) {
            const QRectF both = r.united(dotRect);
            if (!view.contains(both) || !clear(both)) continue;
            const QRectF padded = both.adjusted(-3, -1, 3, 1);
            if (std::any_of(placed.begin(), placed.end(), [&](const PlacedLabel& o) { return o.box.intersects(padded); }))
                continue;
            placed.push_back({name, both});
            p.setPen(QPen(colors.labelHalo, 1.2));
            p.setBrush(colors.cityDot);
            p.drawEllipse(dotRect);
            p.drawPixmap(r.topLeft(), label);
            break;
        }
    }
    p.restore();
    return placed;
}

QString scaleText(double metres, bool imperial) {
    const QLocale locale;
    if (imperial) {
        const double feet = metres / 0.3048;
        if (feet >= 5280 / 2.0) return locale.toString(feet / 5280, 'g', 6) + QStringLiteral(" mi");
        return locale.toString(feet, 'g', 6) + QStringLiteral(" ft");
    }
    if (metres >= 1000) return locale.toString(metres / 1000, 'g', 6) + QStringLiteral(" km");
    return locale.toString(metres, 'g', 6) + QStringLiteral(" m");
}

namespace {

struct ScaleBar {
    QPixmap label;
    QPointF a, b, labelAt;  // the bar's ends, the label's top-left
    QRectF bounds;
};

std::optional<ScaleBar> layoutScaleBar(const MapCamera& cam, const MapPalette& colors, QPointF bottomLeft,
                                       qreal maxWidth, qreal dpr) {
    const double mpp = cam.metresPerPixel();
    if (!(mpp > 0)) return std::nullopt;
    const bool imperial = QLocale().measurementSystem() == QLocale::ImperialUSSystem;
    const double maxMetres = mpp * maxWidth;
    double metres = 0;
    if (imperial) {
        const double maxFeet = maxMetres / 0.3048;
        metres = (maxFeet >= 5280 / 2.0 ? roundDown125(maxFeet / 5280) * 5280 : roundDown125(maxFeet)) * 0.3048;
        if (maxFeet >= 5280 / 2.0 && roundDown125(maxFeet / 5280) < 1) metres = roundDown125(maxFeet) * 0.3048;
    } else {
        metres = roundDown125(maxMetres);
    }
    ScaleBar bar;
    bar.label = haloText(scaleText(metres, imperial), 10, QFont::Medium, colors.scaleInk, colors.scaleHalo, 3, dpr);
    bar.a = bottomLeft;
    bar.b = bottomLeft + QPointF(metres / mpp, 0);
    bar.labelAt = bar.a + QPointF(-1.5, -5 - bar.label.deviceIndependentSize().height());
    // The bar's halo reaches 2 px around it.
    bar.bounds = QRectF(bar.labelAt, bar.label.deviceIndependentSize()).united(QRectF(bar.a, bar.b).adjusted(-2, -6, 2, 2));
    return bar;
}

QPixmap attribution(const MapPalette& colors, qreal px, qreal dpr) {
    return haloText(QString::fromUtf8(attributionText), px, QFont::Normal, colors.attribution, colors.scaleHalo, 2.5, dpr);
}

QRectF attributionAt(const QRectF& view, const QPixmap& text) {
    const QSizeF size = text.deviceIndependentSize();
    return {QPointF(view.right() - 5 - size.width(), view.bottom() - 3 - size.height()), size};
}

qreal ratioOf(const QPainter& p) { return p.device() ? p.device()->devicePixelRatioF() : 1.0; }

}  // namespace

QRectF scaleBarRect(const MapCamera& cam, const MapPalette& colors, QPointF bottomLeft, qreal dpr, qreal maxWidth) {
    const auto bar = layoutScaleBar(cam, colors, bottomLeft, maxWidth, dpr);
    return bar ? bar->bounds : QRectF();
}

QRectF paintScaleBar(QPainter& p, const MapCamera& cam, const MapPalette& colors, QPointF bottomLeft, qreal maxWidth) {
    const auto bar = layoutScaleBar(cam, colors, bottomLeft, maxWidth, ratioOf(p));
    if (!bar) return {};
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.moveTo(bar->a + QPointF(0, -4));
    path.lineTo(bar->a);
    path.lineTo(bar->b);
    path.lineTo(bar->b + QPointF(0, -4));
    p.strokePath(path, QPen(colors.scaleHalo, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.strokePath(path, QPen(colors.scaleInk, 1.5, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.drawPixmap(bar->labelAt, bar->label);
    p.restore();
    return bar->bounds;
}

QRectF attributionRect(const QRectF& view, const MapPalette& colors, qreal dpr, qreal px) {
    return attributionAt(view, attribution(colors, px, dpr));
}

QRectF paintAttribution(QPainter& p, const QRectF& view, const MapPalette& colors, qreal px) {
    const QPixmap text = attribution(colors, px, ratioOf(p));
    const QRectF at = attributionAt(view, text);
    p.drawPixmap(at.topLeft(), text);
    return at;
}

}  // namespace vintrelle::mapcanvas
