#include "UI/Grid/GridCells.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "Core/Base/WallClock.h"
#include "UI/Kit/Icons.h"
#include "UI/Kit/Theme.h"

namespace vintrelle {

GridPalette GridPalette::current() {
    return {Theme::canvas(), Theme::placeholder(), Theme::ink(), Theme::ink2(), Theme::accent()};
}

CellLook cellLook(const QRectF& bounds, bool selected, const Asset& asset) {
    CellLook c;
    c.bounds = bounds;
    c.selected = selected;
    const double in = selected ? CellLook::selectionInset : 0;
    const QRectF r = bounds.adjusted(in, in, -in, -in);
    c.image = r;
    const double w = bounds.width();
    c.duration = w >= CellLook::badgeMinWidth && asset.kind == MediaKind::video;
    c.heart = asset.favorite;
    c.live = w >= CellLook::badgeMinWidth && asset.liveVideo.has_value();
    c.scrim = c.heart || c.duration;
    // Badges hang from the picture's edges, so they follow it inwards when selected.
    const double scrimHeight = std::min(r.height() * 0.5, 34.0);
    c.scrimRect = QRectF(r.left(), r.bottom() - scrimHeight, r.width(), scrimHeight);
    c.heartRect = QRectF(r.left() + 6, r.bottom() - 6 - 12, 13, 12);
    c.liveRect = QRectF(r.left() + 6, r.top() + 6, 14, 14);
    if (c.duration) c.durationText = QString::fromStdString(Format::duration(asset.duration));
    c.durationRect = QRectF(r.right() - 70, r.bottom() - 5 - 14, 64, 14);
    // The triangle sits just left of the right-aligned text, about 6.6 per character.
    const double n = c.duration ? double(c.durationText.size()) : 0;
    c.playRect = QRectF(r.right() - 6 - 6.6 * n - 13, r.bottom() - 7.5 - 10, 9, 10);
    return c;
}

QImage roundedThumbnail(const QImage& source, int pixelSide, double radiusPixels) {
    if (source.isNull() || pixelSide < 1) return {};
    const int s = std::min(source.width(), source.height());
    const QImage square = source.copy((source.width() - s) / 2, (source.height() - s) / 2, s, s)
                              .scaled(pixelSide, pixelSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage out(pixelSide, pixelSide, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(square);
    p.drawRoundedRect(QRectF(0, 0, pixelSide, pixelSide), radiusPixels, radiusPixels);
    return out;
}

namespace {

// Exact: kind, width and height in hundredths of a pixel, ratio in hundredths.
// Colours are not part of it: a new palette empties the cache.
uint64_t artKey(int kind, QSizeF size, qreal dpr) {
    const auto w = uint64_t(std::clamp(std::lround(size.width() * 100), 0L, (1L << 20) - 1));
    const auto h = uint64_t(std::clamp(std::lround(size.height() * 100), 0L, (1L << 20) - 1));
    const auto d = uint64_t(std::clamp(std::lround(dpr * 100), 0L, (1L << 12) - 1));
    return uint64_t(kind) << 52 | w << 32 | h << 12 | d;
}

// The badge symbols fill their frames the way an image fits a frame: the
// symbol's square is as large as the shorter side.
void drawGlyph(QPainter& p, const QRectF& r, const QString& symbol, const QColor& colour) {
    const double side = std::min(r.width(), r.height());
    Icons::paint(p, r, symbol, side / Icons::sideFor(1), colour, QFont::DemiBold);
}

// Two passes of a box blur over an alpha mask, close enough to a small
// Gaussian for a badge's shadow.
void blurAlpha(QImage& mask, int radius) {
    if (radius < 1) return;
    const int w = mask.width(), h = mask.height();
    std::vector<int> line(size_t(std::max(w, h)));
    for (int pass = 0; pass < 2; ++pass) {
        for (int y = 0; y < h; ++y) {
            uchar* row = mask.scanLine(y);
            for (int x = 0; x < w; ++x) line[size_t(x)] = row[x];
            for (int x = 0; x < w; ++x) {
                int sum = 0;
                for (int k = -radius; k <= radius; ++k) sum += line[size_t(std::clamp(x + k, 0, w - 1))];
                row[x] = uchar(sum / (2 * radius + 1));
            }
        }
        for (int x = 0; x < w; ++x) {
            for (int y = 0; y < h; ++y) line[size_t(y)] = mask.scanLine(y)[x];
            for (int y = 0; y < h; ++y) {
                int sum = 0;
                for (int k = -radius; k <= radius; ++k) sum += line[size_t(std::clamp(y + k, 0, h - 1))];
                mask.scanLine(y)[x] = uchar(sum / (2 * radius + 1));
            }
        }
    }
}

constexpr double kShadowPad = 3;

}  // namespace

void GridPainter::setPalette(const GridPalette& palette) {
    if (palette == palette_) return;
    palette_ = palette;
    art_.clear();
}

QPixmap GridPainter::art(Art kind, QSizeF size, qreal dpr) {
    const uint64_t packed = artKey(int(kind), size, dpr);
    if (auto it = art_.find(packed); it != art_.end()) return it->second;
    // Sizes change while the thumbnail slider moves; old ones are of no more use.
    if (art_.size() > 96) art_.clear();
    return art_.emplace(packed, drawArt(kind, size, dpr)).first->second;
}

QPixmap GridPainter::drawArt(Art kind, QSizeF size, qreal dpr) const {
    const double pad = kind == Art::live ? kShadowPad : 0;
    const QSizeF full(size.width() + 2 * pad, size.height() + 2 * pad);
    QImage img(std::max(1, int(std::ceil(full.width() * dpr))), std::max(1, int(std::ceil(full.height() * dpr))),
               QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    img.setDevicePixelRatio(dpr);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(pad, pad, size.width(), size.height());
    switch (kind) {
    case Art::placeholder:
        p.setPen(Qt::NoPen);
        p.setBrush(palette_.placeholder);
        p.drawRoundedRect(r, CellLook::cornerRadius, CellLook::cornerRadius);
        break;
    case Art::ring: {
        const double half = CellLook::ringWidth / 2;
        p.setPen(QPen(palette_.accent, CellLook::ringWidth));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(half, half, -half, -half), CellLook::ringRadius - half,
                          CellLook::ringRadius - half);
        break;
    }
    case Art::scrim: {
        // Clear at the top, darkest at the bottom edge; only the bottom corners are rounded.
        QLinearGradient g(r.topLeft(), r.bottomLeft());
        g.setColorAt(0, QColor(0, 0, 0, 0));
        g.setColorAt(1, QColor(0, 0, 0, 128));
        QPainterPath path;
        const double c = CellLook::cornerRadius;
        path.moveTo(r.topLeft());
        path.lineTo(r.topRight());
        path.lineTo(r.right(), r.bottom() - c);
        path.arcTo(QRectF(r.right() - 2 * c, r.bottom() - 2 * c, 2 * c, 2 * c), 0, -90);
        path.lineTo(r.left() + c, r.bottom());
        path.arcTo(QRectF(r.left(), r.bottom() - 2 * c, 2 * c, 2 * c), 270, -90);
        path.closeSubpath();
        p.fillPath(path, g);
        break;
    }
    case Art::heart: drawGlyph(p, r, QStringLiteral("heart.fill"), Qt::white); break;
    case Art::play: drawGlyph(p, r, QStringLiteral("play.fill"), Qt::white); break;
    case Art::live: {
        // A soft shadow keeps the white symbol readable on light photos.
        QImage shadow(img.size(), QImage::Format_ARGB32_Premultiplied);
        shadow.fill(Qt::transparent);
        shadow.setDevicePixelRatio(dpr);
        {
            QPainter m(&shadow);
            drawGlyph(m, r, QStringLiteral("livephoto"), Qt::black);
        }
        QImage mask = shadow.convertToFormat(QImage::Format_Alpha8);
        blurAlpha(mask, std::max(1, int(std::lround(dpr))));
        p.setOpacity(0.5);
        p.drawImage(QPointF(0, 0), mask);
        p.setOpacity(1);
        drawGlyph(p, r, QStringLiteral("livephoto"), Qt::white);
        break;
    }
    }
    p.end();
    return QPixmap::fromImage(std::move(img));
}

const QStaticText& GridPainter::text(const QString& s, const QFont& font, int slot) {
    QHash<QString, QStaticText>& cache = texts_[slot];
    auto it = cache.find(s);
    if (it != cache.end()) return *it;
    if (cache.size() > 512) cache.clear();
    QStaticText st(s);
    st.setTextFormat(Qt::PlainText);
    st.setPerformanceHint(QStaticText::AggressiveCaching);
    st.prepare(QTransform(), font);
    return *cache.insert(s, st);
}

namespace {
// The pixmap lands one to one on whole device pixels of the rectangle.
bool coversExactly(const QPainter& p, const QRectF& r, const QPixmap& pm) {
    if (pm.devicePixelRatio() != 1 || QSizeF(pm.size()) != r.size()) return false;
    const QTransform& t = p.deviceTransform();
    if (t.type() > QTransform::TxTranslate) return false;
    const QPointF at = t.map(r.topLeft());
    return at == QPointF(at.toPoint());
}
}  // namespace

void GridPainter::paintCell(QPainter& p, const CellLook& look, const GridPicture& picture) {
    const qreal dpr = p.device()->devicePixelRatioF();
    const QRectF& r = look.image;
    if (!picture.exact.isNull() && picture.opacity >= 1) {
        p.drawPixmap(r.topLeft(), picture.exact);
    } else {
        p.drawPixmap(r.topLeft(), art(Art::placeholder, r.size(), dpr));
        if (!picture.empty()) {
            p.setOpacity(picture.opacity);
            if (!picture.exact.isNull()) {
                p.drawPixmap(r.topLeft(), picture.exact);
            } else if (!picture.source.isNull()) {
                // Aspect-fill through a brush, so the rounded corners come out antialiased.
                const QImage& src = picture.source;
                const double scale = r.width() / std::min(src.width(), src.height());
                QTransform t;
                t.translate(r.center().x() - src.width() * scale / 2, r.center().y() - src.height() * scale / 2);
                t.scale(scale, scale);
                QBrush brush(src);
                brush.setTransform(t);
                p.save();
                p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
                p.setPen(Qt::NoPen);
                p.setBrush(brush);
                p.drawRoundedRect(r, CellLook::cornerRadius, CellLook::cornerRadius);
                p.restore();
            } else if (coversExactly(p, r, picture.fallback)) {
                // Made for this cell's pixels (a stand-in): drawn as the finished
                // picture is, the same pixels without Qt's slow scaling path,
                // which hands every cell to other threads and waits for them.
                p.drawPixmap(r.topLeft(), picture.fallback);
            } else {
                p.save();
                p.setRenderHint(QPainter::SmoothPixmapTransform);
                p.drawPixmap(r, picture.fallback, QRectF(picture.fallback.rect()));
                p.restore();
            }
            p.setOpacity(1);
        }
    }
    if (look.scrim) p.drawPixmap(look.scrimRect.topLeft(), art(Art::scrim, look.scrimRect.size(), dpr));
    if (look.heart) p.drawPixmap(look.heartRect.topLeft(), art(Art::heart, look.heartRect.size(), dpr));
    if (look.duration) {
        p.drawPixmap(look.playRect.topLeft(), art(Art::play, look.playRect.size(), dpr));
        const QStaticText& st = text(look.durationText, durationFont_, 0);
        const QSizeF ts = st.size();
        p.setFont(durationFont_);
        p.setPen(Qt::white);
        p.drawStaticText(QPointF(look.durationRect.right() - ts.width(),
                                 look.durationRect.center().y() - ts.height() / 2),
                         st);
    }
    if (look.live)
        p.drawPixmap(look.liveRect.topLeft() - QPointF(kShadowPad, kShadowPad),
                     art(Art::live, look.liveRect.size(), dpr));
    if (look.selected) p.drawPixmap(look.bounds.topLeft(), art(Art::ring, look.bounds.size(), dpr));
}

void GridPainter::paintHeader(QPainter& p, const QRectF& band, const std::string& title, const std::string& detail) {
    if (title.empty() && detail.empty()) return;
    const QFontMetricsF tm(titleFont_), dm(detailFont_);
    // The title keeps its width; the detail gives way first, then the title.
    const double left = band.left() + 1;
    const double room = band.right() - left;
    const QString t = QString::fromStdString(title);
    const QString shownTitle = tm.horizontalAdvance(t) > room ? tm.elidedText(t, Qt::ElideRight, room) : t;
    const double titleWidth = shownTitle.isEmpty() ? 0 : tm.horizontalAdvance(shownTitle);
    const double baseline = band.bottom() - 12 - tm.descent();
    if (!shownTitle.isEmpty()) {
        const QStaticText& st = text(shownTitle, titleFont_, 1);
        p.setFont(titleFont_);
        p.setPen(palette_.ink);
        p.drawStaticText(QPointF(left, baseline - tm.ascent()), st);
    }
    const double detailLeft = left + titleWidth + (shownTitle.isEmpty() ? 0 : 10);
    const double detailRoom = band.right() - detailLeft;
    if (detail.empty() || detailRoom <= 0) return;
    const QString d = dm.elidedText(QString::fromStdString(detail), Qt::ElideRight, detailRoom);
    if (d.isEmpty()) return;
    const QStaticText& st = text(d, detailFont_, 2);
    p.setFont(detailFont_);
    p.setPen(palette_.ink2);
    p.drawStaticText(QPointF(detailLeft, baseline - dm.ascent()), st);
}

}  // namespace vintrelle
