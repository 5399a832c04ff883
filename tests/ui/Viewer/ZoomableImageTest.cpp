#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "UI/Viewer/ZoomableImage.h"
#include "store/StoreFixture.h"

using namespace vintrelle;

namespace {

void send(QWidget& w, QEvent::Type type, QPointF at, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent e(type, at, w.mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

ZoomGeometry geometryOf(QSizeF image) {
    ZoomGeometry g;
    g.view = {800, 600};
    g.image = image;
    return g;
}

struct Zoom {
    ZoomableImage w;
    explicit Zoom(QSize image = {4000, 2000}) {
        w.resize(800, 600);
        QImage img(image, QImage::Format_RGB32);
        img.fill(Qt::gray);
        w.setImage(img, 1);
        w.show();
    }
};

}  // namespace

TEST(ZoomGeometry, FitsEveryShapeCentred) {
    struct Case {
        QSizeF image;
        QRectF fitted;
    } cases[] = {
        {{4000, 2000}, {0, 100, 800, 400}},  // landscape: letter-boxed top and bottom
        {{1000, 2000}, {250, 0, 300, 600}},  // portrait
        {{20, 15}, {0, 0, 800, 600}},        // tiny: scaled up
        {{30, 10}, {0, 166.666, 800, 266.666}},
    };
    for (const Case& c : cases) {
        const ZoomGeometry g = geometryOf(c.image);
        const QRectF f = g.fitted();
        EXPECT_NEAR(f.x(), c.fitted.x(), 0.01) << c.image.width();
        EXPECT_NEAR(f.y(), c.fitted.y(), 0.01);
        EXPECT_NEAR(f.width(), c.fitted.width(), 0.01);
        EXPECT_NEAR(f.height(), c.fitted.height(), 0.01);
    }
}

TEST(ZoomGeometry, PansOnlyWhenZoomedAndStaysOnThePicture) {
    ZoomGeometry g = geometryOf({4000, 2000});
    g.zoom(1.01, {400, 300}, {400, 300});
    const QPointF before = g.origin;
    g.pan({50, 50});  // not zoomed yet
    EXPECT_EQ(g.origin, before);

    g.zoom(4, {400, 300}, {400, 300});
    const QPointF at = g.origin;
    g.pan({40, -20});  // the picture follows the pointer
    EXPECT_NEAR(g.origin.x(), at.x() - 10, 1e-9);
    EXPECT_NEAR(g.origin.y(), at.y() + 5, 1e-9);
    g.pan({1e6, 1e6});  // to the top-left corner of the picture, not the letterbox
    EXPECT_NEAR(g.origin.x(), 0, 1e-9);
    EXPECT_NEAR(g.origin.y(), 100, 1e-9);
    g.pan({-1e6, -1e6});
    EXPECT_NEAR(g.origin.x(), 800 - 200, 1e-9);
    EXPECT_NEAR(g.origin.y(), 500 - 150, 1e-9);
    // Where the magnified picture is narrower than the view it stays centred.
    g.zoom(1.2, {400, 300}, {400, 300});
    EXPECT_NEAR(g.origin.y() + 300 / 1.2, 300, 1e-9);
    // The visible part maps back to image pixels.
    g.zoom(2, {0, 100}, {0, 0});
    const auto part = g.visible();
    EXPECT_NEAR(part.source.x(), 0, 1e-9);
    EXPECT_NEAR(part.source.width(), 2000, 1e-6);
    EXPECT_NEAR(part.target.width(), 800, 1e-6);
}

TEST(ZoomableImage, DoubleClickTogglesAboutThePointer) {
    struct Case {
        double start;
        double expected;
    } cases[] = {{1.0, 2.6}, {1.005, 2.6}, {1.02, 1.0}, {8.0, 1.0}};
    const QPointF click(300, 280);
    for (const Case& c : cases) {
        Zoom z;
        z.w.zoomTo(c.start, {400, 300}, false);
        const QPointF point = z.w.geometry().toCanvas(click);
        send(z.w, QEvent::MouseButtonDblClick, click);
        EXPECT_TRUE(z.w.isAnimating());
        EXPECT_TRUE(storetest::spinUntil([&] { return !z.w.isAnimating(); }));
        EXPECT_DOUBLE_EQ(z.w.magnification(), c.expected) << c.start;
        if (c.expected > 1) {
            const QPointF now = z.w.geometry().toView(point);
            EXPECT_NEAR(now.x(), click.x(), 1e-6);
            EXPECT_NEAR(now.y(), click.y(), 1e-6);
        }
    }
}

TEST(ZoomableImage, DraggingPansOnlyAboveTheThreshold) {
    Zoom z;
    z.w.zoomTo(1.01, {400, 300}, false);
    const QPointF start = z.w.geometry().origin;
    send(z.w, QEvent::MouseButtonPress, {400, 300});
    send(z.w, QEvent::MouseMove, {300, 250});
    send(z.w, QEvent::MouseButtonRelease, {300, 250}, Qt::NoButton);
    EXPECT_EQ(z.w.geometry().origin, start);

    z.w.zoomTo(2.6, {400, 300}, false);
    const QPointF zoomed = z.w.geometry().origin;
    send(z.w, QEvent::MouseButtonPress, {400, 300});
    send(z.w, QEvent::MouseMove, {374, 300});
    EXPECT_NEAR(z.w.geometry().origin.x(), zoomed.x() + 10, 1e-9);
}

TEST(ZoomableImage, ResetsForAnotherPhotoOrSizeOnly) {
    Zoom z;
    auto zoomed = [&] {
        z.w.zoomTo(2.6, {400, 300}, false);
        return z.w.magnification() == 2.6;
    };
    QImage full(8000, 4000, QImage::Format_RGB32);
    full.fill(Qt::white);

    ASSERT_TRUE(zoomed());
    z.w.setImage(full, 1);  // the full image of the same photo
    EXPECT_EQ(z.w.magnification(), 2.6);
    z.w.resize(800, 600);  // a layout pass at the same size
    EXPECT_EQ(z.w.magnification(), 2.6);

    z.w.setImage(QImage(), 2);  // another photo, before its picture came
    EXPECT_EQ(z.w.magnification(), 1.0);

    ASSERT_TRUE(zoomed());
    z.w.resize(900, 600);
    EXPECT_EQ(z.w.magnification(), 1.0);
    EXPECT_EQ(z.w.geometry().origin, QPointF());
}
