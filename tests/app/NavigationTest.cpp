// Navigation, titles, the search debounce, the viewer, prompts and opening
// and closing a library.

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <filesystem>
#include <vector>

#include "AppFixture.h"

using namespace apptest;
namespace fs = std::filesystem;
using Target = AppModel::RenamePrompt::Target;

namespace {

TEST(Navigation, NotifiesOnlyOnChange) {
    Model m;
    m->setSelection({1});
    SignalCounts n(*m);
    m->navigate(Route::library());  // same route, empty stack: nothing at all
    m->push(Route::library());
    EXPECT_EQ(n.total(), 0);
    EXPECT_EQ(m->selection().size(), 1u);

    m->push(Route::trips());
    m->push(Route::trip(5));
    m->setSelection({2});
    m->back();
    EXPECT_EQ(m->route(), Route::trips());
    EXPECT_EQ(m->backStack(), std::vector<Route>{Route::library()});
    EXPECT_TRUE(m->selection().empty());
    EXPECT_EQ(n["route"], 3);

    // The current route with a stack: the stack and the selection empty.
    n.counts.clear();
    m->navigate(Route::trips());
    EXPECT_EQ(n["route"], 0);
    EXPECT_EQ(n["backStack"], 1);
    EXPECT_EQ(n["selection"], 1);
    m->back();  // an empty stack notifies, the route stays
    EXPECT_EQ(n["backStack"], 2);
    EXPECT_EQ(m->route(), Route::trips());

    m->setRoute(Route::place(PlaceBox{1, 2, 3, 4, "P"}));
    m->setRoute(Route::place(PlaceBox{1, 2, 3, 4, "P"}));  // built separately, equal
    EXPECT_EQ(n["route"], 1);
    m->setScrollRequest(ScrollRequest{"m1", 4});
    m->setScrollRequest(ScrollRequest{"m1", 4});
    EXPECT_EQ(n["scrollRequest"], 2);

    // Every field of an operation is set before the first signal.
    m->setSearch("rome");
    bool consistent = false;
    QObject::connect(&*m, &AppModel::routeChanged, [&] {
        consistent = m->search().empty() && m->activeSearch().empty() && m->backStack().empty();
    });
    m->navigate(Route::favorites());
    EXPECT_TRUE(consistent);
}

TEST(Navigation, SidebarRouteAndTitles) {
    Library lib({makeAsset(1, "a.jpg", 100)});
    lib.db().db().run("INSERT INTO trips(id, title, custom_title, start, end) "
                      "VALUES(1,'Auto',NULL,0,10),(2,'Auto2','',0,10),(3,'Auto3','Mine',0,10)");
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
        {{Route::favorites()}, Route::favorites(), "Favourites"},
        {{Route::recent()}, Route::recent(), "Recently Added"},
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
        {{Route::places(), Route::place(PlaceBox{1, 2, 3, 4, "Lisbon"})}, Route::places(), "Lisbon"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path.back().text());
        m->navigate(row.path[0]);
        for (size_t i = 1; i < row.path.size(); ++i) m->push(row.path[i]);
        EXPECT_EQ(m->sidebarRoute(), row.sidebar);
        EXPECT_EQ(m->routeTitle(), row.title);
    }

    m->navigate(Route::album(album));
    SignalCounts n(*m);
    lib.store->renameAlbum(album, "Winter");
    EXPECT_EQ(n["title"], 1);
    EXPECT_EQ(m->routeTitle(), "Winter");
}

TEST(Navigation, SearchDebounce) {
    Model m;
    SignalCounts n(*m);
    // Every search applies a pause after the key that made it. Keys that
    // come closer together than the pause apply once; a busy machine may
    // space them further apart, and then each applies on its own. (A coarse
    // timer may fire up to 5% early.)
    const qint64 pause = AppModel::kSearchDebounceMs - AppModel::kSearchDebounceMs / 20 - 1;
    QElapsedTimer sinceKey;
    bool keysTogether = true;
    std::vector<qint64> appliedAfter;
    QObject context;
    QObject::connect(&*m, &AppModel::activeSearchChanged, &context, [&] { appliedAfter.push_back(sinceKey.elapsed()); });
    for (const char* text : {"r", "ro", "rom"}) {
        if (sinceKey.isValid() && sinceKey.elapsed() >= pause) keysTogether = false;
        m->setSearch(text);
        sinceKey.start();
        QCoreApplication::processEvents();
    }
    if (sinceKey.elapsed() < pause && keysTogether) {
        EXPECT_EQ(m->activeSearch(), "");
    }
    ASSERT_TRUE(spinUntil([&] { return m->activeSearch() == "rom"; }));
    for (qint64 ms : appliedAfter) EXPECT_GE(ms, pause);
    if (keysTogether) {
        EXPECT_EQ(n["activeSearch"], 1);
    }

    // Clearing applies on the next turn of the event loop, and empties the selection.
    m->setSelection({1});
    m->setSearch("");
    EXPECT_EQ(m->activeSearch(), "rom");
    QCoreApplication::processEvents();
    EXPECT_EQ(m->activeSearch(), "");
    EXPECT_TRUE(m->selection().empty());
}

