#include "UI/Kit/CardShadow.h"

#include <QCache>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <vector>

namespace vintrelle {

namespace {

// The blur radius is the Gaussian's standard deviation (as in the layer
// shadows the design was drawn with); three of them reach where it fades out.
qreal reach(qreal radius) { return radius * 3; }

// One box pass over n contiguous values into out (every stride-th byte);
// beyond the ends the edge values repeat.
void boxBlurLine(const uint8_t* in, uint8_t* out, int n, int stride, int r) {
    const int window = 2 * r + 1;
    int sum = 0;
    for (int i = -r; i <= r; ++i) sum += in[std::clamp(i, 0, n - 1)];
    for (int i = 0; i < n; ++i) {
        out[i * stride] = uint8_t((sum + window / 2) / window);
        sum += in[std::min(i + r + 1, n - 1)] - in[std::max(i - r, 0)];
    }
}

// Three box passes in each direction over an 8-bit alpha plane: close to a
// Gaussian of the given standard deviation.
void gaussianBlur(QImage& alpha, qreal sigma) {
    const int r = int(std::lround((std::sqrt(4.0 * sigma * sigma + 1) - 1) / 2));
    if (r <= 0) return;
    const int w = alpha.width(), h = alpha.height();
    const int stride = int(alpha.bytesPerLine());
    std::vector<uint8_t> tmp(size_t(std::max(w, h)));
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y) {
            uint8_t* row = alpha.scanLine(y);
            std::copy(row, row + w, tmp.begin());
            boxBlurLine(tmp.data(), row, w, 1, r);
        }
        for (int x = 0; x < w; ++x) {
            uint8_t* col = alpha.bits() + x;
            for (int y = 0; y < h; ++y) tmp[size_t(y)] = col[y * stride];
            boxBlurLine(tmp.data(), col, h, stride, r);
        }
    }
}

struct ShadowKey {
    QSize shape;  // device pixels; empty for the stretchable patch
    int corner;   // device pixels
    int blur;     // device pixels
    QRgb color;
    bool operator==(const ShadowKey&) const = default;
};
size_t qHash(const ShadowKey& k, size_t seed = 0) {
    return qHashMulti(seed, k.shape.width(), k.shape.height(), k.corner, k.blur, k.color);
}

QCache<ShadowKey, QPixmap>& shadows() {
    static QCache<ShadowKey, QPixmap> cache(32 * 1024 * 1024);
    return cache;
}

// The blurred shadow of a rounded rectangle of `shape` device pixels, with
// `spread` pixels of room on every side.
QPixmap render(QSize shape, int corner, int blur, int spread, const QColor& color) {
    const QSize size(shape.width() + 2 * spread, shape.height() + 2 * spread);
    QImage alpha(size, QImage::Format_Alpha8);
    alpha.fill(0);
    {
        QPainter p(&alpha);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(QPointF(spread, spread), QSizeF(shape)), corner, corner);
        p.fillPath(path, Qt::black);
    }
    gaussianBlur(alpha, blur);
    QImage tinted(size, QImage::Format_ARGB32_Premultiplied);
    tinted.fill(Qt::transparent);
    QPainter p(&tinted);
    p.drawImage(0, 0, alpha);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(tinted.rect(), color);
    p.end();
    return QPixmap::fromImage(tinted);
}

const QPixmap* shadowFor(const ShadowKey& key, int spread) {
    if (const QPixmap* hit = shadows().object(key)) return hit;
    // The patch: a square whose straight edges run `spread` past its corners,
    // so its middle row and column carry the profile of a long edge.
    const QSize shape = key.shape.isEmpty() ? QSize(2 * (key.corner + spread) + 1, 2 * (key.corner + spread) + 1)
                                            : key.shape;
    auto* pm = new QPixmap(render(shape, key.corner, key.blur, spread, QColor::fromRgba(key.color)));
    shadows().insert(key, pm, int(pm->width() * pm->height() * 4));
    return shadows().object(key);
}

}  // namespace

qreal CardShadow::margin(const ShadowSpec& spec) {
    return reach(spec.radius) + std::max(std::abs(spec.offset.x()), std::abs(spec.offset.y()));
}

int CardShadow::cachedPatches() { return int(shadows().count()); }

void CardShadow::blurAlpha(QImage& alpha, qreal sigma) {
    if (alpha.format() != QImage::Format_Alpha8) alpha = alpha.convertToFormat(QImage::Format_Alpha8);
    gaussianBlur(alpha, sigma);
}

void CardShadow::paint(QPainter& painter, const QRectF& shape, qreal cornerRadius, const ShadowSpec& spec) {
    if (spec.opacity <= 0 || shape.isEmpty()) return;
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    cornerRadius = std::clamp(cornerRadius, 0.0, std::min(shape.width(), shape.height()) / 2);
    QColor color = spec.color;
    color.setAlphaF(float(std::clamp(spec.opacity, 0.0, 1.0) * spec.color.alphaF()));
    const int corner = int(std::lround(cornerRadius * dpr));
    const int blur = int(std::lround(spec.radius * dpr));
    const int spread = int(std::ceil(reach(blur)));
    // Whole device pixels: the pieces are then drawn 1:1 or stretched along
    // runs of equal values, which needs no filtering.
    auto snap = [dpr](qreal v) { return std::round(v * dpr) / dpr; };
    const QRectF cast = shape.translated(spec.offset);
    const QRectF snapped(QPointF(snap(cast.left()), snap(cast.top())), QPointF(snap(cast.right()), snap(cast.bottom())));
    const QSize device(int(std::lround(snapped.width() * dpr)), int(std::lround(snapped.height() * dpr)));
    const qreal margin = spread / dpr;
    const QRectF target = snapped.adjusted(-margin, -margin, margin, margin);

    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    // A shape too small for the patch's straight edges (a round face) gets a
    // shadow of its own size.
    const int patchShape = 2 * (corner + spread) + 1;
    if (device.width() < patchShape || device.height() < patchShape) {
        const QPixmap* pm = shadowFor({device, corner, blur, color.rgba()}, spread);
        painter.drawPixmap(target, *pm, QRectF(pm->rect()));
        painter.restore();
        return;
    }
    // Eight pieces: corners as they are, edges stretched. The middle lies
    // under the card, which covers it, and is not painted.
    const QPixmap* pm = shadowFor({QSize(), corner, blur, color.rgba()}, spread);
    const int E = spread + corner + spread;  // border to the middle, device pixels
    const int S = pm->width();
    const qreal e = E / dpr;
    const qreal xs[] = {target.left(), target.left() + e, target.right() - e, target.right()};
    const qreal ys[] = {target.top(), target.top() + e, target.bottom() - e, target.bottom()};
    const int src[] = {0, E, E + 1, S};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            const QRectF to(xs[col], ys[row], xs[col + 1] - xs[col], ys[row + 1] - ys[row]);
            if (to.width() <= 0 || to.height() <= 0 || (row == 1 && col == 1)) continue;
            painter.drawPixmap(to, *pm, QRectF(src[col], src[row], src[col + 1] - src[col], src[row + 1] - src[row]));
        }
    }
    painter.restore();
}

}  // namespace vintrelle
