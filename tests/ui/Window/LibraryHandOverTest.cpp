// A second launch hands over another library while menus and sheets of the
// open one are on screen: they close with it, shown as the application shows
// them (popped up, opened), not caught by a test's presenter.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QTest>

#include <string>
#include <utility>
#include <vector>

#include "App/LaunchRequest.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/MessageSheet.h"
#include "app/AppFixture.h"

using namespace vintrelle;

namespace {

// The popup menu on top now, if any.
QMenu* shownMenu() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }

QAction* item(QMenu& menu, const QString& text) {
    for (QAction* a : menu.actions())
        if (a->text() == text) return a;
    return nullptr;
}

// Something of the library on screen: its photos in a grid, its trips, an
// album's header, in a window of their own.
struct Open {
    apptest::Model& m;
    apptest::Library lib{{apptest::makeAsset(1, "a.jpg", 1.65e9), apptest::makeAsset(2, "b.jpg", 1.65e9 + 60)}};
    QWidget window;
    TripsScreen* trips;
    AlbumHeader* header;

    explicit Open(apptest::Model& model) : m(model) {
        lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Lisbon', 1.6e9, 1.7e9)");
        lib.store->engineDidUpdateTrips();
        const int64_t album = lib.store->createAlbum("Summer", {1});
        m->setStore(lib.store);
        window.resize(900, 700);
        trips = new TripsScreen(*m, &window);
        trips->resize(900, 500);
        header = new AlbumHeader(*m, *lib.store, *lib.store->album(album), &window);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    ~Open() { m->closeStore(); }
};

void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

// Each is opened as the application opens it; a person has one open at a
// time, here they are all open at once when the other library comes.
TEST(LibraryHandOver, TheMenusAndSheetsOfALibraryCloseWithIt) {
    apptest::Model m;
    Open o(m);
    std::vector<std::pair<std::string, QPointer<QWidget>>> shown;
    auto opened = [&](const std::string& what, QWidget* w) {
        settle();
        EXPECT_TRUE(w && w->isVisible()) << what;
        shown.emplace_back(what, w);
    };
    opened("the album's deletion sheet", o.header->confirmDelete());
    o.trips->canvas()->openMenu(TripsScreen::card(1), o.window.mapToGlobal(QPoint(200, 200)));
    opened("a trip card's menu", shownMenu());
    m->share({1, 2});
    opened("the share menu", shownMenu());
    m->showContextMenu(*o.lib.store->asset(1), {1}, o.window.mapToGlobal(QPoint(100, 100)));
    QMenu* grid = shownMenu();
    opened("the grid's menu", grid);
    QAction* albums = grid ? item(*grid, "Add to Album") : nullptr;
    ASSERT_TRUE(albums && albums->menu());
    grid->setActiveAction(albums);
    opened("its album submenu", albums->menu());

    // A second launch hands over a folder not seen before.
    fixtures::TempDir other;
    m->openLaunchRequest(LaunchRequest{std::nullopt, {other.path()}});
    settle();
    ASSERT_TRUE(m->store() && m->store() != o.lib.store);
    for (const auto& [what, w] : shown) EXPECT_TRUE(!w || !w->isVisible()) << what << " is still on screen";
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}
