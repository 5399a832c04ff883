#pragma once
// One photo fitted into its widget, magnified up to eight times and moved
// around by dragging. A double click toggles between the fitted view and a
// 2.6-fold zoom that keeps the clicked point under the pointer; Ctrl+wheel
// and a pinch zoom about the pointer. The zoom returns to the fitted view for
// another photo or a new widget size, and stays when the full image of the
// same photo replaces its thumbnail.
//
// At the fitted view a copy scaled once with smooth filtering is drawn (made
// off the main thread for large images); zoomed, only the visible part of the
// source is drawn.

#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QVariantAnimation>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace vintrelle {

// The geometry of a magnified picture. The canvas is the widget at
// magnification 1; the picture is fitted into it and centred; `origin` is the
// canvas point shown at the widget's top-left corner.
struct ZoomGeometry {
    static constexpr double minMagnification = 1.0;
    static constexpr double maxMagnification = 8.0;
    static constexpr double doubleClickMagnification = 2.6;
    // Above this the picture counts as zoomed: a double click zooms out and a drag pans.
    static constexpr double zoomedThreshold = 1.01;

    QSizeF view;
    QSizeF image;  // pixels
    double magnification = 1.0;
    QPointF origin;

    // The picture's rectangle on the canvas.
    QRectF fitted() const;
    QPointF toCanvas(QPointF viewPoint) const { return origin + viewPoint / magnification; }
    QPointF toView(QPointF canvasPoint) const { return (canvasPoint - origin) * magnification; }
    bool isZoomed() const { return magnification > zoomedThreshold; }
    double toggleTarget() const { return isZoomed() ? minMagnification : doubleClickMagnification; }

    // Sets the magnification (within the limits) keeping the canvas point
    // `anchor` at `viewPoint`.
    void zoom(double target, QPointF anchor, QPointF viewPoint);
    // Moves the picture with the pointer; nothing unless zoomed.
    void pan(QPointF viewDelta);
    // Keeps the picture covering the view along each axis where it is larger
    // than the view, and centred where it is smaller.
    void clamp();
    void reset() {
        magnification = 1.0;
        origin = {};
    }
    // The part of the picture that shows: its rectangle in image pixels and
    // where that lands in the view. Empty when nothing shows.
    struct Visible {
        QRectF source, target;
    };
    Visible visible() const;
};

class ZoomableImage : public QWidget {
    Q_OBJECT
public:
    static constexpr int animationMs = 220;

    explicit ZoomableImage(QWidget* parent = nullptr);
    ~ZoomableImage() override;

    // A new assetID returns to the fitted view at once; the same one keeps
    // the zoom. A null image shows nothing (zoom and pan still work).
    void setImage(const QImage& image, int64_t assetID);
    QImage image() const { return image_; }
    int64_t assetID() const { return assetID_; }

    const ZoomGeometry& geometry() const { return geo_; }
    double magnification() const { return geo_.magnification; }
    // Zooms so that the picture point under viewPoint stays there.
    void zoomTo(double magnification, QPointF viewPoint, bool animated);
    // What a double click at viewPoint does.
    void toggleZoom(QPointF viewPoint);
    bool isAnimating() const { return animation_.state() == QAbstractAnimation::Running; }
    // The fitted copy in use (tests, diagnostics); null while it is made.
    bool hasFittedCopy() const { return !fitted_.isNull(); }

signals:
    void magnificationChanged(double magnification);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    bool event(QEvent*) override;

private:
    void resetZoom();
    void changed();
    void makeFittedCopy();
    QSize fittedPixels() const;

    QImage image_;
    int64_t assetID_ = -1;
    ZoomGeometry geo_;
    QVariantAnimation animation_;
    double animFrom_ = 1, animTo_ = 1;
    QPointF animAnchor_, animPoint_;
    QPointF lastDrag_;
    bool dragging_ = false;

    QPixmap fitted_;        // the picture at the fitted size, in device pixels
    bool fittedIsSource_ = false;  // an enlarged picture: drawn scaled
    int fitGeneration_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace vintrelle
