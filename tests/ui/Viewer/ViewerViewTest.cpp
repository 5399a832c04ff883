#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QTest>

#include "App/AppModel.h"
#include "Store/FullImageCache.h"
#include "UI/Kit/Buttons.h"
#include "UI/Kit/Theme.h"
#include "UI/Viewer/Filmstrip.h"
#include "UI/Viewer/ViewerView.h"
#include "app/AppFixture.h"
#include "fixtures/LatchedDecoder.h"

using namespace vintrelle;
using apptest::spinUntil;

namespace {

std::vector<Asset> threeAssets() {
    return {apptest::makeAsset(1, "a.jpg", 3e5), apptest::makeAsset(2, "b.jpg", 2e5),
            apptest::makeAsset(3, "c.jpg", 1e5)};
}

// A window with a viewer over it, on a started library of three photos.
struct Screen {
    apptest::Model model;
    apptest::Library lib{threeAssets()};
    fixtures::LatchedDecoder decoder;
    FullImageCache cache{decoder.fn()};
    QWidget window;
    ViewerView* viewer;

    Screen() {
        window.resize(1000, 700);
        viewer = new ViewerView(*model, cache, &window);
        window.show();
        model->setStore(lib.store);
        EXPECT_TRUE(spinUntil([&] { return lib.store->assets().size() == 3; }));
    }
    ~Screen() { decoder.releaseAll(); }
    void open(int64_t index) { model->open(lib.store->assets()[size_t(index)], lib.store->assets()); }
};

}  // namespace

TEST(ViewerView, NeighboursAreNextThenPrevious) {
    auto list = std::make_shared<const AssetList>(threeAssets());
    auto ids = [&](int64_t index) {
        std::vector<int64_t> out;
        for (const Asset& a : ViewerView::neighbours(ViewerState{list, index})) out.push_back(a.id);
        return out;
    };
    EXPECT_EQ(ids(0), (std::vector<int64_t>{2}));
    EXPECT_EQ(ids(1), (std::vector<int64_t>{3, 1}));
    EXPECT_EQ(ids(2), (std::vector<int64_t>{2}));
    auto one = std::make_shared<const AssetList>(std::vector<Asset>{threeAssets()[0]});
    EXPECT_TRUE(ViewerView::neighbours(ViewerState{one, 0}).empty());
}

TEST(ViewerView, OpensOverTheWindowStepsWithoutWrappingAndCloses) {
    Screen s;
    EXPECT_TRUE(s.viewer->isHidden());
    s.open(0);
    EXPECT_FALSE(s.viewer->isHidden());
    EXPECT_EQ(s.viewer->geometry(), s.window.rect());
    EXPECT_EQ(s.viewer->shownAsset()->id, 1);
    // Arrows: none before the first asset, none after the last.
    struct Case {
        int64_t index;
        bool previous, next;
    } cases[] = {{0, false, true}, {1, true, true}, {2, true, false}};
    for (const Case& c : cases) {
        s.model->setViewer(ViewerState{s.model->viewer()->assets, c.index});
        EXPECT_EQ(s.viewer->previousArrow()->isVisible(), c.previous) << c.index;
        EXPECT_EQ(s.viewer->nextArrow()->isVisible(), c.next) << c.index;
    }
    static_cast<QAbstractButton*>(s.viewer->previousArrow())->click();
    EXPECT_EQ(s.model->viewer()->index, 1);
    emit s.viewer->filmstrip()->stepRequested(1);
    EXPECT_EQ(s.model->viewer()->index, 2);
    EXPECT_EQ(s.viewer->photoPane()->shownID(), 3);

    // Back closes, selecting the photo shown, and the viewer fades away.
    s.viewer->topBar()->backButton()->click();
    EXPECT_FALSE(s.model->viewer());
    EXPECT_EQ(s.model->selection(), AppModel::Selection{3});
    ASSERT_TRUE(spinUntil([&] { return s.viewer->isHidden(); }));
    EXPECT_EQ(s.viewer->photoPane()->shownID(), -1);
}

TEST(ViewerView, ShowsTheStoresCurrentRecordAndKeepsAnAssetThatLeft) {
    Screen s;
    s.open(1);
    EXPECT_EQ(s.viewer->topBar()->favouriteButton()->symbol(), "heart");
    s.viewer->topBar()->favouriteButton()->click();
    EXPECT_TRUE(s.viewer->shownAsset()->favorite);
    EXPECT_EQ(s.viewer->topBar()->favouriteButton()->symbol(), "heart.fill");
    EXPECT_EQ(s.viewer->topBar()->favouriteButton()->symbolColor(), Theme::color(ThemeColor::accent, true));

    s.lib.store->engineDidRemove({2});
    EXPECT_EQ(s.viewer->shownAsset()->id, 2);  // from the list's copy
    EXPECT_EQ(s.viewer->photoPane()->shownID(), 2);
}

