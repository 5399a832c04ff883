// The keyboard and the place of the screens in the application's window:
// the grid or the list of cards takes the keyboard when it appears, Escape
// in the search field hands it back, Escape in the viewer leaves its full
// screen before closing it, and Back returns to where a screen was.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "UI/Collections/TripsScreen.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Buttons.h"
#include "UI/Viewer/VideoControls.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "UI/Viewer/ViewerView.h"
#include "UI/Window/SidebarView.h"
#include "VintrelleApp.h"
#include "WindowTestSupport.h"
#include "fixtures/MediaFixtures.h"

namespace {

using namespace windowtest;

// 300 photos over 30 trips of ten, each trip a day apart.
std::vector<Asset> tripPhotos() {
    std::vector<Asset> list;
    for (int i = 1; i <= 300; ++i)
        list.push_back(apptest::makeAsset(i, "trips/IMG_" + std::to_string(i) + ".jpg", 1.6e9 + (i / 10) * 86400.0 + i));
    return list;
}

struct App {
    World world{tripPhotos()};
    std::unique_ptr<MainWindow> window;
    App() {
        for (int t = 0; t < 30; ++t) {
            const double start = 1.6e9 + t * 86400.0;
            world.lib().db().db().run("INSERT INTO trips(id, title, custom_title, start, end) VALUES(?,?,NULL,?,?)",
                                      {int64_t(t + 1), "Trip " + std::to_string(t + 1), start, start + 86000});
        }
        world.lib().store->engineDidUpdateTrips();
        world.root->hide();
        window = VintrelleApp::makeWindow(*world.model);
        window->setQuit([] {});
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get(), fixtures::patientMs));
        world.open();
        settle();
    }
    ~App() {
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    AppModel& model() { return *world.model; }
    RootView& root() { return window->root(); }
    void settle() {
        root().finishAnimations();
        EXPECT_TRUE(root().settle(fixtures::patientMs));
        QCoreApplication::processEvents();
    }
    AssetGridScreen* gridScreen() { return qobject_cast<AssetGridScreen*>(root().screen()); }
    PhotoGridView* grid() { return gridScreen() ? gridScreen()->grid() : nullptr; }
    CollectionCanvas* cards() {
        auto* trips = qobject_cast<TripsScreen*>(root().screen());
        return trips ? trips->canvas() : nullptr;
    }
    QLineEdit* search() { return qobject_cast<TopBar*>(root().topBar())->searchField()->edit(); }
    bool keyboardAt(QWidget* w) {
        return w && spinUntil([&] { return QApplication::focusWidget() == w; });
    }
};

