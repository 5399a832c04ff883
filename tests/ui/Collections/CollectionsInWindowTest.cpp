// The three overviews as the application's window shows them: each route
// gets its own screen, drawn to the end, with as many cards as the window's
// title line counts.

#include <gtest/gtest.h>

#include "CollectionsFixture.h"
#include "UI/Collections/AlbumsScreen.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Window/RouteText.h"
#include "VintrelleApp.h"

using namespace collectionstest;

namespace {

size_t cardsShown(const CollectionScreen& screen) {
    size_t n = 0;
    for (const CollectionBlock& b : screen.canvas()->blocks()) n += b.cards.size();
    return n;
}

}  // namespace

TEST(CollectionsInWindow, eachOverviewRouteShowsItsScreenWithTheCountedCards) {
    Fixture f({makeAsset(1, "a.jpg", 1.6e9), makeAsset(2, "b.jpg", 1.6e9 + 60), makeAsset(3, "c.jpg", 1.7e9)});
    f.db().db().run("INSERT INTO trips(id, title, subtitle, start, end, hidden) VALUES(1,'Rome','',?,?,0)",
                    {1.6e9 - 10, 1.6e9 + 100});
    f.db().db().run("INSERT INTO trips(id, title, subtitle, start, end, hidden) VALUES(2,'Oslo','',?,?,1)",
                    {1.7e9 - 10, 1.7e9 + 100});
    // Face grouping stays off: people already found are shown all the same.
    insertPerson(f.db(), 7, "Ana");
    for (int64_t asset : {1, 2, 3}) insertFace(f.db(), asset, 7);
    f.open();
    f.lib.store->createAlbum("Summer", {1, 2});
    f.lib.store->createAlbum("Empty", {});

    auto window = VintrelleApp::makeWindow(f.model);
    window->resize(1100, 700);
    window->show();
    struct Case {
        Route route;
        std::function<bool(QWidget*)> isScreen;
    };
    const std::vector<Case> cases{
        {Route::trips(), [](QWidget* w) { return qobject_cast<TripsScreen*>(w) != nullptr; }},
        {Route::people(), [](QWidget* w) { return qobject_cast<PeopleScreen*>(w) != nullptr; }},
        {Route::albums(), [](QWidget* w) { return qobject_cast<AlbumsScreen*>(w) != nullptr; }},
    };
    for (const Case& c : cases) {
        f.model.navigate(c.route);
        QWidget* shown = window->root().screen();
        ASSERT_TRUE(c.isScreen(shown)) << c.route.text();
        EXPECT_TRUE(window->root().settle(fixtures::patientMs)) << c.route.text();
        const auto* screen = static_cast<CollectionScreen*>(shown);
        EXPECT_FALSE(screen->showsEmptyState()) << c.route.text();
        // The dismissed trip and the New Album tile are no counted cards.
        const size_t extra = c.route == Route::albums() ? 1 : 0;
        EXPECT_EQ(cardsShown(*screen), size_t(routeItemCount(f.model, *f.lib.store)) + extra) << c.route.text();
    }
    EXPECT_EQ(routeItemCount(f.model, *f.lib.store), 2);  // the albums
    window.reset();
}