TEST(ViewerView, DetailsSlideInAndTheStageIsDarkOnlyWithoutThem) {
    Screen s;
    Theme::setDark(false);
    s.model->setShowInfo(false);
    s.open(0);
    EXPECT_TRUE(Theme::isDark(s.viewer->topBar()));
    EXPECT_TRUE(Theme::isDark(s.viewer->filmstrip()));
    EXPECT_EQ(s.viewer->detailsColumnWidth(), 0);

    s.viewer->topBar()->detailsButton()->click();
    EXPECT_TRUE(s.model->showInfo());
    EXPECT_FALSE(Theme::isDark(s.viewer->topBar()));  // the window's own appearance
    EXPECT_EQ(s.viewer->topBar()->detailsButton()->symbolColor(), Theme::color(ThemeColor::accent, false));
    EXPECT_LT(s.viewer->detailsColumnWidth(), ViewerView::detailsWidth + 1);
    ASSERT_TRUE(spinUntil([&] { return s.viewer->detailsColumnWidth() == ViewerView::detailsWidth + 1; }));
    EXPECT_EQ(s.viewer->detailsContainer()->width(), ViewerView::detailsWidth);

    s.viewer->topBar()->detailsButton()->click();
    ASSERT_TRUE(spinUntil([&] { return s.viewer->detailsColumnWidth() == 0; }));
    EXPECT_TRUE(Theme::isDark(s.viewer->topBar()));
}

// The bar is a window-drag strip like every column's top: the window moves
// only once the pointer moves, so both presses of a double click reach the
// bar and it maximises and restores the window.
TEST(ViewerTopBar, ItsEmptyPartsMoveTheWindowAndADoubleClickMaximises) {
    Screen s;
    s.window.setGeometry(100, 100, 1000, 700);
    s.open(0);
    QWidget* bar = s.viewer->topBar();
    const QPoint at(bar->width() / 2, 6);  // above the title, which lets clicks through
    ASSERT_EQ(bar->childAt(at), nullptr);
    const QPoint rest = s.window.pos();
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(s.window.pos(), rest);

    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(spinUntil([&] { return s.window.isMaximized(); }));
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(spinUntil([&] { return !s.window.isMaximized(); }));

    const QPoint start = s.window.pos();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseMove(bar, at + QPoint(60, 30));
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, at + QPoint(60, 30));
    EXPECT_TRUE(spinUntil([&] { return s.window.pos() == start + QPoint(60, 30); }));
}

TEST(ViewerTopBar, DetailNamesTheTripAndTheMenuOffersAlbums) {
    Screen s;
    Trip trip;
    trip.autoTitle = "Lisbon";
    trip.start = 1.5e5;
    trip.end = 2.5e5;
    trip.id = s.lib.db().insertTrip(trip);
    trip.customTitle = "";
    s.lib.db().updateTrip(trip);
    s.lib.store->engineDidUpdateTrips();
    const int64_t album = s.lib.store->createAlbum("Best & Brightest", {});
    s.open(1);  // taken 2e5: inside the trip
    ViewerTopBar* bar = s.viewer->topBar();
    EXPECT_TRUE(bar->detailText().endsWith(QStringLiteral("  \u00B7  Lisbon"))) << bar->detailText().toStdString();
    trip.customTitle = "Our Trip";
    s.lib.db().updateTrip(trip);
    s.lib.store->engineDidUpdateTrips();
    EXPECT_TRUE(bar->detailText().endsWith(QStringLiteral("Our Trip")));
    s.open(0);  // outside any trip: the time only
    EXPECT_FALSE(bar->detailText().contains(QStringLiteral("\u00B7")));

    std::vector<int64_t> copied;
    ViewerAssetActions actions;
    actions.copyFiles = [&](const std::vector<int64_t>& ids) { copied = ids; };
    bar->setActions(actions);
    std::unique_ptr<QMenu> menu(bar->makeOverflowMenu());
    QStringList titles;
    for (QAction* a : menu->actions()) titles << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(titles, (QStringList{"Open in Default App", "Copy", "Export a Copy\u2026", "-", "New Album with This\u2026",
                                   "Add to \u201CBest && Brightest\u201D"}));
    EXPECT_FALSE(menu->actions()[0]->isEnabled());  // no desktop action given
    menu->actions()[1]->trigger();
    EXPECT_EQ(copied, std::vector<int64_t>{1});
    menu->actions()[4]->trigger();
    ASSERT_TRUE(s.model->albumPrompt());
    EXPECT_EQ(s.model->albumPrompt()->assetIDs, std::vector<int64_t>{1});
    menu->actions()[5]->trigger();
    EXPECT_EQ(s.lib.store->album(album)->assetIDs, std::vector<int64_t>{1});
    EXPECT_TRUE(s.model->viewer());  // the viewer stays on the same asset
    EXPECT_EQ(s.viewer->shownAsset()->id, 1);
    EXPECT_FALSE(bar->shareButton()->isEnabled());
}
