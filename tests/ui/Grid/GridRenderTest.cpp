#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QScrollBar>

#include "store/StoreFixture.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Theme.h"
#include "ui/Grid/GridTestSupport.h"

using namespace vintrelle;
using namespace gridtest;

TEST(GridCells, BadgesFollowKindWidthAndSelection) {
    Asset video = asset(1);
    video.kind = MediaKind::video;
    video.duration = 75;
    Asset live = asset(2);
    live.liveVideo = "IMG_2.MOV";
    Asset favourite = asset(3);
    favourite.favorite = true;
    struct Case {
        const Asset* a;
        double width;
        bool selected;
        bool scrim, heart, live, duration;
    } cases[] = {
        {&video, 83, false, false, false, false, false},  // too narrow for the duration
        {&video, 84, false, true, false, false, true},
        {&live, 84, false, false, false, true, false},    // the live badge needs no scrim
        {&live, 83, false, false, false, false, false},
        {&favourite, 60, false, true, true, false, false},
        {&favourite, 150, true, true, true, false, false},
    };
    for (const Case& c : cases) {
        const CellLook l = cellLook(QRectF(100, 200, c.width, c.width), c.selected, *c.a);
        EXPECT_EQ(l.scrim, c.scrim) << c.a->id << " " << c.width;
        EXPECT_EQ(l.heart, c.heart) << c.a->id << " " << c.width;
        EXPECT_EQ(l.live, c.live) << c.a->id << " " << c.width;
        EXPECT_EQ(l.duration, c.duration) << c.a->id << " " << c.width;
    }

    const CellLook v = cellLook(QRectF(0, 0, 150, 150), false, video);
    EXPECT_EQ(v.durationText, "1:15");
    EXPECT_DOUBLE_EQ(150 - v.playRect.left(), 45.4);
    EXPECT_EQ(v.durationRect, QRectF(80, 131, 64, 14));
    EXPECT_EQ(v.scrimRect, QRectF(0, 116, 150, 34));
    const CellLook s = cellLook(QRectF(0, 0, 150, 150), true, favourite);
    EXPECT_EQ(s.image, QRectF(6, 6, 138, 138));  // the ring goes round the full cell
    EXPECT_EQ(s.heartRect, QRectF(12, 126, 13, 12));
}

// An open library's thumbnail cache over real files: pictures, the placeholder for
// missing, unreadable and not-yet-made thumbnails, the ring, both appearances.
TEST(GridRender, PaintsThumbnailsPlaceholdersAndSelection) {
    storetest::Library library;
    const GridLibrary lib = GridLibrary::of(*library.store);
    auto save = [&](int64_t id, QColor c) {
        const QString path = QString::fromStdString(lib.paths.thumbURL(id));
        QDir().mkpath(QFileInfo(path).path());
        ASSERT_TRUE(solid(c).save(path, "JPG", 95));
    };
    save(1, QColor(220, 40, 40));
    save(2, QColor(40, 200, 60));
    fixtures::writeFile(lib.paths.thumbURL(4), "not a jpeg at all");  // unreadable; 5 has no file

    auto c = content({6}, 1);
    auto flat = std::make_shared<std::vector<Asset>>(c->flat->toVector());
    (*flat)[2].thumbState = 0;  // not made yet
    (*flat)[1].favorite = true;
    (*flat)[3].kind = MediaKind::video;  // badges over a placeholder
    (*flat)[3].duration = 3725;
    (*flat)[0].liveVideo = "IMG_1.MOV";
    auto shown = std::make_shared<GridContent>(*c);
    shown->flat = std::make_shared<const AssetList>(*flat);

    PhotoGridView grid(lib, {}, std::nullopt, nullptr, std::make_shared<GridPixmapCache>());
    grid.resize(1000, 400);
    grid.show();
    grid.setContent(shown);
    grid.setSelection(std::vector<int64_t>{2});
    ASSERT_TRUE(grid.waitForThumbnails(fixtures::patientMs));

    const auto frame = [&](size_t pos) { return grid.gridLayout().itemFrame(grid.positions().index(pos)); };
    const auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 &&
               std::abs(a.blue() - b.blue()) < 12;
    };
    for (bool dark : {false, true}) {
        Theme::setDark(dark);
        QCoreApplication::processEvents();
        const QImage img = grid.grab().toImage();
        const auto at = [&](QPointF p) { return img.pixelColor(p.toPoint()); };
        EXPECT_TRUE(near(at(frame(0).center()), QColor(220, 40, 40))) << dark;
        EXPECT_TRUE(near(at(frame(1).center()), QColor(40, 200, 60))) << dark;
        // The ring sits in the band the shrunken picture leaves free.
        EXPECT_TRUE(near(at(QPointF(frame(1).left() + 1, frame(1).center().y())), Theme::accent())) << dark;
        EXPECT_TRUE(near(at(QPointF(frame(1).left() + 4, frame(1).center().y())), Theme::canvas())) << dark;
        for (size_t pos : {2, 3, 4}) EXPECT_EQ(at(frame(pos).center()), Theme::placeholder()) << pos << dark;
        EXPECT_EQ(at(QPointF(frame(0).right() + 2, frame(0).center().y())), Theme::canvas()) << dark;
    }
    Theme::setDark(false);
}

// A stand-in looks exactly as it would drawn scaled into the cell, faded or
// not, wherever the cell lies, whether it was made for the cell's pixels or
// for another size.
TEST(GridRender, StandInsPaintTheSamePixelsAsScaledOnes) {
    QImage picture(480, 360, QImage::Format_RGB32);
    {
        QPainter p(&picture);
        QLinearGradient g(0, 0, 480, 360);
        g.setColorAt(0, QColor(200, 40, 30));
        g.setColorAt(1, QColor(20, 90, 220));
        p.fillRect(picture.rect(), g);
        for (int k = 0; k < 40; ++k) p.fillRect(k * 12, (k * 53) % 340, 5, 9, QColor::fromHsv(k * 9, 200, 240));
    }
    struct Case {
        QPointF at;
        double side, opacity;
        int pixels;  // the stand-in's side
    } cases[] = {{{10, 20}, 150, 1, 150},   {{10, 20}, 150, 0.45, 150}, {{11, 33}, 151, 0.8, 151},
                 {{10.5, 20}, 150, 1, 150}, {{10, 20.25}, 150, 0.6, 150}, {{10, 20}, 150, 1, 112}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.at.x() << "," << c.at.y() << " " << c.opacity << " " << c.pixels);
        const CellLook look = cellLook(QRectF(c.at, QSizeF(c.side, c.side)), false, asset(5));
        const QRectF r = look.image;
        const QPixmap standIn = QPixmap::fromImage(roundedThumbnail(picture, c.pixels, CellLook::cornerRadius));
        auto paint = [&](bool byHand) {
            QImage canvas(220, 220, QImage::Format_RGB32);
            canvas.fill(QColor(236, 236, 240));
            QPainter p(&canvas);
            p.translate(0, -7);
            GridPainter painter;
            GridPicture pic;
            pic.opacity = c.opacity;
            if (!byHand) pic.fallback = standIn;
            painter.paintCell(p, look, pic);
            if (byHand) {
                p.setOpacity(c.opacity);
                p.setRenderHint(QPainter::SmoothPixmapTransform);
                p.drawPixmap(r, standIn, QRectF(standIn.rect()));
            }
            return canvas;
        };
        EXPECT_TRUE(paint(false) == paint(true));
    }
}
