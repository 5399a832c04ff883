// The grid's context menu: its titles by selection and route, and what its
// items do, including after the library they were made in has closed.

#include <gtest/gtest.h>

#include "ActionsFixture.h"

using namespace apptest;

namespace {

using Titles = std::vector<std::string>;

struct MenuLibrary : FileLibrary {
    int64_t summer = 0;
    MenuLibrary() : FileLibrary(assets()) {
        db().db().run("INSERT INTO trips(id, title, custom_title, start, end) VALUES(5,'Rome',NULL,0,1000)");
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
};

Titles shown(ActionsModel& m, const std::vector<int64_t>& ids) {
    m.desktop->menu.reset();
    m->showContextMenu(MenuLibrary::assets()[0], ids, QPoint(5, 5));
    return m.desktop->menu ? titles(*m.desktop->menu) : Titles{};
}

TEST(ContextMenu, TitlesBySelectionAndRoute) {
    MenuLibrary lib;
    ActionsModel m(lib.store);
    // The rows name what lies between the favourites item and the separator
    // before "Show in Files".
    auto menu = [](int n, const char* favourite, Titles routeItems) {
        Titles t;
        if (n <= 1) t = {"Open", "-"};
        t.insert(t.end(), {favourite, "Add to Album", "  New Album\u2026", "  -", "  Summer && Sun", "  Tab here"});
        t.insert(t.end(), routeItems.begin(), routeItems.end());
        t.insert(t.end(), {"-", "Show in Files"});
        if (n < 2) t.push_back("Open in Default App");
        t.insert(t.end(), {n < 2 ? "Copy" : "Copy " + std::to_string(n) + " Items", "Export a Copy\u2026", "Share\u2026"});
        return t;
    };
    const char* remove = "Remove from Favourites";
    const char* add = "Add to Favourites";
    const std::tuple<const char*, Route, std::vector<int64_t>, Titles> rows[] = {
        {"one favourite", Route::library(), {1}, menu(1, remove, {})},
        {"three, one not a favourite", Route::library(), {1, 2, 3}, menu(3, add, {})},
        {"an id gone from the index", Route::favorites(), {1, 999}, menu(2, add, {})},
        {"unnamed person, one", Route::person(7), {1}, menu(1, remove, {"This Is Not This Person"})},
        {"unnamed person, two", Route::person(7), {1, 2}, menu(2, add, {"These Are Not This Person"})},
        {"named with an ampersand", Route::person(8), {2}, menu(1, add, {"This Is Not Ana && Bo"})},
        {"person gone", Route::person(99), {2}, menu(1, add, {"This Is Not This Person"})},
        {"album, two", Route::album(lib.summer), {1, 2}, menu(2, add, {"Remove from Album"})},
        {"trip, one", Route::trip(5), {1}, menu(1, remove, {"Use as Trip Cover"})},
        {"trip, two", Route::trip(5), {1, 2}, menu(2, add, {})},
        {"folder", Route::folder("2024"), {3}, menu(1, add, {})},
    };
    for (const auto& [name, route, ids, expected] : rows) {
        m->setRoute(route);
        EXPECT_EQ(shown(m, ids), expected) << name;
    }

    // Without albums the submenu holds only "New Album…"; without a store
    // there is no menu.
    for (const Album& album : std::vector<Album>(lib.store->albums())) lib.store->deleteAlbum(album.id);
    m->setRoute(Route::library());
    const Titles bare = shown(m, {1});
    EXPECT_EQ(Titles(bare.begin() + 3, bare.begin() + 6), (Titles{"Add to Album", "  New Album\u2026", "-"}));
    m->setStore(nullptr);
    EXPECT_TRUE(shown(m, {1}).empty());
}

TEST(ContextMenu, ItemsActOnTheLibraryTheyWereMadeIn) {
    MenuLibrary lib;
    ActionsModel m(lib.store);
    auto menuFor = [&](const Route& route, const std::vector<int64_t>& ids) {
        m->setRoute(route);
        m->setSelection({ids.begin(), ids.end()});
        m->showContextMenu(*lib.store->asset(2), ids, {});
        return std::move(m.desktop->menu);
    };

    ASSERT_TRUE(trigger(*menuFor(Route::library(), {3}), "Summer && Sun"));
    ASSERT_TRUE(trigger(*menuFor(Route::album(lib.summer), {1, 3}), "Remove from Album"));
    EXPECT_EQ(lib.store->album(lib.summer)->assetIDs, (std::vector<int64_t>{2}));
    EXPECT_TRUE(m->selection().empty());
    const int collections = lib.store->collectionsRevision();
    ASSERT_TRUE(trigger(*menuFor(Route::trip(5), {2}), "Use as Trip Cover"));
    EXPECT_EQ(lib.store->trip(5)->coverAssetID, std::optional<int64_t>(2));
    EXPECT_GT(lib.store->collectionsRevision(), collections);

    // Once their library has closed, items change nothing, though the
    // selection still goes; another library's asset 2 is left alone.
    auto stale = menuFor(Route::album(lib.summer), {2});
    auto staleFavourite = menuFor(Route::library(), {2});
    m->closeStore();
    m->setSelection({2});
    ASSERT_TRUE(trigger(*stale, "Remove from Album"));
    EXPECT_TRUE(m->selection().empty());
    EXPECT_EQ(lib.store->album(lib.summer)->assetIDs, (std::vector<int64_t>{2}));
    MenuLibrary other;
    m->setStore(other.store);
    ASSERT_TRUE(trigger(*staleFavourite, "Add to Favourites"));
    EXPECT_FALSE(other.store->asset(2)->favorite);
}

}  // namespace

TEST(ContextMenu, LongNamesKeepBothEndsAroundAnEllipsis) {
    const std::string longName = "Summer holidays at the lake with the whole family and the neighbours from across "
                                 "the road, August 2023 (day 4)";
    ASSERT_GT(longName.size(), 100u);
    struct Case {
        std::string title, shown;
    };
    const Case cases[] = {
        {"Summer & Sun", "Summer && Sun"},
        {std::string(kMenuTextLimit, 'a'), std::string(kMenuTextLimit, 'a')},  // at the limit: whole
        {longName, "Summer holidays at the l\u2026road, August 2023 (day 4)"},
        // 60 accented letters, each a letter and a combining accent: cut between letters, never inside one.
        {[] {
             std::string s;
             for (int i = 0; i < 60; ++i) s += "e\u0301";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 24; ++i) s += "e\u0301";
             s += "\u2026";
             for (int i = 0; i < 25; ++i) s += "e\u0301";
             return s;
         }()},
        // Ampersands are doubled after the cut, so none is split from its twin.
        {std::string(30, 'x') + " & " + std::string(30, 'y'), std::string(24, 'x') + "\u2026" + std::string(25, 'y')},
        {std::string(20, 'x') + "&" + std::string(40, 'y'), std::string(20, 'x') + "&&" + std::string(3, 'y') + "\u2026" +
                                                                std::string(25, 'y')},
    };
    for (const Case& c : cases) EXPECT_EQ(menuText(c.title), c.shown) << c.title;

    // In the grid's menu, the album keeps its place and its action.
    MenuLibrary lib;
    const int64_t album = lib.store->createAlbum(longName, {});
    ActionsModel m(lib.store);
    const Titles t = shown(m, {2});
    const std::string entry = "  " + menuText(longName);
    ASSERT_NE(std::find(t.begin(), t.end(), entry), t.end());
    ASSERT_TRUE(trigger(*m.desktop->menu, QString::fromStdString(menuText(longName))));
    EXPECT_EQ(lib.store->album(album)->assetIDs, std::vector<int64_t>{2});
}
