// Navigation, titles, the search debounce, the viewer, prompts and opening
// and closing a library.

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <filesystem>

#include "AppFixture.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

TEST(Navigation, NotifiesOnlyOnChange) {
    Model m;
    m->setSelection({1});
    SignalCounts n(*m);

    m->navigate(Route::library());  // same route, empty stack: nothing at all
    EXPECT_EQ(m->selection().size(), 1u);
    EXPECT_TRUE(n.counts.empty());

    m->push(Route::trips());
    m->push(Route::trips());  // pushing the current route: nothing
    EXPECT_EQ(n["route"], 1);
    EXPECT_EQ(n["backStack"], 1);
    EXPECT_EQ(n["selection"], 1);  // emptied by the route change
    EXPECT_EQ(m->backStack(), std::vector<Route>{Route::library()});

    m->push(Route::trip(5));
    m->setSelection({2});
    m->back();
    EXPECT_EQ(m->route(), Route::trips());
    EXPECT_TRUE(m->selection().empty());

    // Navigating to the current route with a stack empties stack and selection.
    m->push(Route::trip(5));
    n.reset();
    m->navigate(Route::trip(5));
    EXPECT_TRUE(m->backStack().empty());
    EXPECT_EQ(n["route"], 0);
    EXPECT_EQ(n["backStack"], 1);
    EXPECT_EQ(n["selection"], 1);

    // Back on an empty stack: the stack notifies, the route stays.
    n.reset();
    m->back();
    EXPECT_EQ(m->route(), Route::trip(5));
    EXPECT_EQ(n["backStack"], 1);
    EXPECT_EQ(n["route"], 0);

    // An equal place route built separately is no change.
    m->setRoute(Route::place(PlaceBox{1, 2, 3, 4, "P"}));
    n.reset();
    m->setRoute(Route::place(PlaceBox{1, 2, 3, 4, "P"}));
    EXPECT_EQ(n["route"], 0);

    // Scroll requests and prompts notify on every assignment.
    const ScrollRequest r{"m1", 4};
    m->setScrollRequest(r);
    m->setScrollRequest(r);
    EXPECT_EQ(n["scrollRequest"], 2);
}

TEST(Navigation, SignalsGoOutAfterEveryFieldIsSet) {
    Model m;
    m->push(Route::albums());
    m->setSearch("rome");
    bool consistent = false;
    QObject::connect(&*m, &AppModel::routeChanged, [&] {
        consistent = m->backStack().empty() && m->search().empty() && m->activeSearch().empty() &&
                     m->selection().empty() && m->route() == Route::favorites();
    });
    m->navigate(Route::favorites());
    EXPECT_TRUE(consistent);
}

TEST(Navigation, SidebarRouteAndTitles) {
    Library lib({makeAsset(1, "a.jpg", 100)});
    lib.db().db().run("INSERT INTO trips(id, title, custom_title, start, end) VALUES(1,'Auto',NULL,0,10),(2,'Auto2','',0,10),(3,'Auto3','Mine',0,10)");
    for (auto [id, name] : {std::pair<int64_t, const char*>{7, ""}, {8, "Ana"}}) {
        storetest::insertPerson(lib.db(), id, name);
        storetest::insertFace(lib.db(), 1, id);
    }
    lib.store->engineDidUpdateTrips();
    lib.store->reloadPeople();
    const int64_t album = lib.store->createAlbum("Summer", {});

    Model m;
    EXPECT_EQ(m->routeTitle(), "Vintrelle");  // no store
    m->setStore(lib.store);

    struct Row {
        std::vector<Route> path;  // navigate to the first, push the rest
        Route sidebar;
        std::string title;
    };
    const Row rows[] = {
        {{Route::library()}, Route::library(), "Library"},
        {{Route::favorites()}, Route::favorites(), "Favourites"},
        {{Route::videos()}, Route::videos(), "Videos"},
        {{Route::recent()}, Route::recent(), "Recently Added"},
        {{Route::places()}, Route::places(), "Places"},
        {{Route::people(), Route::person(7)}, Route::people(), "Unnamed Person"},
        {{Route::library(), Route::person(8)}, Route::people(), "Ana"},
        {{Route::person(99)}, Route::people(), "Person"},
        {{Route::trips(), Route::trip(1)}, Route::trips(), "Auto"},
        {{Route::trip(2)}, Route::trips(), "Auto2"},
        {{Route::trip(3)}, Route::trips(), "Mine"},
        {{Route::trip(99)}, Route::trips(), "Trip"},
        {{Route::album(album)}, Route::album(album), "Summer"},
        {{Route::albums(), Route::album(album)}, Route::albums(), "Summer"},
        {{Route::album(99)}, Route::album(99), "Album"},
        {{Route::library(), Route::folder("2019/Summer")}, Route::library(), "Summer"},
        {{Route::folder("2019/Summer/")}, Route::folder("2019/Summer/"), "Summer"},
        {{Route::places(), Route::place(PlaceBox{1, 2, 3, 4, "Lisbon"})}, Route::places(), "Lisbon"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path.back().text());
        m->navigate(row.path[0]);
        for (size_t i = 1; i < row.path.size(); ++i) m->push(row.path[i]);
        EXPECT_EQ(m->sidebarRoute(), row.sidebar);
        EXPECT_EQ(m->routeTitle(), row.title);
    }

    // Renaming the shown album changes the title.
    m->navigate(Route::album(album));
    SignalCounts n(*m);
    lib.store->renameAlbum(album, "Winter");
    EXPECT_EQ(n["routeTitle"], 1);
    EXPECT_EQ(m->routeTitle(), "Winter");
}

