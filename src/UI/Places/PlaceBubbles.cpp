#include "UI/Places/PlaceBubbles.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

#include "UI/Kit/CardShadow.h"
#include "UI/Kit/Fonts.h"
#include "UI/Places/MapStyle.h"

namespace vintrelle {

namespace {

// Black at 0.35, offset 3 down; the design's blur radius of 6 spreads
// about two deviations.
const ShadowSpec bubbleShadow{0.35, 3, QPointF(0, 3)};

QPainterPath roundedSquare(const QRectF& r, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

}  // namespace

PlaceBubbleLayer::PlaceBubbleLayer(QObject* parent) : QObject(parent) {}

PlaceBubbleLayer::~PlaceBubbleLayer() = default;

void PlaceBubbleLayer::setSource(std::shared_ptr<ThumbnailCache> thumbs, std::optional<LibraryPaths> paths) {
    thumbs_ = std::move(thumbs);
    paths_ = std::move(paths);
    covers_.clear();
    loading_.clear();
    failed_.clear();
    emit changed();
}

void PlaceBubbleLayer::setClusters(std::vector<PlaceCluster> clusters) {
    clusters_ = std::move(clusters);
    emit changed();
}

void PlaceBubbleLayer::setOpening(std::optional<std::string> id) {
    if (opening_ == id) return;
    opening_ = std::move(id);
    emit changed();
}

QRectF PlaceBubbleLayer::bubbleRect(const PlaceCluster& c, const MapCamera& camera) {
    const ViewPoint at = camera.toView(c.lat, c.lon);
    return QRectF(at.x - side / 2, at.y - side / 2, side, side);
}

template <class F>
void PlaceBubbleLayer::forEachRect(const PlaceCluster& c, const MapCamera& camera, double margin, F&& f) {
    const QRectF r = bubbleRect(c, camera);
    camera.forEachCopy(r.center().x(), margin + side / 2, [&](double x) { f(r.translated(x - r.center().x(), 0)); });
}

const PlaceCluster* PlaceBubbleLayer::clusterAt(QPointF at, const MapCamera& camera) const {
    // Later clusters are drawn on top, so they are hit first.
    for (auto it = clusters_.rbegin(); it != clusters_.rend(); ++it) {
        bool hit = false;
        forEachRect(*it, camera, 0, [&](const QRectF& r) { hit = hit || r.contains(at); });
        if (hit) return &*it;
    }
    return nullptr;
}

std::vector<QRectF> PlaceBubbleLayer::keepClear(const MapCamera& camera) const {
    std::vector<QRectF> out;
    const QRectF view(0, 0, camera.width(), camera.height());
    for (const PlaceCluster& c : clusters_)
        forEachRect(c, camera, 0, [&](const QRectF& r) {
            // The badge stands 9 pt out of the top-right corner; the shadow falls below.
            const QRectF around = r.adjusted(-3, c.count > 1 ? -12 : -3, c.count > 1 ? 12 : 3, 6);
            if (around.intersects(view)) out.push_back(around);
        });
    return out;
}

void PlaceBubbleLayer::click(QPointF at, const MapCamera& camera) {
    if (const PlaceCluster* c = clusterAt(at, camera)) emit clicked(*c);
}

QString PlaceBubbleLayer::coverKey(int64_t id, qreal dpr) const {
    return QString::number(id) + QLatin1Char('@') + QString::number(int(std::lround(dpr * 100)));
}

QImage PlaceBubbleLayer::renderCover(const QImage& thumbnail, qreal dpr) {
    const int px = int(std::lround(side * dpr));
    QImage out(px, px, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.scale(dpr, dpr);
    const QRectF r(0, 0, side, side);
    p.setClipPath(roundedSquare(r, radius));
    // Fill the square with the middle of the photo.
    const qreal s = std::min(thumbnail.width(), thumbnail.height());
    const QRectF source((thumbnail.width() - s) / 2, (thumbnail.height() - s) / 2, s, s);
    const QImage scaled = thumbnail.copy(source.toRect()).scaled(px, px, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    p.drawImage(r, scaled);
    p.setClipping(false);
    p.setPen(QPen(Qt::white, borderWidth));
    p.setBrush(Qt::NoBrush);
    const qreal inset = borderWidth / 2;
    p.drawPath(roundedSquare(r.adjusted(inset, inset, -inset, -inset), radius - inset));
    p.end();
    out.setDevicePixelRatio(dpr);
    return out;
}

void PlaceBubbleLayer::requestCover(int64_t id, qreal dpr) {
    const QString key = coverKey(id, dpr);
    if (!thumbs_ || !paths_ || loading_.count(key) || failed_.count(key)) return;
    loading_.insert(key);
    QPointer<PlaceBubbleLayer> self(this);
    // A load still under way when the layer goes finds no layer and stops.
    thumbs_->load(paths_->thumbURL(id), [self, key, dpr](const QImage& thumb) {
        if (!self) return;
        if (thumb.isNull()) {
            self->loading_.erase(key);
            self->failed_.insert(key);
            emit self->changed();
            return;
        }
        QThreadPool::globalInstance()->start([self, key, dpr, thumb] {
            QImage cover = renderCover(thumb, dpr);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, key, cover = std::move(cover)] {
                    if (!self || !self->loading_.count(key)) return;
                    self->loading_.erase(key);
                    self->covers_.insert(key, new QPixmap(QPixmap::fromImage(cover)));
                    emit self->changed();
                },
                Qt::QueuedConnection);
        });
    });
}

void PlaceBubbleLayer::paintBadge(QPainter& p, QPointF topRight, int64_t count, const QColor& fill) {
    // A few dozen distinct badges at most on screen: each drawn once.
    static QCache<QString, QPixmap> cache(400);
    const qreal dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    const QString text = QString::fromStdString(clusterBadge(count));
    const QString key = text + QLatin1Char('|') + QString::number(fill.rgba()) + QLatin1Char('|') +
                        QString::number(int(std::lround(dpr * 100)));
    QPixmap* badge = cache.object(key);
    if (!badge) {
        const QFont font = mapstyle::font(10.5, QFont::Bold);
        const QFontMetricsF fm(font);
        const qreal h = std::ceil(fm.ascent() + fm.descent()) + 2 * 2.5;
        const qreal w = std::max(h, TabularDigits::width(font, text) + 2 * 6);
        badge = new QPixmap(QSizeF(std::ceil(w) * dpr, h * dpr).toSize());
        badge->setDevicePixelRatio(dpr);
        badge->fill(Qt::transparent);
        QPainter bp(badge);
        bp.setRenderHint(QPainter::Antialiasing);
        const QRectF r(0, 0, w, h);
        bp.setPen(Qt::NoPen);
        bp.setBrush(fill);
        bp.drawRoundedRect(r, h / 2, h / 2);
        bp.setPen(QPen(Qt::white, 1.5));
        bp.setBrush(Qt::NoBrush);
        bp.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), h / 2 - 0.75, h / 2 - 0.75);
        bp.setFont(font);
        TabularDigits::draw(bp, r, Qt::AlignCenter, text);
        bp.end();
        cache.insert(key, badge);
    }
    p.drawPixmap(topRight - QPointF(badge->deviceIndependentSize().width(), 0), *badge);
}

