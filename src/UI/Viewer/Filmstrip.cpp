#include "UI/Viewer/Filmstrip.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <set>

#include "UI/Kit/Fonts.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

Filmstrip::Filmstrip(QWidget* parent) : QWidget(parent) {
    setFixedHeight(stripHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

Filmstrip::~Filmstrip() {
    for (auto& [path, op] : pending_) op.cancel();
}

void Filmstrip::setLibrary(const LibraryPaths& paths, std::shared_ptr<ThumbnailCache> thumbs) {
    if (paths.root == paths_.root && thumbs == thumbs_) return;
    for (auto& [path, op] : pending_) op.cancel();
    pending_.clear();
    scaled_.clear();
    paths_ = paths;
    thumbs_ = std::move(thumbs);
    requestThumbnails();
    update();
}

void Filmstrip::setState(std::shared_ptr<const AssetList> assets, int64_t index) {
    assets_ = std::move(assets);
    index_ = index;
    requestThumbnails();
    update();
}

int Filmstrip::neighboursFor(qreal width) {
    const int n = int(width / 50);
    return n > 3 ? n / 2 : 2;
}

std::vector<QRectF> Filmstrip::cells(qreal width, int k) {
    const qreal row = 2 * k * cellSide + currentWidth + 2 * k * spacing;
    qreal x = (width - row) / 2;
    const qreal y = (stripHeight - cellSide) / 2;
    std::vector<QRectF> out;
    out.reserve(size_t(2 * k + 1));
    for (int o = -k; o <= k; ++o) {
        const qreal w = o == 0 ? currentWidth : cellSide;
        out.emplace_back(x, y, w, cellSide);
        x += w + spacing;
    }
    return out;
}

QString Filmstrip::counterText(int64_t index, size_t count, const QLocale& locale) {
    return tr("%1 of %2").arg(locale.toString(qlonglong(index + 1)), locale.toString(qulonglong(count)));
}

const Asset* Filmstrip::assetAt(int offset) const {
    if (!assets_) return nullptr;
    const int64_t i = index_ + offset;
    if (i < 0 || size_t(i) >= assets_->size()) return nullptr;
    return &(*assets_)[size_t(i)];
}

std::optional<std::string> Filmstrip::thumbOf(const Asset& asset) const {
    if (asset.thumbState != 1 || paths_.dataDir.empty()) return std::nullopt;
    return paths_.thumbURL(asset.id);
}

std::optional<int> Filmstrip::offsetAt(QPointF point) const {
    const std::vector<QRectF> rects = cells(width(), k_);
    for (int o = -k_; o <= k_; ++o) {
        if (rects[size_t(o + k_)].contains(point) && assetAt(o)) return o;
    }
    return std::nullopt;
}

void Filmstrip::requestThumbnails() {
    if (!thumbs_) return;
    std::set<std::string> wanted;
    for (int o = -k_; o <= k_; ++o) {
        const Asset* a = assetAt(o);
        if (!a) continue;
        auto path = thumbOf(*a);
        if (!path || thumbs_->cached(*path)) continue;
        wanted.insert(*path);
        if (pending_.count(*path)) continue;
        auto op = thumbs_->load(*path, [this, path = *path](const QImage&) {
            pending_.erase(path);
            update();
        });
        if (op) pending_.emplace(*path, *op);
    }
    // Cells that scrolled out of the strip no longer wait for their pictures.
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (wanted.count(it->first)) {
            ++it;
        } else {
            it->second.cancel();
            it = pending_.erase(it);
        }
    }
}

// The thumbnail scaled once to cover the cell at device resolution, cropped
// to it; kept for the next paint.
QPixmap Filmstrip::cellPixmap(const std::string& path, QSizeF size) {
    const qreal dpr = devicePixelRatioF();
    const QSize device = (size * dpr).toSize();
    const QString key = QString::fromStdString(path) + QLatin1Char('@') + QString::number(device.width()) +
                        QLatin1Char('x') + QString::number(device.height());
    if (QPixmap* hit = scaled_.object(key)) return *hit;
    std::optional<QImage> image = thumbs_ ? thumbs_->cached(path) : std::nullopt;
    if (!image || image->isNull()) return {};
    const QSize cover = image->size().scaled(device, Qt::KeepAspectRatioByExpanding);
    const QImage scaled = image->scaled(cover, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPixmap out = QPixmap::fromImage(scaled.copy(QRect(QPoint((cover.width() - device.width()) / 2,
                                                              (cover.height() - device.height()) / 2),
                                                       device)));
    out.setDevicePixelRatio(dpr);
    scaled_.insert(key, new QPixmap(out));
    return out;
}

void Filmstrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(rect());
    const bool dark = Theme::isDark(this);
    const std::vector<QRectF> rects = cells(width(), k_);
    for (int o = -k_; o <= k_; ++o) {
        const Asset* a = assetAt(o);
        if (!a) continue;  // a clear square keeps the current asset centred
        const QRectF r = rects[size_t(o + k_)];
        QPainterPath shape;
        shape.addRoundedRect(r, 5, 5);
        p.setOpacity(o == 0 ? 1.0 : 0.5);
        p.fillPath(shape, Theme::color(ThemeColor::placeholder, dark));
        if (auto path = thumbOf(*a)) {
            const QPixmap pix = cellPixmap(*path, r.size());
            if (!pix.isNull()) {
                p.save();
                p.setClipPath(shape, Qt::IntersectClip);
                p.drawPixmap(r.topLeft(), pix);
                p.restore();
            }
        }
        if (o == 0) {
            const qreal ring = 2.5;
            QPainterPath inner;
            inner.addRoundedRect(r.adjusted(ring, ring, -ring, -ring), 5 - ring, 5 - ring);
            p.fillPath(shape.subtracted(inner), Theme::color(ThemeColor::accent, dark));
        }
    }
    p.setOpacity(1.0);
    if (!assets_ || assets_->empty()) return;

    const QString text = counterText(index_, assets_->size());
    QFont font = Fonts::font(10.5, QFont::Medium);
    p.setFont(font);
    const qreal textWidth = TabularDigits::width(font, text);
    const qreal textHeight = QFontMetricsF(font).height();
    const QSizeF pill(textWidth + 14, textHeight + 6);
    const QRectF box(QPointF(width() - 12 - pill.width(), height() - 24 - pill.height()), pill);
    QPainterPath capsule;
    capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
    p.fillPath(capsule, QColor(0, 0, 0, 140));
    p.setPen(QColor(255, 255, 255, 128));
    TabularDigits::draw(p, box.adjusted(7, 3, -7, -3), Qt::AlignCenter, text);
}

void Filmstrip::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    // The counter lets clicks through to the cell beneath it.
    if (auto o = offsetAt(e->position())) emit stepRequested(*o);
}

void Filmstrip::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    const int k = neighboursFor(width());
    if (k == k_) return;
    k_ = k;
    requestThumbnails();
}

}  // namespace vintrelle
