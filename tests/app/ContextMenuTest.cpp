// The grid's context menu: its titles by selection and route, and what its
// items do, including after the library they were made in has closed.

#include <gtest/gtest.h>

#include "ActionsFixture.h"

using namespace apptest;

namespace {

using Titles = std::vector<std::string>;

struct MenuLibrary : FileLibrary {
    MenuLibrary() : FileLibrary(assets()) {
        lib().run("INSERT INTO trips(id, title, custom_title, start, end) VALUES(5,'Rome',NULL,0,1000)");
        storetest::insertPerson(db(), 7, "");
        storetest::insertPerson(db(), 8, "Ana & Bo");
        for (int64_t person : {7, 8}) storetest::insertFace(db(), 1, person);
        store->engineDidUpdateTrips();
        store->reloadPeople();
        summer = store->createAlbum("Summer & Sun", {1, 2});
        store->createAlbum("Tab\there", {});
    }
    static std::vector<Asset> assets() {
        Asset fav = makeAsset(1, "2024/a.jpg", 100);
        fav.favorite = true;
        return {fav, makeAsset(2, "2024/b.jpg", 200), makeAsset(3, "c.jpg", 300)};
    }
    Database& lib() { return db().db(); }
    int64_t summer = 0;
};

Titles shown(ActionsModel& m, const Asset& clicked, const std::vector<int64_t>& ids) {
    m.desktop->menu.reset();
    m->showContextMenu(clicked, ids, QPoint(5, 5));
    return m.desktop->menu ? titles(*m.desktop->menu) : Titles{};
}

TEST(ContextMenu, TitlesBySelectionAndRoute) {
    MenuLibrary lib;
    ActionsModel m(lib.store);
    const Asset a = *lib.store->asset(1);
    const Titles albums = {"  New Album\u2026", "  -", "  Summer && Sun", "  Tab here"};
    auto menu = [&](Titles head, Titles tail) {
        Titles t = std::move(head);
        t.push_back("Add to Album");
        t.insert(t.end(), albums.begin(), albums.end());
        t.insert(t.end(), tail.begin(), tail.end());
        return t;
    };
    const Titles one = {"-", "Show in Files", "Open in Default App", "Copy", "Export a Copy\u2026", "Share\u2026"};
    struct Row {
        const char* name;
        Route route;
        std::vector<int64_t> ids;
        Titles expected;
    };
    const std::vector<Row> rows = {
        {"one favourite", Route::library(), {1}, menu({"Open", "-", "Remove from Favourites"}, one)},
        {"three, one not a favourite", Route::library(), {1, 2, 3},
         menu({"Add to Favourites"}, {"-", "Show in Files", "Copy 3 Items", "Export a Copy\u2026", "Share\u2026"})},
        {"an id gone from the index counts but is no favourite", Route::favorites(), {1, 999},
         menu({"Add to Favourites"}, {"-", "Show in Files", "Copy 2 Items", "Export a Copy\u2026", "Share\u2026"})},
        {"unnamed person, one", Route::person(7), {1},
         menu({"Open", "-", "Remove from Favourites"},
              {"This Is Not This Person", "-", "Show in Files", "Open in Default App", "Copy", "Export a Copy\u2026",
               "Share\u2026"})},
        {"unnamed person, two", Route::person(7), {1, 2},
         menu({"Add to Favourites"},
              {"These Are Not This Person", "-", "Show in Files", "Copy 2 Items", "Export a Copy\u2026", "Share\u2026"})},
        {"named person with an ampersand", Route::person(8), {2},
         menu({"Open", "-", "Add to Favourites"},
              {"This Is Not Ana && Bo", "-", "Show in Files", "Open in Default App", "Copy", "Export a Copy\u2026",
               "Share\u2026"})},
        {"person gone", Route::person(99), {2},
         menu({"Open", "-", "Add to Favourites"},
              {"This Is Not This Person", "-", "Show in Files", "Open in Default App", "Copy", "Export a Copy\u2026",
               "Share\u2026"})},
        {"album, two", Route::album(lib.summer), {1, 2},
         menu({"Add to Favourites"},
              {"Remove from Album", "-", "Show in Files", "Copy 2 Items", "Export a Copy\u2026", "Share\u2026"})},
        {"trip, one", Route::trip(5), {1},
         menu({"Open", "-", "Remove from Favourites"},
              {"Use as Trip Cover", "-", "Show in Files", "Open in Default App", "Copy", "Export a Copy\u2026",
               "Share\u2026"})},
        {"trip, two", Route::trip(5), {1, 2},
         menu({"Add to Favourites"}, {"-", "Show in Files", "Copy 2 Items", "Export a Copy\u2026", "Share\u2026"})},
        {"folder", Route::folder("2024"), {3},
         menu({"Open", "-", "Add to Favourites"}, one)},
    };
    for (const Row& r : rows) {
        m->setRoute(r.route);
        EXPECT_EQ(shown(m, a, r.ids), r.expected) << r.name;
    }

    // Without albums the submenu holds only "New Album…"; without a store
    // there is no menu at all.
    for (const Album& album : std::vector<Album>(lib.store->albums())) lib.store->deleteAlbum(album.id);
    m->setRoute(Route::library());
    const Titles bare = shown(m, a, {1});
    ASSERT_GE(bare.size(), 5u);
    EXPECT_EQ(bare[3], "Add to Album");
    EXPECT_EQ(bare[4], "  New Album\u2026");
    EXPECT_EQ(bare[5], "-");
    m->setStore(nullptr);
    EXPECT_TRUE(shown(m, a, {1}).empty());
    EXPECT_TRUE(m->contextMenu(a, {1}).empty());
}

TEST(ContextMenu, ItemsAct) {
    MenuLibrary lib;
    ActionsModel m(lib.store);
    const Asset b = *lib.store->asset(2);
    auto act = [&](const Route& route, const std::vector<int64_t>& ids, const QString& item) {
        m->setRoute(route);
        m->setSelection({ids.begin(), ids.end()});
        m->showContextMenu(b, ids, {});
        ASSERT_TRUE(m.desktop->menu);
        ASSERT_TRUE(trigger(*m.desktop->menu, item)) << item.toStdString();
    };

    act(Route::library(), {2}, "Open");
    ASSERT_TRUE(m->viewer());
    EXPECT_EQ(m->viewer()->current()->id, 2);
    EXPECT_EQ(m->viewer()->assets->size(), 3u);  // the whole grid
    m->setViewer(std::nullopt);

    act(Route::library(), {2, 3}, "New Album\u2026");
    ASSERT_TRUE(m->albumPrompt());
    EXPECT_EQ(m->albumPrompt()->assetIDs, (std::vector<int64_t>{2, 3}));

    act(Route::library(), {3}, "Summer && Sun");
    EXPECT_EQ(lib.store->album(lib.summer)->assetIDs, (std::vector<int64_t>{1, 2, 3}));
    act(Route::album(lib.summer), {1, 3}, "Remove from Album");
    EXPECT_EQ(lib.store->album(lib.summer)->assetIDs, (std::vector<int64_t>{2}));
    EXPECT_TRUE(m->selection().empty());

    const int collections = lib.store->collectionsRevision();
    act(Route::trip(5), {2}, "Use as Trip Cover");
    EXPECT_EQ(lib.store->trip(5)->coverAssetID, std::optional<int64_t>(2));
    EXPECT_GT(lib.store->collectionsRevision(), collections);

    act(Route::person(8), {1}, "This Is Not Ana && Bo");
    EXPECT_TRUE(lib.store->assetsOf(8).empty());
    EXPECT_TRUE(m->selection().empty());

    // Items of a menu whose library has closed change nothing, but the
    // selection still goes.
    m->setRoute(Route::album(lib.summer));
    m->showContextMenu(b, {2}, {});
    auto stale = std::move(m.desktop->menu);
    m->setRoute(Route::library());
    m->showContextMenu(b, {2}, {});
    auto staleFavourite = std::move(m.desktop->menu);
    m->closeStore();
    m->setSelection({2});
    ASSERT_TRUE(trigger(*stale, "Remove from Album"));
    EXPECT_TRUE(m->selection().empty());
    MenuLibrary other;
    m->setStore(other.store);
    ASSERT_TRUE(trigger(*staleFavourite, "Add to Favourites"));
    EXPECT_FALSE(other.store->asset(2)->favorite);  // another library's asset 2 is left alone
    EXPECT_EQ(lib.store->album(lib.summer)->assetIDs, (std::vector<int64_t>{2}));
}

}  // namespace