void PlaceBubbleLayer::paintBubble(QPainter& p, const PlaceCluster& c, const QRectF& r, qreal dpr) {
    const MapPalette& colors = MapPalette::of(mapstyle::isDark());
    CardShadow::paint(p, r, radius, bubbleShadow);
    const QPixmap* cover = c.coverID >= 0 ? covers_.object(coverKey(c.coverID, dpr)) : nullptr;
    if (cover) {
        p.drawPixmap(r.topLeft(), *cover);
    } else {
        if (c.coverID >= 0) requestCover(c.coverID, dpr);
        p.setPen(Qt::NoPen);
        p.setBrush(colors.placeholder);
        p.drawPath(roundedSquare(r, radius));
        p.setPen(QPen(Qt::white, borderWidth));
        p.setBrush(Qt::NoBrush);
        const qreal inset = borderWidth / 2;
        p.drawPath(roundedSquare(r.adjusted(inset, inset, -inset, -inset), radius - inset));
    }
    if (c.count > 1) paintBadge(p, r.topRight() + QPointF(9, -9), c.count, colors.accent);
}

void PlaceBubbleLayer::paint(QPainter& p, const MapCamera& camera) {
    const qreal dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
    const QRectF view = QRectF(0, 0, camera.width(), camera.height()).adjusted(-side, -side, side, side);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    for (const PlaceCluster& c : clusters_)
        forEachRect(c, camera, side, [&](const QRectF& r) {
            if (view.intersects(r)) paintCopy(p, c, r, dpr);
        });
    p.restore();
}

void PlaceBubbleLayer::paintCopy(QPainter& p, const PlaceCluster& c, const QRectF& r, qreal dpr) {
    if (!opening_ || *opening_ != c.id) {
        paintBubble(p, c, r, dpr);
        return;
    }
    // Dimmed as one picture, shadow and badge included: painted with
    // opacity part by part, the photo would show the shadow through it.
    const qreal m = CardShadow::margin(bubbleShadow) + 12;
    const QRectF area = r.adjusted(-m, -m, m, m);
    QPixmap layer((area.size() * dpr).toSize());
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    {
        QPainter lp(&layer);
        lp.setRenderHint(QPainter::Antialiasing);
        lp.translate(-area.topLeft());
        paintBubble(lp, c, r, dpr);
    }
    p.setOpacity(dimmedOpacity);
    p.drawPixmap(area.topLeft(), layer);
    p.setOpacity(1.0);
}

}  // namespace vintrelle
