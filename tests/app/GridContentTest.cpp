// Grid content of every asset route: lists, grouping, the cache and its token.

#include <gtest/gtest.h>

#include <functional>
#include <set>

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

std::vector<std::string> sectionIDs(const GridContent& c) {
    std::vector<std::string> out;
    for (const auto& s : c.sections) out.push_back(s.id);
    return out;
}

Asset at(int64_t id, const std::string& path, double taken, std::optional<double> lat = {}, double lon = 0) {
    Asset a = makeAsset(id, path, taken);
    a.lat = lat;
    if (lat) a.lon = lon;
    return a;
}

TEST(GridContent, RoutesAndGrouping) {
    const double jan = WallClock::daysFromCivil(2021, 1, 10) * kDay;
    const double feb = WallClock::daysFromCivil(2021, 2, 3) * kDay;
    const std::string m1 = "m" + std::to_string(2021 * 12), m2 = "m" + std::to_string(2021 * 12 + 1);
    auto day = [](double t) { return "d" + std::to_string(WallClock::dayNumber(t)); };
    Asset video = at(4, "Rome/clip.mov", feb + 100), fav = at(3, "Rome/b.jpg", feb, 20, 5),
          hidden = at(6, "hidden.jpg", jan);
    video.kind = MediaKind::video;
    fav.favorite = true;
    hidden.hidden = true;  // indexed, but not among the library's assets
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
        std::string search;
        std::vector<int64_t> flat;
        std::vector<std::string> sections;
    };
    const Row rows[] = {
        {Route::library(), "", {4, 3, 2, 1, 5}, {m2, m1}},
        {Route::favorites(), "", {3}, {m2}},
        {Route::videos(), "", {4}, {m2}},
        {Route::recent(), "", {4, 3, 2, 1, 5}, {"*"}},  // one day added
        // Both ends of the span belong to the trip; trip days run oldest first.
        {Route::trip(1), "", {1, 2, 3}, {day(jan), day(jan + kDay), day(feb)}},
        {Route::trip(2), "", {}, {}},
        {Route::trip(99), "", {}, {}},
        // Bounds included; an asset without coordinates is never inside.
        {Route::place(PlaceBox{10, 20, -9, 5, "Box"}), "", {3, 1}, {m2, m1}},
        // A place across the 180° line has a box past ±180°: −9° is 351° there.
        {Route::place(PlaceBox{10, 10, 350, 352, "Past the line"}), "", {1}, {m1}},
        {Route::album(album), "", {3, 1}, {"all"}},  // the member not in the library is skipped
        {Route::album(99), "", {}, {}},
        {Route::folder("Lisbon"), "", {2, 1}, {m1}},
        {Route::folder("Lis"), "", {}, {}},
        {Route::albums(), "", {}, {}},
        // A search keeps trip days and the album's one section; else by month.
        {Route::recent(), ".jpg", {3, 2, 1, 5}, {m2, m1}},
        {Route::trip(1), "lisbon", {1, 2}, {day(jan), day(jan + kDay)}},
        {Route::album(album), ".jpg", {3, 1}, {"all"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.route.text() + " " + row.search);
        m->navigate(row.route);
        m->setActiveSearch(row.search);
        const GridContentPtr c = m->gridContent();
        EXPECT_EQ(flatIDs(*c), row.flat);
        if (row.sections == std::vector<std::string>{"*"}) {
            EXPECT_EQ(c->sections.size(), 1u);
        } else {
            EXPECT_EQ(sectionIDs(*c), row.sections);
        }
        size_t next = 0;  // the sections tile the flat list in order
        for (const auto& s : c->sections) {
            EXPECT_EQ(s.begin, next);
            next = s.end;
        }
        EXPECT_EQ(next, c->flat->size());
    }
}

TEST(GridContent, CacheKeyAndToken) {
    Library lib({at(1, "a)|b/x.jpg", 10), at(2, "a/b)|/y.jpg", 20)});
    Library other({at(3, "z.jpg", 10), at(4, "w.jpg", 20)});
    Model m;
    EXPECT_EQ(m->gridContent()->token, 0);  // no store
    EXPECT_TRUE(m->gridContent()->scrollKey.empty());
    m->setStore(lib.store);
    SignalCounts n(*m);
    const GridContentPtr first = m->gridContent();
    EXPECT_EQ(m->gridContent(), first);  // a hit: the same shared content
    ASSERT_EQ(other.store->revision(), lib.store->revision());
    ASSERT_EQ(other.store->collectionsRevision(), lib.store->collectionsRevision());

    // Each input moves the token once, to one past the last content built.
    // A store switched for another with equal revisions is rebuilt; the
    // folder "a)|b", and the folder "a" searched for "b)|", join to the
    // same text.
    int64_t last = first->token;
    const std::pair<std::function<void()>, std::vector<int64_t>> changes[] = {
        {[&] { m->setStore(other.store); }, {4, 3}},
        {[&] { m->setStore(lib.store); }, {2, 1}},
        {[&] { m->navigate(Route::folder("a)|b")); }, {1}},
        {[&] {
             m->navigate(Route::folder("a"));
             m->setActiveSearch("b)|");
         },
         {2}},
        {[&] { m->navigate(Route::library()); }, {2, 1}},
        {[&] { lib.store->engineDidUpsert({at(5, "c.jpg", 30)}); }, {5, 2, 1}},  // revision
        {[&] { lib.store->createAlbum("New", {}); }, {5, 2, 1}},                  // collections revision
    };
    std::set<std::string> scrollKeys;
    for (const auto& [change, ids] : changes) {
        n.counts.clear();
        change();
        EXPECT_GE(n["gridContent"], 1);
        const GridContentPtr c = m->gridContent();
        EXPECT_EQ(c->token, ++last);
        EXPECT_EQ(m->gridContent()->token, last);
        EXPECT_EQ(flatIDs(*c), ids);
        scrollKeys.insert(c->scrollKey);
    }
    EXPECT_EQ(scrollKeys.size(), 3u);  // the three route and search pairs
}

