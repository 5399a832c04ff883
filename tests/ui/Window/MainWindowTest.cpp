// The main window: its commands and their enable rules, shortcuts with the
// menu bar hidden, full screen, the mouse's Back button, the size it opens
// at, and quitting with the settings window open.

#include <gtest/gtest.h>

#include <QAction>
#include <QMenuBar>
#include <QMouseEvent>
#include <QTest>

#include "UI/Kit/Theme.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/StartScreens.h"
#include "WindowTestSupport.h"

namespace {

using namespace windowtest;
using Command = MainWindow::Command;

struct Window {
    World world;  // the model and the library; its own root view stays hidden
    MainWindow window{*world.model};
    int quits = 0;
    explicit Window(std::optional<std::vector<Asset>> assets = std::nullopt) : world(std::move(assets)) {
        world.root->hide();
        window.setQuit([this] { ++quits; });
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window, fixtures::patientMs));
    }
    AppModel& model() { return *world.model; }
};

TEST(MainWindow, CommandsFollowTheState) {
    Window w(std::vector<Asset>{});
    QAction* look = w.window.action(Command::lookForNewPhotos);
    QAction* back = w.window.action(Command::back);
    EXPECT_FALSE(look->isEnabled());
    EXPECT_FALSE(back->isEnabled());
    w.world.open();
    EXPECT_TRUE(look->isEnabled());
    w.model().navigate(Route::trips());
    EXPECT_FALSE(back->isEnabled());
    w.model().push(Route::trip(1));
    EXPECT_TRUE(back->isEnabled());
    back->trigger();
    EXPECT_EQ(w.model().route(), Route::trips());
    EXPECT_FALSE(back->isEnabled());

    QAction* sidebar = w.window.action(Command::toggleSidebar);
    EXPECT_EQ(sidebar->text(), "Hide Sidebar");
    sidebar->trigger();
    EXPECT_FALSE(w.model().sidebarVisible());
    EXPECT_EQ(sidebar->text(), "Show Sidebar");
    w.model().closeStore();
}

TEST(MainWindow, ThumbnailStepsStopAtTheBounds) {
    Window w;
    const struct {
        double from;
        Command command;
        double then, after;
    } cases[] = {
        {300, Command::largerThumbnails, 320, 320},
        {150, Command::largerThumbnails, 178, 206},
        {90, Command::smallerThumbnails, 72, 72},
    };
    for (const auto& c : cases) {
        w.model().setThumbSize(c.from);
        w.window.action(c.command)->trigger();
        EXPECT_EQ(w.model().thumbSize(), c.then);
        w.window.action(c.command)->trigger();
        EXPECT_EQ(w.model().thumbSize(), c.after);
    }
}

