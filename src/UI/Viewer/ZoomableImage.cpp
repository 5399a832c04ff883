#include "UI/Viewer/ZoomableImage.h"

#include <QEasingCurve>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QThreadPool>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "Store/MainThread.h"

namespace vintrelle {

// ---- geometry ----------------------------------------------------------------

QRectF ZoomGeometry::fitted() const {
    if (image.isEmpty() || view.isEmpty()) return {};
    const QSizeF size = image.scaled(view, Qt::KeepAspectRatio);
    return {QPointF((view.width() - size.width()) / 2, (view.height() - size.height()) / 2), size};
}

void ZoomGeometry::zoom(double target, QPointF anchor, QPointF viewPoint) {
    magnification = std::clamp(target, minMagnification, maxMagnification);
    origin = anchor - viewPoint / magnification;
    clamp();
}

void ZoomGeometry::pan(QPointF viewDelta) {
    if (!isZoomed()) return;
    origin -= viewDelta / magnification;
    clamp();
}

void ZoomGeometry::clamp() {
    const QRectF pic = fitted().isEmpty() ? QRectF(QPointF(), view) : fitted();
    const double m = magnification;
    auto axis = [m](double o, double lo, double hi, double viewLen) {
        const double shown = viewLen / m;
        if (hi - lo >= shown) return std::clamp(o, lo, hi - shown);
        return (lo + hi) / 2 - shown / 2;
    };
    origin.setX(axis(origin.x(), pic.left(), pic.right(), view.width()));
    origin.setY(axis(origin.y(), pic.top(), pic.bottom(), view.height()));
}

ZoomGeometry::Visible ZoomGeometry::visible() const {
    const QRectF pic = fitted();
    if (pic.isEmpty()) return {};
    const QRectF shown(origin, view / magnification);
    const QRectF part = shown.intersected(pic);
    if (part.isEmpty()) return {};
    const double scale = image.width() / pic.width();
    const QRectF source((part.topLeft() - pic.topLeft()) * scale, part.size() * scale);
    const QRectF target(toView(part.topLeft()), part.size() * magnification);
    return {source, target};
}

// ---- widget ------------------------------------------------------------------

ZoomableImage::ZoomableImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_AcceptTouchEvents);
    setMouseTracking(false);
    animation_.setDuration(animationMs);
    animation_.setEasingCurve(QEasingCurve::InOutQuad);
    animation_.setStartValue(0.0);
    animation_.setEndValue(1.0);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        const double t = v.toDouble();
        // The last frame lands exactly on the target: the fitted view is "exactly 1".
        geo_.zoom(t >= 1.0 ? animTo_ : animFrom_ + (animTo_ - animFrom_) * t, animAnchor_, animPoint_);
        changed();
    });
}

ZoomableImage::~ZoomableImage() = default;

void ZoomableImage::setImage(const QImage& image, int64_t assetID) {
    const bool newAsset = assetID != assetID_;
    assetID_ = assetID;
    if (newAsset) {
        resetZoom();
        fitted_ = QPixmap();  // never the previous photo, not even for a frame
    }
    if (image.cacheKey() == image_.cacheKey() && !newAsset) return;
    image_ = image;
    geo_.image = image.size();
    geo_.clamp();
    makeFittedCopy();
    update();
}

void ZoomableImage::resetZoom() {
    animation_.stop();
    if (geo_.magnification == 1.0 && geo_.origin.isNull()) return;
    geo_.reset();
    changed();
}

void ZoomableImage::changed() {
    setCursor(geo_.isZoomed() ? (dragging_ ? Qt::ClosedHandCursor : Qt::OpenHandCursor) : Qt::ArrowCursor);
    emit magnificationChanged(geo_.magnification);
    update();
}

void ZoomableImage::zoomTo(double magnification, QPointF viewPoint, bool animated) {
    animation_.stop();
    const QPointF anchor = geo_.toCanvas(viewPoint);
    if (!animated) {
        geo_.zoom(magnification, anchor, viewPoint);
        changed();
        return;
    }
    animFrom_ = geo_.magnification;
    animTo_ = std::clamp(magnification, ZoomGeometry::minMagnification, ZoomGeometry::maxMagnification);
    animAnchor_ = anchor;
    animPoint_ = viewPoint;
    animation_.start();
}

void ZoomableImage::toggleZoom(QPointF viewPoint) { zoomTo(geo_.toggleTarget(), viewPoint, true); }

QSize ZoomableImage::fittedPixels() const {
    return (geo_.fitted().size() * devicePixelRatioF()).toSize();
}