TEST(Navigation, ViewerAndScrollRequests) {
    Model m;
    auto list = std::make_shared<const AssetList>(
        std::vector<Asset>{makeAsset(1, "a", 3), makeAsset(2, "b", 2), makeAsset(3, "c", 1)});
    SignalCounts n(*m);
    m->open(makeAsset(9, "z", 0), list);
    EXPECT_FALSE(m->viewer());
    m->open(makeAsset(2, "b", 2), list);
    m->open(makeAsset(2, "b", 2), list->toVector());  // equal contents: no change
    EXPECT_EQ(n["viewer"], 1);
    EXPECT_EQ(m->viewer()->assets, list);  // shared, not copied
    EXPECT_TRUE(m->stepViewer(1));
    EXPECT_FALSE(m->stepViewer(1));
    m->focusSearch();  // not while the viewer is open
    m->closeViewer();
    EXPECT_EQ(m->selection(), AppModel::Selection{3});
    EXPECT_EQ(m->searchFocusToken(), 0);
    m->focusSearch();
    EXPECT_EQ(m->searchFocusToken(), 1);
    m->setViewer(ViewerState{list, 7});  // outside its list: closes, selection kept
    m->closeViewer();
    EXPECT_FALSE(m->viewer());
    EXPECT_EQ(m->selection(), AppModel::Selection{3});

    // Each request has a token of its own, also for the same section.
    m->requestScroll("m1");
    const int64_t first = m->scrollRequest()->token;
    m->requestScroll("m1");
    EXPECT_EQ(m->scrollRequest()->token, first + 1);
}

TEST(Library, OpenSwitchAndClose) {
    fixtures::TempDir a, b;
    fs::create_directories(a / ".vintrelle/library.sqlite");  // an index that cannot open
    Model m;
    m->openLibrary(b.path());
    ASSERT_TRUE(m->store());
    EXPECT_TRUE(m->store()->hasLoaded());
    EXPECT_EQ(m->libraryPath(), b.path());
    EXPECT_EQ(m.settings.open()->value("lastLibrary").toString().toStdString(), b.path());

    // Opening the open library keeps where the window is.
    m->push(Route::videos());
    m->setSearch("x");
    m->openLibrary(b.path());
    EXPECT_EQ(m->route(), Route::videos());
    EXPECT_EQ(m->search(), "x");

    // A prompt left open goes with its library and cannot be answered in the next.
    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {Target::Kind::album, 1}, "Rename", "old"});
    const QUuid asked = m->renamePrompt()->id;
    m->openLibrary(a.path());
    EXPECT_FALSE(m->renamePrompt());
    EXPECT_FALSE(m->confirmRenamePrompt(asked, "new"));
    EXPECT_FALSE(m->store());
    EXPECT_FALSE(m->libraryPath());
    EXPECT_EQ(m->route(), Route::library());
    EXPECT_EQ(m->errorMessage().value_or("").rfind("Couldn\u2019t open \u201c" + fs::path(a.path()).filename().string() + "\u201d. ", 0), 0u);
    EXPECT_EQ(m.settings.open()->value("lastLibrary").toString().toStdString(), a.path());

    m->openLibrary(a / "gone");
    EXPECT_EQ(m->waitingForPath(), a / "gone");
    EXPECT_EQ(m->libraryPath(), a / "gone");
    EXPECT_FALSE(m->store());
}

TEST(Library, PromptsAnswerOnlyInTheirLibrary) {
    Library first, second;
    first.store->createAlbum("Old", {});
    const int64_t other = second.store->createAlbum("Other", {});
    Model m;
    m->setStore(first.store);
    m->setAlbumPrompt(AppModel::AlbumPrompt{QUuid::createUuid(), {}});
    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {Target::Kind::album, other}, "Rename", "Old"});
    const QUuid album = m->albumPrompt()->id, rename = m->renamePrompt()->id;

    m->setStore(second.store);  // swapped under the open prompts
    EXPECT_FALSE(m->confirmAlbumPrompt(album, "New"));
    EXPECT_FALSE(m->confirmRenamePrompt(rename, "Renamed"));
    EXPECT_EQ(second.store->albums().size(), 1u);
    EXPECT_EQ(second.store->albums()[0].name, "Other");

    m->setRenamePrompt(AppModel::RenamePrompt{QUuid::createUuid(), {Target::Kind::album, other}, "Rename", ""});
    EXPECT_TRUE(m->confirmRenamePrompt(m->renamePrompt()->id, "Renamed"));
    EXPECT_FALSE(m->renamePrompt());
    EXPECT_EQ(second.store->albums()[0].name, "Renamed");
}

TEST(Library, FavouritesAndUrls) {
    Library lib({makeAsset(1, "2019/a b.jpg", 2), makeAsset(2, "c\xff.jpg", 1)});
    Model m;
    m->setStore(lib.store);
    m->toggleFavorite({1, 2});
    EXPECT_TRUE(lib.store->asset(1)->favorite && lib.store->asset(2)->favorite);
    m->toggleFavorite({1, 2, 99});  // an unknown id is no favourite: all stay set
    EXPECT_TRUE(lib.store->asset(1)->favorite);
    m->toggleFavorite({1, 2});
    EXPECT_FALSE(lib.store->asset(1)->favorite || lib.store->asset(2)->favorite);

    const QList<QUrl> urls = m->urls({2, 99, 1});
    ASSERT_EQ(urls.size(), 2);
    EXPECT_TRUE(urls[0].toEncoded().endsWith("/c%FF.jpg"));  // the bytes on disk, not U+FFFD
    EXPECT_EQ(urls[1].toLocalFile().toStdString(), lib.dir / "2019/a b.jpg");
}

}  // namespace
