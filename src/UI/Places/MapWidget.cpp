#include "UI/Places/MapWidget.h"

#include <QApplication>
#include <QGestureEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPinchGesture>
#include <QStyleHints>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <cmath>

#include "Core/Places/CityIndex.h"
#include "UI/Places/MapCanvas.h"
#include "UI/Places/MapTiles.h"

namespace vintrelle {

namespace {
// A wheel notch (120 units) or 120 pixels of touchpad scrolling is half a level.
constexpr double unitsPerLevel = 240;
constexpr double arrowStep = 96;

// Swallows the rest of a double-click whose first click the overlay took:
// the second left press (with the double-click Qt makes of it) and its
// release, wherever they land, when the press comes within the
// double-click interval and distance of the first one. Any other press
// ends it and goes through. It watches the whole application because the
// click may have replaced the map with another screen (a place's grid,
// where a double-click would open a photo nobody chose).
class DoubleClickRest final : public QObject {
public:
    DoubleClickRest(quint64 pressTime, QPointF globalAt) : QObject(qApp), pressTime_(pressTime), at_(globalAt) {
        qApp->installEventFilter(this);
        // Decisions go by the events' own times; this only makes sure a
        // rest that never came leaves nothing behind.
        QTimer::singleShot(10000, this, [this] { finish(); });
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (done_) return false;
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            if (eating_) return true;
            const auto* m = static_cast<const QMouseEvent*>(e);
            const QStyleHints* hints = QGuiApplication::styleHints();
            const bool rest = m->button() == Qt::LeftButton && m->timestamp() >= pressTime_ &&
                              m->timestamp() - pressTime_ < quint64(hints->mouseDoubleClickInterval()) &&
                              std::fabs(m->globalPosition().x() - at_.x()) <= hints->mouseDoubleClickDistance() &&
                              std::fabs(m->globalPosition().y() - at_.y()) <= hints->mouseDoubleClickDistance();
            if (!rest) {
                finish();
                return false;
            }
            eating_ = true;
            return true;
        }
        case QEvent::MouseButtonRelease:
            if (!eating_) return false;
            finish();
            return true;
        default:
            return false;
        }
    }

private:
    void finish() {
        done_ = true;
        qApp->removeEventFilter(this);
        deleteLater();
    }

    quint64 pressTime_;
    QPointF at_;
    bool eating_ = false;
    bool done_ = false;
};

}  // namespace

MapWidget::MapWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    grabGesture(Qt::PinchGesture);
    camera_.setViewport(width(), height());
    camera_.setCenter(20, 0, 0);

    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(settleDelayMs);
    connect(&settleTimer_, &QTimer::timeout, this, &MapWidget::endMovement);

    animation_ = new QVariantAnimation(this);
    animation_->setDuration(zoomAnimationMs);
    animation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        camera_.zoomAbout({animationAnchor_.x(), animationAnchor_.y()}, v.toDouble());
        update();
    });
    connect(animation_, &QVariantAnimation::finished, this, &MapWidget::endMovement);

    MapTileService& tiles = MapTileService::instance();
    connect(&tiles, &MapTileService::tilesReady, this, qOverload<>(&QWidget::update));
    connect(&tiles, &MapTileService::citiesReady, this, qOverload<>(&QWidget::update));
}

MapWidget::~MapWidget() {
    if (auto* tiles = MapTileService::ifExists()) tiles->want(this, {});
}

void MapWidget::fitRegion(const MapRegion& region) {
    stopAnimation();
    stickyFit_ = region;
    camera_.fit(region);
    update();
    endMovement();
}

void MapWidget::setCenter(double lat, double lon, double zoom) {
    stopAnimation();
    stickyFit_.reset();
    camera_.setCenter(lat, lon, zoom);
    update();
    endMovement();
}

void MapWidget::zoomAnimated(double levels, QPointF anchor) {
    const double from = camera_.zoom();
    const double base = animation_->state() == QAbstractAnimation::Running ? animationTarget_ : from;
    animation_->stop();
    userMoved();
    animationTarget_ = std::clamp(base + levels, camera_.minZoom(), MapCamera::maxZoom);
    animationAnchor_ = anchor;
    if (std::fabs(animationTarget_ - from) < 1e-9) {
        endMovement();
        return;
    }
    animation_->setStartValue(from);
    animation_->setEndValue(animationTarget_);
    animation_->start();
}

void MapWidget::setOverlay(MapOverlay* overlay) {
    overlay_ = overlay;
    update();
}

bool MapWidget::isSettled() const {
    return !pressed_ && animation_->state() != QAbstractAnimation::Running && !settleTimer_.isActive() &&
           complete_ && !MapTileService::instance().isPending(this) && CityIndex::ifBuilt();
}

void MapWidget::endMovement() {
    settleTimer_.stop();
    emit movementEnded(camera_.region());
}

void MapWidget::endMovementSoon() { settleTimer_.start(); }

void MapWidget::userMoved() { stickyFit_.reset(); }

void MapWidget::stopAnimation() {
    if (animation_->state() == QAbstractAnimation::Running) animation_->stop();
}

void MapWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const qreal dpr = devicePixelRatioF();
    const bool dark = mapstyle::isDark();
    const MapPalette& colors = MapPalette::of(dark);
    complete_ = mapcanvas::paintTiles(p, camera_, dpr, dark, this);
    mapcanvas::paintGraticule(p, camera_, colors);
    const QPointF scaleAt(14, height() - 12);
    scaleBar_ = mapcanvas::scaleBarRect(camera_, colors, scaleAt, dpr);
    credit_ = mapcanvas::attributionRect(rect(), colors, dpr);
    std::vector<QRectF> keepClear = overlay_ ? overlay_->keepClear(camera_) : std::vector<QRectF>{};
    keepClear.push_back(scaleBar_);
    keepClear.push_back(credit_);
    labels_ = mapcanvas::paintCityLabels(p, camera_, dpr, dark, keepClear);
    if (overlay_) overlay_->paint(p, camera_);
    // The scale and the credit the data's licence asks for stay readable
    // over everything, photo bubbles included.
    mapcanvas::paintScaleBar(p, camera_, colors, scaleAt);
    mapcanvas::paintAttribution(p, rect(), colors);
}

void MapWidget::resizeEvent(QResizeEvent*) {
    camera_.setViewport(width(), height());
    if (stickyFit_) camera_.fit(*stickyFit_);
    endMovement();
}

void MapWidget::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
    stopAnimation();
    pressed_ = true;
    dragging_ = false;
    pressAt_ = lastAt_ = e->position();
    pressTime_ = e->timestamp();
}

void MapWidget::mouseMoveEvent(QMouseEvent* e) {
    if (!pressed_) {
        updateCursor(e->position());
        return;
    }
    if (!dragging_ && (e->position() - pressAt_).manhattanLength() < QApplication::startDragDistance()) return;
    if (!dragging_) {
        dragging_ = true;
        settleTimer_.stop();
        userMoved();
        setCursor(Qt::ClosedHandCursor);
    }
    const QPointF d = e->position() - lastAt_;
    lastAt_ = e->position();
    camera_.panBy(d.x(), d.y());
    update();
}

void MapWidget::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !pressed_) return QWidget::mouseReleaseEvent(e);
    pressed_ = false;
    if (dragging_) {
        dragging_ = false;
        updateCursor(e->position());
        endMovement();
        return;
    }
    if (overlay_ && overlay_->hits(e->position(), camera_)) {
        new DoubleClickRest(pressTime_, e->globalPosition());
        overlay_->click(e->position(), camera_);
    }
}

void MapWidget::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(e);
    // The first click of the pair already went to a bubble.
    if (overlay_ && overlay_->hits(e->position(), camera_)) return;
    zoomAnimated(1, e->position());
}

void MapWidget::wheelEvent(QWheelEvent* e) {
    const QPoint pixels = e->pixelDelta();
    const double units = !pixels.isNull() ? pixels.y() : e->angleDelta().y();
    if (units == 0) return;
    stopAnimation();
    userMoved();
    camera_.zoomAbout({e->position().x(), e->position().y()}, camera_.zoom() + units / unitsPerLevel);
    update();
    endMovementSoon();
    e->accept();
}

void MapWidget::keyPressEvent(QKeyEvent* e) {
    const auto mods = e->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (mods != Qt::NoModifier) return QWidget::keyPressEvent(e);
    const QPointF centre(width() / 2.0, height() / 2.0);
    switch (e->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomAnimated(1, centre);
        return;
    case Qt::Key_Minus:
    case Qt::Key_Underscore:
        zoomAnimated(-1, centre);
        return;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: {
        stopAnimation();
        userMoved();
        const double dx = e->key() == Qt::Key_Left ? arrowStep : e->key() == Qt::Key_Right ? -arrowStep : 0;
        const double dy = e->key() == Qt::Key_Up ? arrowStep : e->key() == Qt::Key_Down ? -arrowStep : 0;
        camera_.panBy(dx, dy);
        update();
        endMovementSoon();
        return;
    }
    default:
        QWidget::keyPressEvent(e);
    }
}

void MapWidget::leaveEvent(QEvent* e) {
    if (!pressed_) unsetCursor();
    QWidget::leaveEvent(e);
}

bool MapWidget::event(QEvent* e) {
    if (e->type() == QEvent::NativeGesture) {
        auto* g = static_cast<QNativeGestureEvent*>(e);
        const QPointF at = g->position();
        switch (g->gestureType()) {
        case Qt::ZoomNativeGesture:
            stopAnimation();
            userMoved();
            camera_.zoomAbout({at.x(), at.y()}, camera_.zoom() + std::log2(std::max(1 + g->value(), 0.01)));
            update();
            endMovementSoon();
            return true;
        case Qt::SmartZoomNativeGesture:
            zoomAnimated(1, at);
            return true;
        case Qt::EndNativeGesture:
            endMovementSoon();
            return true;
        default:
            break;
        }
    }
    if (e->type() == QEvent::Gesture) {
        auto* ge = static_cast<QGestureEvent*>(e);
        if (auto* pinch = static_cast<QPinchGesture*>(ge->gesture(Qt::PinchGesture))) {
            if (pinch->changeFlags() & QPinchGesture::ScaleFactorChanged && pinch->scaleFactor() > 0) {
                stopAnimation();
                userMoved();
                const QPointF at = mapFromGlobal(pinch->centerPoint());
                camera_.zoomAbout({at.x(), at.y()}, camera_.zoom() + std::log2(pinch->scaleFactor()));
                update();
            }
            endMovementSoon();
            ge->accept(pinch);
            return true;
        }
    }
    if (e->type() == QEvent::PaletteChange || e->type() == QEvent::ApplicationPaletteChange) update();
    return QWidget::event(e);
}

void MapWidget::updateCursor(QPointF at) {
    if (overlay_ && overlay_->hits(at, camera_))
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
}

}  // namespace vintrelle