TEST(Navigation, SearchDebounce) {
    Model m;
    SignalCounts n(*m);
    QElapsedTimer clock;
    clock.start();
    for (const char* text : {"r", "ro", "rom"}) {
        m->setSearch(text);
        QCoreApplication::processEvents();
    }
    const qint64 typed = clock.elapsed();
    ASSERT_LT(typed, AppModel::kSearchDebounceMs) << "the machine is too slow for this test";
    EXPECT_EQ(m->activeSearch(), "");
    ASSERT_TRUE(spinUntil([&] { return m->activeSearch() == "rom"; }));
    EXPECT_GE(clock.elapsed(), AppModel::kSearchDebounceMs - 5);
    EXPECT_EQ(n["activeSearch"], 1);

    // Clearing applies on the next turn of the event loop, and empties the selection.
    m->setSelection({1});
    m->setSearch("");
    EXPECT_EQ(m->activeSearch(), "rom");
    QCoreApplication::processEvents();
    EXPECT_EQ(m->activeSearch(), "");
    EXPECT_TRUE(m->selection().empty());
    EXPECT_EQ(n["activeSearch"], 2);
}

TEST(Navigation, ViewerOpenStepClose) {
    Model m;
    auto list = std::make_shared<const std::vector<Asset>>(
        std::vector<Asset>{makeAsset(1, "a", 3), makeAsset(2, "b", 2), makeAsset(3, "c", 1)});
    SignalCounts n(*m);

    m->open(makeAsset(9, "z", 0), list);
    EXPECT_FALSE(m->viewer());
    m->open(makeAsset(2, "b", 2), list);
    ASSERT_TRUE(m->viewer());
    EXPECT_EQ(m->viewer()->index, 1);
    EXPECT_EQ(m->viewer()->assets, list);  // shared, not copied
    m->open(makeAsset(2, "b", 2), std::vector<Asset>(*list));  // equal contents: no change
    EXPECT_EQ(n["viewer"], 1);

    EXPECT_TRUE(m->stepViewer(1));
    EXPECT_FALSE(m->stepViewer(1));
    EXPECT_EQ(m->viewer()->index, 2);
    m->focusSearch();  // not while the viewer is open
    EXPECT_EQ(m->searchFocusToken(), 0);

    m->closeViewer();
    EXPECT_FALSE(m->viewer());
    EXPECT_EQ(m->selection(), AppModel::Selection{3});
    m->focusSearch();
    EXPECT_EQ(m->searchFocusToken(), 1);

    // An index outside its list closes without touching the selection.
    m->setViewer(ViewerState{list, 7});
    m->closeViewer();
    EXPECT_FALSE(m->viewer());
    EXPECT_EQ(m->selection(), AppModel::Selection{3});
}

TEST(Navigation, ScrollCursorServesEachRequestOnce) {
    Model m;
    m->requestScroll("m1");
    // A grid made now must not replay the standing request.
    ScrollCursor grid(m->scrollRequest());
    EXPECT_FALSE(grid.take(m->scrollRequest()));
    m->requestScroll("m1");
    EXPECT_EQ(grid.take(m->scrollRequest()), "m1");
    EXPECT_FALSE(grid.take(m->scrollRequest()));
    ScrollCursor fresh(std::nullopt);
    EXPECT_EQ(fresh.take(m->scrollRequest()), "m1");
}

