// The places map as the application's window shows it: a double-click on a
// bubble, given to the window as a person's two clicks, and the keyboard
// when the route opens.

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QSettings>
#include <QTest>
#include <QThreadPool>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/AssetGridScreen.h"
#include "UI/Places/MapWidget.h"
#include "UI/Places/PlaceBubbles.h"
#include "UI/Places/PlacesScreen.h"
#include "VintrelleApp.h"
#include "store/StoreFixture.h"

using namespace vintrelle;
using storetest::makeAsset;
using storetest::spinUntil;

namespace {

struct Fixture {
    fixtures::TempDir settingsDir;
    AppModel model{std::make_unique<QSettings>(QString::fromStdString(settingsDir / "settings.conf"),
                                               QSettings::IniFormat)};
    storetest::Library lib;
    std::unique_ptr<MainWindow> window;

    Fixture() {
        // Enough photos of one place that the grid it opens fills the window.
        std::vector<Asset> photos;
        for (int64_t id = 1; id <= 80; ++id) {
            Asset a = makeAsset(id, "lisbon/" + std::to_string(id) + ".jpg", 1.6e9 + double(id));
            a.lat = 38.72;
            a.lon = -9.14;
            photos.push_back(a);
        }
        lib.add(photos);
        lib.store->start(false);
        spinUntil([&] { return lib.store->hasLoaded(); });
        model.setStore(lib.store);
        window = VintrelleApp::makeWindow(model);
        window->resize(1100, 700);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get(), fixtures::patientMs));
    }
    ~Fixture() {
        window.reset();
        model.closeStore();
        QThreadPool::globalInstance()->waitForDone(fixtures::patientMs);
    }
    PlacesScreen* places() { return qobject_cast<PlacesScreen*>(window->root().screen()); }
};

}  // namespace

TEST(PlacesInWindow, aDoubleClickOnABubbleOpensItsGridOnceAndNothingElse) {
    Fixture f;
    f.model.navigate(Route::places());
    PlacesScreen* places = f.places();
    ASSERT_TRUE(places);
    // Named at once, as the offline geocoder does: the grid is open before the second click.
    places->setLookupSource([](LibraryStore&) -> PlacesScreen::Lookup {
        return [](double, double) { return std::optional<PlaceName>(PlaceName{"Lisbon", {}, {}}); };
    });
    // The bubble off the middle of the map, so the grid's photo under it is
    // no gap between two.
    places->zoomTo(38.72067, -9.14126, 16);
    ASSERT_EQ(places->clusters().size(), 1u);
    const PlaceCluster cluster = places->clusters()[0];
    const QRectF bubble = PlaceBubbleLayer::bubbleRect(cluster, places->map()->camera());
    QWindow* handle = f.window->windowHandle();
    const QPointF at = places->map()->mapTo(f.window.get(), bubble.center().toPoint());
    const QPointF global = f.window->mapToGlobal(at.toPoint());
    // Times of the events' own clock, a double-click apart; far past any
    // time the other tests' clicks used, so nothing pairs with them.
    static int clock = 1'000'000'000;
    clock += 100000;
    auto send = [&](QEvent::Type type, Qt::MouseButtons buttons, int t) {
        qt_handleMouseEvent(handle, at, global, buttons, Qt::LeftButton, type, Qt::NoModifier, clock + t);
        QCoreApplication::processEvents();
    };
    send(QEvent::MouseButtonPress, Qt::LeftButton, 0);
    send(QEvent::MouseButtonRelease, Qt::NoButton, 60);
    ASSERT_TRUE(spinUntil([&] { return f.model.route().kind() == Route::Kind::place; }));
    f.window->root().settle(fixtures::patientMs);
    auto* grid = qobject_cast<AssetGridScreen*>(f.window->root().screen());
    ASSERT_TRUE(grid);
    ASSERT_TRUE(grid->geometry().contains(grid->parentWidget()->mapFrom(f.window.get(), at.toPoint())));
    // The rest of the double-click lands on the place's grid, over a photo.
    send(QEvent::MouseButtonPress, Qt::LeftButton, 200);
    send(QEvent::MouseButtonRelease, Qt::NoButton, 260);
    QCoreApplication::processEvents();
    EXPECT_FALSE(f.model.viewer());
    EXPECT_TRUE(f.model.selection().empty());
    EXPECT_EQ(f.model.backStack(), std::vector<Route>{Route::places()});
    EXPECT_EQ(f.model.route().box().title, "Lisbon");

    // Later clicks there are the grid's again: a double-click opens the photo.
    send(QEvent::MouseButtonPress, Qt::LeftButton, 2000);
    send(QEvent::MouseButtonRelease, Qt::NoButton, 2060);
    send(QEvent::MouseButtonPress, Qt::LeftButton, 2200);
    send(QEvent::MouseButtonRelease, Qt::NoButton, 2260);
    EXPECT_TRUE(f.model.viewer());
}

TEST(PlacesInWindow, theMapTakesTheKeyboardWhenItsRouteOpens) {
    Fixture f;
    f.model.navigate(Route::library());
    f.window->root().settle(fixtures::patientMs);
    QWidget* grid = f.window->root().screen();
    ASSERT_TRUE(grid);
    grid->setFocus();
    f.window->action(MainWindow::Command::goPlaces)->trigger();
    PlacesScreen* places = f.places();
    ASSERT_TRUE(places);
    EXPECT_EQ(QApplication::focusWidget(), places->map());
    // The keys work at once: + zooms in a level.
    const double zoom = places->map()->camera().zoom();
    QTest::keyClick(f.window->windowHandle(), Qt::Key_Plus);
    EXPECT_TRUE(spinUntil([&] { return places->map()->camera().zoom() > zoom + 0.99; }));

    // From the search field too, which the map's route does not show.
    f.model.navigate(Route::library());
    auto* search = f.window->root().topBar()->findChild<QLineEdit*>();
    ASSERT_TRUE(search);
    search->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), search);
    f.window->action(MainWindow::Command::goPlaces)->trigger();
    ASSERT_TRUE(f.places());
    EXPECT_EQ(QApplication::focusWidget(), f.places()->map());
}
