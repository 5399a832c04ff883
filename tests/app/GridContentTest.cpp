// Grid content of every asset route: lists, grouping, the cache and its token.

#include <gtest/gtest.h>

#include "AppFixture.h"
#include "Core/Base/WallClock.h"

using namespace apptest;

namespace {

constexpr double kDay = 86400;

std::vector<int64_t> flatIDs(const GridContent& c) {
    std::vector<int64_t> out;
    for (const Asset& a : *c.flat) out.push_back(a.id);
    return out;
}

Asset at(int64_t id, const std::string& path, double taken, std::optional<double> lat = {},
         std::optional<double> lon = {}) {
    Asset a = makeAsset(id, path, taken);
    a.lat = lat;
    a.lon = lon;
    return a;
}

TEST(GridContent, RoutesAndGrouping) {
    const double jan = WallClock::daysFromCivil(2021, 1, 10) * kDay;
    const double feb = WallClock::daysFromCivil(2021, 2, 3) * kDay;
    Asset video = at(4, "Rome/clip.mov", feb + 100);
    video.kind = MediaKind::video;
    Asset fav = at(3, "Rome/b.jpg", feb, 20, 5);
    fav.favorite = true;
    Asset hidden = at(6, "hidden.jpg", jan);
    hidden.hidden = true;  // indexed, but not in the library's lists
    Library lib({at(1, "Lisbon/a.jpg", jan, 10, -9), at(2, "Lisbon/sub/c.jpg", jan + kDay, 20.0001, 5), fav, video,
                 at(5, "x.jpg", jan - 5 * kDay), hidden});
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Winter', ?, ?), (2, 'Empty', 1, 2)",
                      {jan, feb});
    lib.store->engineDidUpdateTrips();
    const int64_t album = lib.store->createAlbum("A", {3, 6, 1});
    Model m;
    m->setStore(lib.store);

    struct Row {
        Route route;
        std::vector<int64_t> flat;
        size_t sections;
    };
    const Row rows[] = {
        {Route::library(), {4, 3, 2, 1, 5}, 2},
        {Route::favorites(), {3}, 1},
        {Route::videos(), {4}, 1},
        {Route::recent(), {4, 3, 2, 1, 5}, 1},
        // Both ends of the span belong to the trip; trip days run oldest first.
        {Route::trip(1), {1, 2, 3}, 3},
        {Route::trip(2), {}, 0},
        {Route::trip(99), {}, 0},
        // Bounds included; no coordinates, never inside.
        {Route::place(PlaceBox{10, 20, -9, 5, "Box"}), {3, 1}, 2},
        {Route::album(album), {3, 1}, 1},  // the member not in the library is skipped
        {Route::album(99), {}, 0},
        {Route::folder("Lisbon"), {2, 1}, 1},
        {Route::folder("Lis"), {}, 0},
        {Route::trips(), {}, 0},
        {Route::people(), {}, 0},
        {Route::places(), {}, 0},
        {Route::albums(), {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.route.text());
        m->navigate(row.route);
        const GridContentPtr c = m->gridContent();
        EXPECT_EQ(flatIDs(*c), row.flat);
        EXPECT_EQ(c->sections.size(), row.sections);
        size_t next = 0;  // the sections tile the flat list in order
        for (const auto& s : c->sections) {
            EXPECT_EQ(s.begin, next);
            EXPECT_GT(s.end, s.begin);
            next = s.end;
        }
        EXPECT_EQ(next, c->flat->size());
    }

    // A search keeps the trip days and the album's one section, and groups
    // everything else by month.
    const std::pair<Route, std::vector<std::string>> searched[] = {
        {Route::library(), {"m" + std::to_string(2021 * 12 + 1), "m" + std::to_string(2021 * 12)}},
        {Route::trip(1),
         {"d" + std::to_string(WallClock::dayNumber(jan)), "d" + std::to_string(WallClock::dayNumber(jan + kDay)),
          "d" + std::to_string(WallClock::dayNumber(feb))}},
        {Route::album(album), {"all"}},
        {Route::recent(), {"m" + std::to_string(2021 * 12 + 1), "m" + std::to_string(2021 * 12)}},
    };
    for (const auto& [route, ids] : searched) {
        SCOPED_TRACE(route.text());
        m->navigate(route);
        m->setActiveSearch(".jpg");
        std::vector<std::string> got;
        for (const auto& s : m->gridContent()->sections) got.push_back(s.id);
        EXPECT_EQ(got, ids);
    }
}

TEST(GridContent, CacheAndToken) {
    Library lib({at(1, "a.jpg", 10), at(2, "b.jpg", 20)});
    Model m;
    const GridContentPtr none = m->gridContent();
    EXPECT_EQ(none->token, 0);
    EXPECT_TRUE(none->scrollKey.empty());
    EXPECT_TRUE(none->flat->empty());

    m->setStore(lib.store);
    SignalCounts n(*m);
    const GridContentPtr first = m->gridContent();
    EXPECT_EQ(m->gridContent(), first);  // the same shared content, same token
    EXPECT_EQ(m->gridContent()->token, first->token);

    int64_t last = first->token;
    const std::function<void()> changes[] = {
        [&] { m->navigate(Route::favorites()); },
        [&] { m->setActiveSearch("a"); },
        [&] { lib.store->engineDidUpsert({at(3, "c.jpg", 30)}); },  // revision
        [&] { lib.store->createAlbum("New", {}); },                  // collections revision only
    };
    for (const auto& change : changes) {
        n.reset();
        change();
        EXPECT_GE(n["gridContent"], 1);
        const GridContentPtr c = m->gridContent();
        EXPECT_EQ(c->token, last + 1);
        EXPECT_EQ(m->gridContent()->token, last + 1);
        last = c->token;
    }
}

TEST(GridContent, KeysDoNotCollide) {
    Library lib({at(1, "a)|b/x.jpg", 10), at(2, "a/b)|/y.jpg", 20)});
    Model m;
    m->setStore(lib.store);

    // The route's text and the search text, joined, spell the same for both.
    m->navigate(Route::folder("a)|b"));
    const GridContentPtr folder = m->gridContent();
    m->navigate(Route::folder("a"));
    m->setActiveSearch("b)|");
    const GridContentPtr searched = m->gridContent();
    EXPECT_NE(folder->token, searched->token);
    EXPECT_NE(folder->scrollKey, searched->scrollKey);
    EXPECT_EQ(flatIDs(*folder), std::vector<int64_t>{1});
    EXPECT_EQ(flatIDs(*searched), std::vector<int64_t>{2});
}

TEST(GridContent, SwitchedStoreIsRebuilt) {
    Library first({at(1, "a.jpg", 10)});
    Library second({at(2, "b.jpg", 10)});
    ASSERT_EQ(first.store->revision(), second.store->revision());
    ASSERT_EQ(first.store->collectionsRevision(), second.store->collectionsRevision());
    Model m;
    m->setStore(first.store);
    EXPECT_EQ(flatIDs(*m->gridContent()), std::vector<int64_t>{1});
    m->setStore(second.store);
    EXPECT_EQ(flatIDs(*m->gridContent()), std::vector<int64_t>{2});
}

}  // namespace