TEST(Library, OpenSwitchAndClose) {
    fixtures::TempDir a, b;
    fs::create_directories(a / ".vintrelle/library.sqlite");  // an index that cannot open
    Model m;

    m->openLibrary(b.path());
    ASSERT_TRUE(m->store());
    EXPECT_EQ(m->libraryPath(), b.path());
    EXPECT_FALSE(m->waitingForPath());
    EXPECT_TRUE(m->store()->hasLoaded());
    EXPECT_EQ(m.settings.open()->value("lastLibrary").toString().toStdString(), b.path());

    // Opening the open library keeps where the window is.
    m->push(Route::videos());
    m->setSearch("x");
    m->openLibrary(b.path());
    EXPECT_EQ(m->route(), Route::videos());
    EXPECT_EQ(m->search(), "x");

    // A prompt left open is dropped with its library, and cannot be answered in the next one.
    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {AppModel::RenamePrompt::Target::Kind::album, 1}, "Rename", "old"});
    const QUuid asked = m->renamePrompt()->id;
    m->openLibrary(a.path());
    EXPECT_FALSE(m->renamePrompt());
    EXPECT_FALSE(m->store());
    EXPECT_FALSE(m->libraryPath());
    ASSERT_TRUE(m->errorMessage());
    EXPECT_EQ(m->errorMessage()->rfind("Couldn\u2019t open \u201c" + fs::path(a.path()).filename().string() + "\u201d. ", 0), 0u);
    EXPECT_EQ(m->route(), Route::library());
    EXPECT_EQ(m.settings.open()->value("lastLibrary").toString().toStdString(), a.path());
    EXPECT_FALSE(m->confirmRenamePrompt(asked, "new"));

    // A missing folder is waited for.
    m->openLibrary(a / "gone");
    EXPECT_EQ(m->waitingForPath(), a / "gone");
    EXPECT_EQ(m->libraryPath(), a / "gone");
    EXPECT_FALSE(m->store());
}

TEST(Library, PromptsAnswerOnlyInTheirLibrary) {
    Library first({makeAsset(1, "a.jpg", 1)});
    Library second({makeAsset(1, "a.jpg", 1)});
    first.store->createAlbum("Old", {});
    second.store->createAlbum("Other", {});
    Model m;
    m->setStore(first.store);

    m->setAlbumPrompt(AppModel::AlbumPrompt{QUuid::createUuid(), {1}});
    const QUuid album = m->albumPrompt()->id;
    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {AppModel::RenamePrompt::Target::Kind::album, 1}, "Rename", "Old"});
    const QUuid rename = m->renamePrompt()->id;

    // The store is swapped under the open prompts: neither may act on it.
    m->setStore(second.store);
    EXPECT_FALSE(m->confirmAlbumPrompt(album, "New"));
    EXPECT_FALSE(m->confirmRenamePrompt(rename, "Renamed"));
    EXPECT_EQ(second.store->albums().size(), 1u);
    EXPECT_EQ(second.store->albums()[0].name, "Other");

    // Asked in the open library, they act once.
    m->setAlbumPrompt(AppModel::AlbumPrompt{QUuid::createUuid(), {1}});
    EXPECT_FALSE(m->confirmAlbumPrompt(album, "New"));  // not the pending prompt
    EXPECT_TRUE(m->confirmAlbumPrompt(m->albumPrompt()->id, "New"));
    EXPECT_FALSE(m->albumPrompt());
    ASSERT_EQ(second.store->albums().size(), 2u);
    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {AppModel::RenamePrompt::Target::Kind::album, second.store->albums()[0].id}, "Rename", ""});
    EXPECT_TRUE(m->confirmRenamePrompt(m->renamePrompt()->id, "Renamed"));
    EXPECT_EQ(first.store->albums()[0].name, "Old");
}

TEST(Library, FavouritesAndUrls) {
    Library lib({makeAsset(1, "2019/a b.jpg", 2), makeAsset(2, "c.jpg", 1)});
    Model m;
    m->toggleFavorite({1});
    m->setStore(lib.store);
    m->toggleFavorite({1, 2});
    EXPECT_TRUE(lib.store->asset(1)->favorite && lib.store->asset(2)->favorite);
    m->toggleFavorite({1, 2, 99});  // an unknown id is not a favourite: set on all
    EXPECT_TRUE(lib.store->asset(1)->favorite);
    m->toggleFavorite({1, 2});
    EXPECT_FALSE(lib.store->asset(1)->favorite || lib.store->asset(2)->favorite);

    const QList<QUrl> urls = m->urls({2, 99, 1});
    ASSERT_EQ(urls.size(), 2);
    EXPECT_EQ(urls[0].toLocalFile().toStdString(), lib.dir / "c.jpg");
    EXPECT_EQ(urls[1].toLocalFile().toStdString(), lib.dir / "2019/a b.jpg");
}

}  // namespace
