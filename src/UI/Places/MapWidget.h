#pragma once
// The interactive world map: Web Mercator tiles with labels and graticule
// painted live over them, then an overlay (the places screen's bubbles),
// and the scale and attribution on top. Left-drag pans, the wheel zooms about the
// pointer (a notch of 120 is half a level; touchpads by their pixel delta),
// pinch zooms, a double-click zooms in one level over 0.25 s, and + / − and
// the arrows work from the keyboard. No rotation and no pitch.
//
// "Movement ended" is the release of a drag, 250 ms after the last wheel,
// pinch or arrow-key event, the end of an animation, a resize, or a camera
// set from code: only then is the region reported, never during a gesture.
//
// The world wraps east and west: panning goes on round the globe.
//
// A click that goes to the overlay ends its double-click there: should the
// click open another screen under the pointer, the second press, its
// double-click and its release reach nothing.

#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <optional>
#include <vector>

#include "Core/Places/Mercator.h"
#include "UI/Places/MapCanvas.h"

class QVariantAnimation;

namespace vintrelle {

// What a view paints over the map and the clicks it takes.
class MapOverlay {
public:
    virtual ~MapOverlay() = default;
    virtual void paint(QPainter& p, const MapCamera& camera) = 0;
    // Whether a click at the point belongs to the overlay (the pointer
    // shows a hand there).
    virtual bool hits(QPointF at, const MapCamera& camera) const = 0;
    virtual void click(QPointF at, const MapCamera& camera) = 0;
    // What city labels keep clear of.
    virtual std::vector<QRectF> keepClear(const MapCamera&) const { return {}; }
};

class MapWidget final : public QWidget {
    Q_OBJECT
public:
    static constexpr int settleDelayMs = 250;
    static constexpr int zoomAnimationMs = 250;

    explicit MapWidget(QWidget* parent = nullptr);
    ~MapWidget() override;

    const MapCamera& camera() const { return camera_; }
    // What the view shows now.
    MapRegion region() const { return camera_.region(); }

    // Shows all of the region as large as it fits; until the user moves the
    // map, a resize fits it again. Ends a movement.
    void fitRegion(const MapRegion& region);
    // Centres on a coordinate at a zoom (clamped to the map's range). Ends a movement.
    void setCenter(double lat, double lon, double zoom);
    // Zooms by a number of levels about a point of the view over 0.25 s.
    void zoomAnimated(double levels, QPointF anchor);

    // Painted over the labels, under the scale and the attribution; not owned.
    void setOverlay(MapOverlay* overlay);

    // No gesture, animation or pending movement end, and every tile of the
    // view painted (for tools and tests that grab the map).
    bool isSettled() const;

    // What the last paint labelled, and where it put the scale and the
    // credit (for tools and tests).
    const std::vector<mapcanvas::PlacedLabel>& labels() const { return labels_; }
    QRectF scaleBarRect() const { return scaleBar_; }
    QRectF creditRect() const { return credit_; }

    QSize sizeHint() const override { return {800, 600}; }

signals:
    void movementEnded(const vintrelle::MapRegion& region);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void endMovement();
    void endMovementSoon();
    void userMoved();
    void stopAnimation();
    void updateCursor(QPointF at);

    MapCamera camera_;
    MapOverlay* overlay_ = nullptr;
    QTimer settleTimer_;
    QVariantAnimation* animation_ = nullptr;
    double animationTarget_ = 0;
    QPointF animationAnchor_;
    std::optional<MapRegion> stickyFit_;
    bool pressed_ = false;
    bool dragging_ = false;
    QPointF pressAt_, lastAt_;
    quint64 pressTime_ = 0;
    bool complete_ = false;  // the last paint had every tile
    std::vector<mapcanvas::PlacedLabel> labels_;
    QRectF scaleBar_, credit_;
};

}  // namespace vintrelle