TEST(KeysInWindow, TheShownGridOrListHasTheKeyboard) {
    App app;
    // After launch: Right selects the first photo, Return opens it.
    ASSERT_TRUE(app.keyboardAt(app.grid()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    ASSERT_TRUE(spinUntil([&] { return app.model().selection().size() == 1; }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(app.model().viewer());
    // Closing the viewer gives it back to the grid.
    app.model().closeViewer();
    EXPECT_TRUE(app.keyboardAt(app.grid()));

    // The overviews' lists and the grids, as Ctrl+1…6 and the sidebar go there.
    app.model().navigate(Route::trips());
    app.settle();
    EXPECT_TRUE(app.keyboardAt(app.cards()));
    app.model().navigate(Route::favorites());  // nothing to show: the empty state keeps nothing
    app.settle();
    app.model().navigate(Route::library());
    app.settle();
    EXPECT_TRUE(app.keyboardAt(app.grid()));

    // A text field keeps the keyboard while the route changes under it...
    app.model().focusSearch();
    ASSERT_TRUE(app.keyboardAt(app.search()));
    QTest::keyClicks(app.search(), "Trip");
    app.model().navigate(Route::videos());
    app.settle();
    EXPECT_EQ(QApplication::focusWidget(), app.search());
    // ...until Escape hands it back.
    app.model().navigate(Route::library());
    app.settle();
    QTest::keyClick(app.search(), Qt::Key_Escape);
    EXPECT_TRUE(app.keyboardAt(app.grid()));
    EXPECT_TRUE(app.model().search().empty());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_TRUE(spinUntil([&] { return app.model().selection().size() == 1; }));

    // A dialog over the window takes the keyboard; the screen has it again after.
    app.model().setErrorMessage("Something could not be copied.");
    QCoreApplication::processEvents();
    ASSERT_TRUE(app.root().alert());
    app.model().navigate(Route::trips());
    app.settle();
    app.root().alert()->confirmButton()->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(app.window->focusWidget(), app.cards());
}

// A click on a sidebar row, as a person goes from page to page: the grid or
// list shown after it answers the keys, whichever empty page (favourites,
// an album, videos) the click left.
TEST(KeysInWindow, TheKeysWorkAfterEveryClickInTheSidebar) {
    App app;
    const int64_t album = app.world.lib().store->createAlbum("Empty", {});
    app.settle();
    auto* sidebar = qobject_cast<SidebarView*>(app.root().sidebar());
    ASSERT_TRUE(sidebar && sidebar->list());
    auto clickRow = [&](const char* title) {
        const SidebarRow* row = sidebar->row(QString::fromUtf8(title));
        ASSERT_TRUE(row) << title;
        QTest::mouseClick(sidebar->list(), Qt::LeftButton, {}, row->rect.center().toPoint());
        app.settle();
    };
    auto rightSelectsTheFirstPhoto = [&](const char* from) {
        app.model().clearSelection();
        ASSERT_TRUE(app.keyboardAt(app.grid())) << "after " << from;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
        EXPECT_TRUE(spinUntil([&] { return app.model().selection().size() == 1; })) << "after " << from;
    };
    const std::pair<const char*, Route> emptyPages[] = {
        {"Favourites", Route::favorites()}, {"Empty", Route::album(album)}, {"Videos", Route::videos()}};
    for (const auto& [title, route] : emptyPages) {
        clickRow(title);
        ASSERT_EQ(app.model().route(), route);
        ASSERT_TRUE(app.gridScreen() && app.gridScreen()->isShowingEmptyState()) << title;
        clickRow("Library");
        rightSelectsTheFirstPhoto(title);
        // To an overview and back from it, by the sidebar too.
        clickRow(title);
        clickRow("Trips");
        EXPECT_TRUE(app.keyboardAt(app.cards())) << title;
        clickRow("Library");
        rightSelectsTheFirstPhoto("Trips");
    }
    // Return opens what the keys selected.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(app.model().viewer());
}

TEST(KeysInWindow, BackReturnsToWhereTheOverviewAndTheGridWere) {
    App app;
    // An overview: the list scrolled, a trip opened from it, and Back.
    app.model().navigate(Route::trips());
    app.settle();
    ASSERT_TRUE(app.cards());
    const int maxY = app.cards()->verticalScrollBar()->maximum();
    ASSERT_GT(maxY, 1000);
    app.cards()->verticalScrollBar()->setValue(maxY - 300);
    app.model().push(Route::trip(12));
    app.settle();
    ASSERT_TRUE(app.grid());
    app.model().back();
    app.settle();
    ASSERT_TRUE(app.cards());
    EXPECT_EQ(app.cards()->verticalScrollBar()->value(), maxY - 300);
    // Reached by the sidebar instead, it starts at the top.
    app.model().navigate(Route::library());
    app.model().navigate(Route::trips());
    app.settle();
    EXPECT_EQ(app.cards()->verticalScrollBar()->value(), 0);

    // A grid: the library scrolled, a trip opened from the viewer's details, and Back.
    app.model().navigate(Route::library());
    app.settle();
    PhotoGridView* grid = app.grid();
    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum() / 2);
    const std::optional<ScreenPlace> place = grid->place();
    ASSERT_TRUE(place && place->itemID);
    app.model().push(Route::trip(3));
    app.settle();
    EXPECT_EQ(app.grid()->content()->flat->size(), 10u);
    app.model().back();
    app.settle();
    const std::optional<ScreenPlace> again = app.grid()->place();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->itemID, place->itemID);
    EXPECT_NEAR(again->offset, place->offset, 1);
}

// Full screen entered in the viewer, by the player's button or by F11, is
// the viewer's: Escape leaves it and only the next Escape closes the viewer.
// Full screen from before the viewer stays when Escape closes the viewer.
TEST(KeysInWindow, EscapeLeavesTheViewersFullScreenBeforeClosingTheViewer) {
    Asset video = apptest::makeAsset(1, "clip.mp4", 1.6e9);
    video.kind = MediaKind::video;
    video.width = 160, video.height = 120;
    World world{std::vector<Asset>{video, apptest::makeAsset(2, "a.jpg", 1.6e9 + 1)}};
    ASSERT_TRUE(fixtures::makeClip(world.lib().dir / "clip.mp4"));
    world.root->hide();
    const std::unique_ptr<MainWindow> window = VintrelleApp::makeWindow(*world.model);
    window->setQuit([] {});
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    world.open();
    AppModel& m = *world.model;
    ASSERT_TRUE(spinUntil([&] { return world.lib().store->assets().size() == 2; }));
    const AssetList assets = world.lib().store->assets();
    const Asset clip = *world.lib().store->asset(1);
    const Asset photo = *world.lib().store->asset(2);
    auto escape = [&] { QTest::keyClick(window.get(), Qt::Key_Escape); };
    auto fullScreen = [&](bool on) { return spinUntil([&] { return m.isFullScreen() == on; }); };
    auto leaveThenClose = [&](const char* how) {
        ASSERT_TRUE(fullScreen(true)) << how;
        escape();
        ASSERT_TRUE(fullScreen(false)) << how;
        EXPECT_TRUE(m.viewer()) << how;
        escape();
        EXPECT_FALSE(m.viewer()) << how;
    };

    m.open(clip, assets);
    auto* viewer = qobject_cast<ViewerView*>(window->root().viewer());
    ASSERT_TRUE(viewer);
    auto* player = qobject_cast<VideoPlayerView*>(viewer->videoPlayer());
    ASSERT_TRUE(player);
    player->controls()->fullScreenButton()->click();
    leaveThenClose("the player's button");
    m.open(photo, assets);
    QTest::keyClick(window.get(), Qt::Key_F11);
    leaveThenClose("F11 in the viewer");

    QTest::keyClick(window.get(), Qt::Key_F11);
    ASSERT_TRUE(fullScreen(true));
    m.open(photo, assets);
    escape();
    EXPECT_FALSE(m.viewer());
    EXPECT_TRUE(m.isFullScreen());
    QTest::keyClick(window.get(), Qt::Key_F11);
    EXPECT_TRUE(fullScreen(false));
}

}  // namespace
