#include "UI/Kit/StoredImage.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "UI/Kit/Theme.h"

namespace vintrelle {

namespace {
constexpr int fadeMs = 150;
}

StoredImage::StoredImage(QWidget* parent) : QWidget(parent) {
    fade_.setStartValue(0.0);
    fade_.setEndValue(1.0);
    fade_.setDuration(fadeMs);
    fade_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&fade_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    connect(&fade_, &QVariantAnimation::finished, this, [this] {
        previous_ = {};
        scaledPrevious_ = {};
        update();
    });
}

StoredImage::~StoredImage() { cancel(); }

void StoredImage::setSource(std::optional<std::string> path, std::shared_ptr<ThumbnailCache> cache, int revision) {
    QString key = path ? QString::fromStdString(*path) : QString();
    key += u'#' + QString::number(revision);
    if (started_ && key == key_ && cache == cache_) return;
    path_ = std::move(path);
    cache_ = std::move(cache);
    key_ = std::move(key);
    started_ = false;
    // A view not on screen loads when it appears.
    if (isVisible()) run();
}

void StoredImage::setCornerRadius(qreal radius) {
    radius_ = radius;
    update();
}

void StoredImage::setCircular(bool circular) {
    circular_ = circular;
    update();
}

void StoredImage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    run();
}

void StoredImage::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    cancel();
    started_ = false;
}

void StoredImage::cancel() {
    ++generation_;
    if (pending_) pending_->cancel();
    pending_.reset();
}

void StoredImage::run() {
    cancel();
    started_ = true;
    if (!path_) {
        take(QImage(), false);
        return;
    }
    if (!cache_) return;
    if (auto hit = cache_->cached(*path_)) {
        take(*hit, false);
        return;
    }
    const int generation = generation_;
    QPointer<StoredImage> self(this);
    auto done = [self, generation](const QImage& img) {
        // An answer for an older load (another path or revision, or a view
        // that went away meanwhile) changes nothing.
        if (!self || self->generation_ != generation) return;
        self->pending_.reset();
        self->take(img, true);
    };
    // A hit between the lookup above and here answers at once, inside load().
    auto op = cache_->load(*path_, done);
    if (op && generation_ == generation) pending_ = std::move(op);
}

void StoredImage::take(const QImage& image, bool fade) {
    fade_.stop();
    if (fade && !image.isNull()) {
        previous_ = image_;
        scaledPrevious_ = scaled_;
        scaledPreviousKey_ = scaledKey_;
        image_ = image;
        scaled_ = {};
        fade_.start();
    } else {
        previous_ = {};
        scaledPrevious_ = {};
        image_ = image;
        scaled_ = {};
    }
    update();
    emit imageChanged();
}

QPainterPath StoredImage::shape() const {
    QPainterPath path;
    const QRectF r = rect();
    if (circular_) path.addEllipse(r);
    else if (radius_ > 0) path.addRoundedRect(r, radius_, radius_);
    else path.addRect(r);
    return path;
}

// The picture scaled to cover the widget at device resolution and cropped to
// it, made once per picture and size rather than on every paint.
QPixmap StoredImage::filled(const QImage& image, QPixmap& slot, qint64& slotKey) const {
    const qreal dpr = devicePixelRatioF();
    const QSize device(std::max(1, int(std::lround(width() * dpr))), std::max(1, int(std::lround(height() * dpr))));
    if (!slot.isNull() && slotKey == image.cacheKey() && slot.size() == device) return slot;
    const double scale = std::max(double(device.width()) / image.width(), double(device.height()) / image.height());
    const QSize cover(std::max(device.width(), int(std::ceil(image.width() * scale))),
                      std::max(device.height(), int(std::ceil(image.height() * scale))));
    const QImage scaled = image.scaled(cover, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QRect crop((cover.width() - device.width()) / 2, (cover.height() - device.height()) / 2, device.width(),
                     device.height());
    slot = QPixmap::fromImage(scaled.copy(crop));
    slotKey = image.cacheKey();
    return slot;
}

void StoredImage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPainterPath path = shape();
    p.fillPath(path, Theme::placeholder());
    const qreal dpr = devicePixelRatioF();
    auto draw = [&](const QPixmap& pm, qreal opacity) {
        QBrush brush(pm);
        brush.setTransform(QTransform::fromScale(1 / dpr, 1 / dpr));
        p.setOpacity(opacity);
        p.fillPath(path, brush);
    };
    if (!previous_.isNull()) draw(filled(previous_, scaledPrevious_, scaledPreviousKey_), 1.0);
    if (!image_.isNull()) draw(filled(image_, scaled_, scaledKey_), isFading() ? fade_.currentValue().toReal() : 1.0);
}

}  // namespace vintrelle