TEST(MainWindow, ShortcutsWorkWithTheMenuBarHidden) {
    Window w(std::vector<Asset>{});
    w.world.open();
    w.window.menuBar()->hide();
    const struct {
        QKeyCombination key;
        Route route;
    } go[] = {
        {Qt::CTRL | Qt::Key_2, Route::favorites()}, {Qt::CTRL | Qt::Key_3, Route::trips()},
        {Qt::CTRL | Qt::Key_4, Route::people()},    {Qt::CTRL | Qt::Key_5, Route::places()},
        {Qt::CTRL | Qt::Key_6, Route::albums()},    {Qt::CTRL | Qt::Key_1, Route::library()},
    };
    for (const auto& g : go) {
        QTest::keyClick(&w.window, g.key.key(), g.key.keyboardModifiers());
        EXPECT_EQ(w.model().route(), g.route);
    }
    const int64_t token = w.model().searchFocusToken();
    QTest::keyClick(&w.window, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(w.model().searchFocusToken(), token + 1);
    w.model().setThumbSize(150);
    QTest::keyClick(&w.window, Qt::Key_Equal, Qt::ControlModifier);
    QTest::keyClick(&w.window, Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(&w.window, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(w.model().thumbSize(), 122);
    QTest::keyClick(&w.window, Qt::Key_F9);
    EXPECT_FALSE(w.model().sidebarVisible());

    // Full screen follows the window's state; Back by Alt+Left and by the mouse's Back button.
    QTest::keyClick(&w.window, Qt::Key_F11);
    EXPECT_TRUE(spinUntil([&] { return w.model().isFullScreen(); }));
    QTest::keyClick(&w.window, Qt::Key_F11);
    EXPECT_TRUE(spinUntil([&] { return !w.model().isFullScreen(); }));
    w.model().navigate(Route::trips());
    w.model().push(Route::trip(1));
    w.model().push(Route::trip(2));
    QTest::keyClick(&w.window, Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(w.model().route(), Route::trip(1));
    QWidget* inside = w.window.root().screen();
    const QPointF at(10, 10);
    QMouseEvent press(QEvent::MouseButtonPress, at, inside->mapToGlobal(at), Qt::BackButton, Qt::BackButton,
                      Qt::NoModifier);
    QApplication::sendEvent(inside, &press);
    EXPECT_EQ(w.model().route(), Route::trips());
    w.model().closeStore();
}

// The menu bar is gone in full screen (its keys still work) and dark over
// the viewer's black stage in a light window; with the details beside the
// viewer, or with the viewer closed, it is the window's own again.
TEST(MainWindow, TheMenuBarLeavesFullScreenToThePictureAndDarkensOverTheViewer) {
    Window w(windowtest::someAssets(2));
    w.world.open();
    ASSERT_TRUE(spinUntil([&] { return w.world.lib().store->assets().size() == 2; }));
    QMenuBar* bar = w.window.menuBar();
    const auto barIsDark = [&] { return Theme::isDark(bar) && bar->palette().color(QPalette::Window).lightness() < 60; };
    EXPECT_FALSE(barIsDark());
    w.model().setShowInfo(false);
    w.model().open(w.world.lib().store->assets()[0], w.world.lib().store->assets());
    EXPECT_TRUE(barIsDark());
    w.model().setShowInfo(true);
    EXPECT_FALSE(barIsDark());
    w.model().setShowInfo(false);
    EXPECT_TRUE(barIsDark());

    QTest::keyClick(&w.window, Qt::Key_F11);
    ASSERT_TRUE(spinUntil([&] { return w.model().isFullScreen(); }));
    EXPECT_FALSE(bar->isVisible());
    QTest::keyClick(&w.window, Qt::Key_F11);  // its own key still works without the bar
    ASSERT_TRUE(spinUntil([&] { return !w.model().isFullScreen(); }));
    EXPECT_TRUE(bar->isVisible());

    w.model().closeViewer();
    EXPECT_FALSE(barIsDark());
    w.model().closeStore();
}

TEST(MainWindow, OpensAtItsDefaultSizeWithinTheScreen) {
    EXPECT_EQ(MainWindow::initialSize({0, 0, 2560, 1440}), QSize(1320, 840));
    EXPECT_EQ(MainWindow::initialSize({0, 0, 1280, 800}), QSize(1280, 800));
    EXPECT_EQ(MainWindow::initialSize({0, 0, 800, 500}), QSize(940, 600));
    Window w;
    EXPECT_EQ(w.window.minimumSize(), QSize(940, 600));
}

TEST(MainWindow, ClosingQuitsEvenWithTheSettingsWindowOpen) {
    Window w;
    w.window.showSettings();
    QPointer<QWidget> settings = w.window.settingsWindow();
    ASSERT_TRUE(settings && settings->isVisible());
    EXPECT_TRUE(settings->isWindow());
    w.window.showSettings();  // one instance
    EXPECT_EQ(w.window.settingsWindow(), settings.data());

    // Closing the settings window alone quits nothing.
    settings->close();
    EXPECT_EQ(w.quits, 0);
    w.window.showSettings();
    w.window.action(Command::quit)->trigger();
    EXPECT_EQ(w.quits, 1);
    EXPECT_FALSE(w.window.isVisible());
    EXPECT_FALSE(settings->isVisible());
}

TEST(MainWindow, SettingsOpenCentredOnTheWindowThenWhereTheyWereLeft) {
    const QRect screen(0, 0, 1920, 1080);
    struct Row {
        const char* what;
        QRect main;
        QPoint at;
    };
    const Row rows[] = {
        {"in the middle of the window", {100, 100, 1000, 700}, {350, 250}},
        {"a window hanging off the bottom left", {-400, 700, 1000, 700}, {0, 680}},
        {"a window off the top right", {1500, -300, 1000, 700}, {1420, 0}},
    };
    for (const Row& r : rows) EXPECT_EQ(MainWindow::settingsPosition(r.main, {500, 400}, screen), r.at) << r.what;
    EXPECT_EQ(MainWindow::settingsPosition({100, 100, 1000, 700}, {500, 400}, QRect()), QPoint(350, 250));

    Window w;
    w.window.setGeometry(40, 30, 1000, 700);
    QCoreApplication::processEvents();
    w.window.showSettings();
    QPointer<QWidget> settings = w.window.settingsWindow();
    ASSERT_TRUE(settings);
    const QRect room = w.window.screen()->availableGeometry();
    EXPECT_TRUE(room.contains(settings->frameGeometry()) || settings->height() > room.height());
    EXPECT_EQ(settings->pos(), MainWindow::settingsPosition(w.window.frameGeometry(), settings->size(), room));
    // Moved by the user and closed: it opens there again.
    settings->move(12, 34);
    settings->close();
    w.window.setGeometry(200, 100, 1000, 700);
    w.window.showSettings();
    EXPECT_EQ(w.window.settingsWindow(), settings.data());
    EXPECT_EQ(settings->pos(), QPoint(12, 34));
}

}  // namespace

namespace {

TEST(WindowDragArea, DragMovesTheWindowAndADoubleClickMaximises) {
    Window w;
    w.window.setGeometry(100, 100, 1000, 700);
    QCoreApplication::processEvents();
    // The welcome screen is title bar wherever it is empty.
    QWidget* strip = w.window.root().welcome();
    const QPoint at(20, 20);
    const QPoint start = w.window.pos();
    QTest::mousePress(strip, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseMove(strip, at + QPoint(60, 30));
    QTest::mouseRelease(strip, Qt::LeftButton, Qt::NoModifier, at + QPoint(60, 30));
    // Where the window manager moves the window instead, it ends up there too.
    EXPECT_TRUE(spinUntil([&] { return w.window.pos() == start + QPoint(60, 30); }));

    QTest::mouseDClick(strip, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(spinUntil([&] { return w.window.isMaximized(); }));
    QTest::mouseDClick(strip, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(spinUntil([&] { return !w.window.isMaximized(); }));
    // A press without moving moves nothing.
    const QPoint rest = w.window.pos();
    QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(w.window.pos(), rest);
}

}  // namespace