// A batch that brings nothing a route shows (new photos of another folder,
// a favourite elsewhere) leaves the route's content as it was, shared under
// a new token; one that brings something into or out of it rebuilds it. Each
// must equal the content built anew.
TEST(GridContent, ABatchThatMissesTheRouteKeepsItsContent) {
    const double jan = WallClock::daysFromCivil(2021, 1, 10) * kDay;
    Library lib({at(1, "a/x.jpg", jan, 10, 5), at(2, "a/y.jpg", jan + kDay), at(3, "b/z.jpg", jan + 40 * kDay)});
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Trip', ?, ?)", {jan, jan + 2 * kDay});
    lib.store->engineDidUpdateTrips();
    const int64_t album = lib.store->createAlbum("A", {2});
    lib.store->setFavorite({3}, true);
    Model m;
    m->setStore(lib.store);
    int64_t next = 10;
    struct Row {
        Route route;
        std::function<Asset()> missing, touching;
    };
    const Row rows[] = {
        {Route::folder("a"), [&] { return at(next++, "b/new.jpg", jan); }, [&] { return at(next++, "a/new.jpg", jan); }},
        {Route::favorites(), [&] { return at(next++, "c/new.jpg", jan); },
         [&] {
             Asset a = at(next++, "c/fav.jpg", jan);
             a.favorite = true;
             return a;
         }},
        {Route::trip(1), [&] { return at(next++, "c/later.jpg", jan + 9 * kDay); },
         [&] { return at(next++, "c/during.jpg", jan + 0.5 * kDay); }},
        {Route::place(PlaceBox{5, 15, 0, 10, "Box"}), [&] { return at(next++, "c/far.jpg", jan, 50, 50); },
         [&] { return at(next++, "c/near.jpg", jan, 9, 9); }},
        {Route::album(album), [&] { return at(next++, "c/out.jpg", jan); },
         [&] {
             Asset a = *lib.store->asset(2);
             a.taken += 3600;
             return a;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.route.text());
        m->navigate(row.route);
        const GridContentPtr before = m->gridContent();
        // Built anew: the route left and came back to.
        auto fresh = [&] {
            m->navigate(Route::library());
            m->navigate(row.route);
            return m->gridContent();
        };
        lib.store->engineDidUpsert({row.missing()});
        const GridContentPtr kept = m->gridContent();
        EXPECT_EQ(kept->token, before->token + 1);
        EXPECT_EQ(kept->flat, before->flat);
        EXPECT_EQ(flatIDs(*kept), flatIDs(*fresh()));
        EXPECT_EQ(sectionIDs(*kept), sectionIDs(*fresh()));

        lib.store->engineDidUpsert({row.touching()});
        const GridContentPtr rebuilt = m->gridContent();
        EXPECT_NE(rebuilt->flat, kept->flat);
        EXPECT_EQ(flatIDs(*rebuilt), flatIDs(*fresh()));
        EXPECT_EQ(sectionIDs(*rebuilt), sectionIDs(*fresh()));
    }
}

// The library's grid reads the store's own list: no record is copied for it,
// nor for a search that keeps every asset, and a change of the store leaves
// the content a screen holds as it was.
TEST(GridContent, TheLibraryGridSharesTheStoresList) {
    Library lib({at(1, "a/x.jpg", 10), at(2, "b/y.jpg", 20)});
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'All', 0, 100)");
    lib.store->engineDidUpdateTrips();
    Model m;
    m->setStore(lib.store);
    const GridContentPtr library = m->gridContent();
    EXPECT_EQ(library->flat, lib.store->sharedAssets());
    m->setActiveSearch("jpg");
    EXPECT_EQ(m->gridContent()->flat, lib.store->sharedAssets());
    m->setActiveSearch("a/");
    EXPECT_EQ(flatIDs(*m->gridContent()), (std::vector<int64_t>{1}));

    // A trip over the whole library runs oldest first, in a list of its own.
    m->navigate(Route::trip(1));
    m->setActiveSearch("");
    EXPECT_EQ(flatIDs(*m->gridContent()), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(flatIDs(*library), (std::vector<int64_t>{2, 1}));

    lib.store->engineDidUpsert({at(3, "c.jpg", 30)});
    lib.store->setFavorite({1}, true);
    m->navigate(Route::library());
    EXPECT_EQ(flatIDs(*m->gridContent()), (std::vector<int64_t>{3, 2, 1}));
    EXPECT_EQ(flatIDs(*library), (std::vector<int64_t>{2, 1}));
    EXPECT_FALSE(library->flat->back().favorite);
}

}  // namespace
