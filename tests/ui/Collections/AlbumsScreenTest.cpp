#include <gtest/gtest.h>

#include "CollectionsFixture.h"
#include "UI/Collections/AlbumsScreen.h"
#include "UI/Kit/EmptyState.h"
#include "fixtures/MediaFixtures.h"

using namespace collectionstest;

TEST(AdaptiveColumns, fitAsManyAsTheMinimumAllowsAndCentreThem) {
    struct Case {
        qreal width;
        int count;
        qreal column;
    };
    const ColumnSpec albums{190, 260, 22};
    const std::vector<Case> cases{
        {444, 2, 211},  // a 500-px screen less its padding
        {100, 1, 100},  // narrower than one column: the room there is
        {190, 1, 190},
        {401, 1, 260},  // one column, capped
        {402, 2, 190},
        {1000, 4, 233.5},
    };
    for (const Case& c : cases) {
        const Columns cols = adaptiveColumns(c.width, albums);
        EXPECT_EQ(cols.count, c.count) << c.width;
        EXPECT_DOUBLE_EQ(cols.width, c.column) << c.width;
    }
    // Capped at the maximum, the row sits in the middle.
    const Columns capped = adaptiveColumns(600, {290, 460, 20});
    EXPECT_EQ(capped.count, 2);
    EXPECT_DOUBLE_EQ(capped.width, 290);
    EXPECT_DOUBLE_EQ(capped.left, 0);
    const Columns wide = adaptiveColumns(1000, {128, 168, 18});
    EXPECT_EQ(wide.count, 6);
    EXPECT_DOUBLE_EQ(wide.width, (1000 - 5 * 18) / 6.0);
    const Columns one = adaptiveColumns(300, {128, 168, 18});
    EXPECT_EQ(one.count, 2);
    EXPECT_DOUBLE_EQ(one.x(1) + one.width + one.left, 300);
}

TEST(AlbumsScreen, cardsAtFiveHundredPixelsAndTheNewAlbumTileAfterThem) {
    Fixture f;
    f.open();
    AlbumsScreen screen(f.model);
    screen.resize(500, 600);
    screen.show();
    ASSERT_TRUE(screen.showsEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "Make an album");
    ASSERT_TRUE(screen.emptyState()->actionButton());
    screen.emptyState()->actionButton()->click();
    ASSERT_TRUE(f.model.albumPrompt());
    EXPECT_TRUE(f.model.albumPrompt()->assetIDs.empty());

    const int64_t id = f.lib.store->createAlbum("Summer", {});
    ASSERT_FALSE(screen.showsEmptyState());
    const QRectF card = *screen.canvas()->cardRect(AlbumsScreen::card(id));
    const QRectF tile = *screen.canvas()->cardRect(AlbumsScreen::newAlbumTile());
    for (const QRectF& r : {card, tile}) {
        EXPECT_GE(r.width(), 190);
        EXPECT_LE(r.width(), 260);
    }
    EXPECT_DOUBLE_EQ(tile.top(), card.top());
    EXPECT_GT(tile.left(), card.right());
    EXPECT_NEAR(card.left() - AlbumsScreen::padding, screen.canvas()->viewport()->width() - AlbumsScreen::padding - tile.right(), 1);

    // A click opens the album at the top level; the tile asks for a name.
    f.model.navigate(Route::albums());
    QTest::mouseClick(screen.canvas()->viewport(), Qt::LeftButton, {}, card.center().toPoint());
    EXPECT_EQ(f.model.route(), Route::album(id));
    EXPECT_TRUE(f.model.backStack().empty());
    f.model.setAlbumPrompt(std::nullopt);
    QTest::mouseClick(screen.canvas()->viewport(), Qt::LeftButton, {}, tile.center().toPoint());
    EXPECT_TRUE(f.model.albumPrompt());
}

TEST(AlbumsScreen, coverIsTheLastItemAdded) {
    Fixture f({makeAsset(1, "red.jpg", 1.6e9), makeAsset(2, "blue.jpg", 1.6e9 + 1)});
    f.open();
    const LibraryPaths& paths = f.lib.store->paths();
    ASSERT_TRUE(fixtures::makeJPEG(paths.thumbURL(1), 64, 64, {220, 20, 20}));
    ASSERT_TRUE(fixtures::makeJPEG(paths.thumbURL(2), 64, 64, {20, 20, 220}));
    const int64_t id = f.lib.store->createAlbum("Both", {1, 2});
    AlbumsScreen screen(f.model);
    screen.resize(700, 600);
    screen.show();
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    const QImage cover = screen.canvas()->coverOf(AlbumsScreen::card(id)).toImage();
    ASSERT_FALSE(cover.isNull());
    // The lower-right part: the fixture darkens the top-left quarter.
    const QColor c = cover.pixelColor(cover.width() * 3 / 4, cover.height() * 3 / 4);
    EXPECT_GT(c.blue(), 150);
    EXPECT_LT(c.red(), 80);
    const QRectF card = *screen.canvas()->cardRect(AlbumsScreen::card(id));
    EXPECT_EQ(cover.width(), qRound(card.width() * screen.devicePixelRatioF())) << "scaled once, to the card";

    // Open, Rename…, Delete Album; deleting needs no answer and keeps the photos.
    screen.canvas()->openMenu(AlbumsScreen::card(id), {});
    EXPECT_EQ(f.caught.texts(), "Open|Rename\u2026|Delete Album");
    f.caught.action(QStringLiteral("Rename\u2026"))->trigger();
    ASSERT_TRUE(f.model.renamePrompt());
    EXPECT_EQ(f.model.renamePrompt()->text, "Both");
    f.caught.action(QStringLiteral("Delete Album"))->trigger();
    delete f.caught.menu.data();
    EXPECT_TRUE(screen.showsEmptyState());
    EXPECT_EQ(f.lib.store->assets().size(), 2u);
}

TEST(AlbumsScreen, cardsOfARowShareOneSizeWhateverTheWidth) {
    Fixture f;
    f.open();
    for (int i = 0; i < 6; ++i) f.lib.store->createAlbum("A" + std::to_string(i), {});
    AlbumsScreen screen(f.model);
    screen.show();
    for (int width : {500, 733, 941, 1001, 1213}) {
        screen.resize(width, 600);
        QCoreApplication::processEvents();
        std::vector<QRectF> cards;
        for (const Album& a : f.lib.store->albums()) cards.push_back(*screen.canvas()->cardRect(AlbumsScreen::card(a.id)));
        cards.push_back(*screen.canvas()->cardRect(AlbumsScreen::newAlbumTile()));
        for (const QRectF& r : cards) {
            EXPECT_EQ(r.size(), cards.front().size()) << width;
            EXPECT_EQ(r.left(), std::round(r.left())) << width;
        }
        EXPECT_EQ(cards[1].top(), cards[0].top()) << width;
    }
}