void ZoomableImage::makeFittedCopy() {
    const int generation = ++fitGeneration_;
    const QSize target = fittedPixels();
    if (image_.isNull() || target.isEmpty()) {
        fitted_ = QPixmap();
        return;
    }
    auto scale = [](const QImage& source, QSize size, qreal dpr) {
        QImage out = source.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        out.setDevicePixelRatio(dpr);
        return out;
    };
    const qreal dpr = devicePixelRatioF();
    // Enlarging gains nothing from a scaled copy: the picture itself is drawn
    // with smooth filtering, and the step's frame scales nothing.
    if (image_.width() <= target.width() && image_.height() <= target.height()) {
        fitted_ = QPixmap::fromImage(image_);
        fittedIsSource_ = true;
        return;
    }
    fittedIsSource_ = false;
    // A small picture scales in no time; a full image is left to a pool
    // thread while the current copy (its thumbnail's) stays on screen.
    if (qint64(image_.width()) * image_.height() <= 1024 * 1024) {
        fitted_ = QPixmap::fromImage(scale(image_, target, dpr));
        return;
    }
    QThreadPool::globalInstance()->start(
        [alive = std::weak_ptr<int>(alive_), self = this, source = image_, target, dpr, generation, scale] {
            QImage scaled = scale(source, target, dpr);
            postToMainThread([alive, self, generation, scaled = std::move(scaled)] {
                if (alive.expired() || self->fitGeneration_ != generation) return;
                self->fitted_ = QPixmap::fromImage(scaled);
                self->fittedIsSource_ = false;
                self->update();
            });
        });
}

void ZoomableImage::paintEvent(QPaintEvent*) {
    if (image_.isNull()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const bool fittedView = geo_.magnification == 1.0 && !isAnimating();
    if (fittedView && !fitted_.isNull() && (fittedIsSource_ || fitted_.size() == fittedPixels())) {
        p.drawPixmap(geo_.fitted(), fitted_, QRectF(fitted_.rect()));
        return;
    }
    const ZoomGeometry::Visible part = geo_.visible();
    if (!part.source.isEmpty()) p.drawImage(part.target, image_, part.source);
}

void ZoomableImage::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    if (QSizeF(size()) == geo_.view) return;
    geo_.view = size();
    animation_.stop();
    geo_.reset();
    geo_.clamp();
    changed();
    makeFittedCopy();
}

void ZoomableImage::mousePressEvent(QMouseEvent* e) {
    // Single clicks stay here: they neither step nor close the viewer.
    e->accept();
    if (e->button() != Qt::LeftButton) return;
    lastDrag_ = e->position();
    dragging_ = true;
    if (geo_.isZoomed()) setCursor(Qt::ClosedHandCursor);
}

void ZoomableImage::mouseDoubleClickEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() == Qt::LeftButton) toggleZoom(e->position());
}

void ZoomableImage::mouseMoveEvent(QMouseEvent* e) {
    e->accept();
    if (!dragging_) return;
    const QPointF delta = e->position() - lastDrag_;
    lastDrag_ = e->position();
    if (!geo_.isZoomed() || isAnimating()) return;
    geo_.pan(delta);
    update();
}

void ZoomableImage::mouseReleaseEvent(QMouseEvent* e) {
    e->accept();
    dragging_ = false;
    if (geo_.isZoomed()) setCursor(Qt::OpenHandCursor);
}

void ZoomableImage::wheelEvent(QWheelEvent* e) {
    if (e->modifiers() & Qt::ControlModifier) {
        const double factor = std::pow(1.0015, e->angleDelta().y());
        zoomTo(geo_.magnification * factor, e->position(), false);
        e->accept();
        return;
    }
    if (!geo_.isZoomed()) {
        e->ignore();
        return;
    }
    // A wheel or two-finger scroll moves a zoomed picture.
    const QPointF delta = !e->pixelDelta().isNull() ? QPointF(e->pixelDelta()) : QPointF(e->angleDelta()) / 2;
    geo_.pan(delta);
    update();
    e->accept();
}

bool ZoomableImage::event(QEvent* e) {
    if (e->type() == QEvent::NativeGesture) {
        auto* g = static_cast<QNativeGestureEvent*>(e);
        const QPointF at = g->position();
        if (g->gestureType() == Qt::ZoomNativeGesture) {
            zoomTo(geo_.magnification * (1.0 + g->value()), at, false);
            return true;
        }
        if (g->gestureType() == Qt::SmartZoomNativeGesture) {
            toggleZoom(at);
            return true;
        }
    }
    return QWidget::event(e);
}

}  // namespace vintrelle
