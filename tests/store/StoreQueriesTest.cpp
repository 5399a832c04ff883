// Folder tree, grid sections, trip covers and the derived lists.

#include <gtest/gtest.h>

#include <unicode/timezone.h>

#include <map>

#include "Core/Base/WallClock.h"
#include "StoreFixture.h"
#include "fixtures/EnvScope.h"

using namespace storetest;

namespace {

constexpr double kDay = 86400;

struct Loaded : Library {
    explicit Loaded(const std::vector<Asset>& list) {
        add(list);
        store->start(false);
    }
};

TEST(StoreQueries, FolderTreeOrdersNumericallyAndRollsCountsUp) {
    Loaded lib({makeAsset(1, "Travel/Italy/Rome/1.jpg", 1), makeAsset(2, "Travel/Italy/Rome/2.jpg", 2),
                makeAsset(3, "Travel/Italy/3.jpg", 3), makeAsset(4, "img10/4.jpg", 4), makeAsset(5, "img2/5.jpg", 5),
                makeAsset(6, "Img3/6.jpg", 6), makeAsset(7, "loose.jpg", 7)});
    const auto& tree = lib.store->folderTree();
    ASSERT_EQ(tree.size(), 4u);
    EXPECT_EQ(tree[0].name, "img2");
    EXPECT_EQ(tree[1].name, "Img3");
    EXPECT_EQ(tree[2].name, "img10");
    const FolderNode& travel = tree[3];
    EXPECT_EQ(travel.count, 3);
    ASSERT_EQ(travel.children.size(), 1u);
    EXPECT_EQ(travel.children[0].path, "Travel/Italy");
    EXPECT_EQ(travel.children[0].count, 3);
    ASSERT_EQ(travel.children[0].children.size(), 1u);
    EXPECT_EQ(travel.children[0].children[0].path, "Travel/Italy/Rome");
    EXPECT_EQ(travel.children[0].children[0].count, 2);

    // A new revision rebuilds the tree.
    lib.store->engineDidUpsert({makeAsset(8, "img2/8.jpg", 8)});
    EXPECT_EQ(lib.store->folderTree()[0].count, 2);
}

// A Latin-1 folder beside its UTF-8 twin: two nodes, each shown with what
// decodes and listing its own files by the bytes of its path.
TEST(StoreQueries, FolderNamesThatAreNotUtf8KeepTheirBytes) {
    Loaded lib({makeAsset(1, "Fr\xfchling/a.jpg", 1), makeAsset(2, "Fr\xc3\xbchling/a.jpg", 2),
                makeAsset(3, "Fr\xfcher/b.jpg", 3)});
    const auto& tree = lib.store->folderTree();
    ASSERT_EQ(tree.size(), 3u);
    std::map<std::string, std::string> nameOf;
    for (const auto& node : tree) nameOf[node.path] = node.name;
    EXPECT_EQ(nameOf["Fr\xfchling"], "Fr\ufffdhling");
    EXPECT_EQ(nameOf["Fr\xc3\xbchling"], "Fr\u00fchling");
    EXPECT_EQ(nameOf["Fr\xfcher"], "Fr\ufffdher");
    EXPECT_EQ(ids(lib.store->assetsInFolder("Fr\xfchling")), (std::vector<int64_t>{1}));
}

TEST(StoreQueries, FolderContentsIncludeSubfoldersOnly) {
    Loaded lib({makeAsset(1, "2019/a.jpg", 1), makeAsset(2, "2019/x/b.jpg", 2), makeAsset(3, "2019-old/c.jpg", 3)});
    EXPECT_EQ(ids(lib.store->assetsInFolder("2019")), (std::vector<int64_t>{2, 1}));
    EXPECT_TRUE(lib.store->assetsInFolder("").empty());
}

TEST(StoreQueries, SectionsByMonth) {
    Library lib;
    const double jan = WallClock::daysFromCivil(2021, 1, 10) * kDay;
    const double feb = WallClock::daysFromCivil(2021, 2, 3) * kDay;
    Asset video = makeAsset(3, "v.mov", jan + 5);
    video.kind = MediaKind::video;
    const std::vector<Asset> list{makeAsset(1, "a", feb), video, makeAsset(2, "b", jan)};
    auto s = lib.store->sections(list, Grouping::month);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].id, "m" + std::to_string(2021 * 12 + 1));
    EXPECT_EQ(s[1].id, "m" + std::to_string(2021 * 12 + 0));
    EXPECT_EQ(s[1].title, WallClock::format(WallClock::Template::monthYear, jan));
    EXPECT_EQ(s[1].detail, "1 photo, 1 video");
    EXPECT_EQ(ids(s[1].assets), (std::vector<int64_t>{3, 2}));

    // Not in capture order: the same month twice, with the same id.
    auto split = lib.store->sections({makeAsset(1, "a", jan), makeAsset(2, "b", feb), makeAsset(3, "c", jan)},
                                     Grouping::month);
    ASSERT_EQ(split.size(), 3u);
    EXPECT_EQ(split[0].id, split[2].id);

    // Before 1970: December 1969, not January 1970.
    auto old = lib.store->sections({makeAsset(1, "a", -1)}, Grouping::month);
    EXPECT_EQ(old[0].id, "m" + std::to_string(1969 * 12 + 11));
}

TEST(StoreQueries, SectionsByTripDay) {
    Library lib;
    const std::vector<Asset> list{makeAsset(4, "d", 13 * kDay + 10), makeAsset(3, "c", 11 * kDay + 5),
                                  makeAsset(2, "b", 10 * kDay + 9), makeAsset(1, "a", 10 * kDay + 1)};
    auto s = lib.store->sections(list, Grouping::tripDays);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].title, "Day 1");
    EXPECT_EQ(s[1].title, "Day 2");
    EXPECT_EQ(s[2].title, "Day 4");
    EXPECT_EQ(s[0].id, "d10");
    EXPECT_EQ(ids(s[0].assets), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(s[0].detail, WallClock::format(WallClock::Template::dayLong, 10 * kDay + 1) + "  \u00b7  2 photos");

    // One second before 1970 is the last day of 1969.
    auto old = lib.store->sections({makeAsset(2, "b", 1), makeAsset(1, "a", -1)}, Grouping::tripDays);
    ASSERT_EQ(old.size(), 2u);
    EXPECT_EQ(old[0].id, "d-1");
    EXPECT_EQ(old[1].title, "Day 2");
}

// Runs a test body with ICU's default time zone set, restoring it after.
struct ZoneScope {
    std::unique_ptr<icu::TimeZone> saved{icu::TimeZone::createDefault()};
    explicit ZoneScope(const char* id) { icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(id)); }
    ~ZoneScope() { icu::TimeZone::setDefault(*saved); }
};

TEST(StoreQueries, SectionsByDayAddedFollowTheLocalCalendar) {
    Library lib;
    ZoneScope zone("Pacific/Auckland");  // UTC+13 in March
    const double utcMidnight = WallClock::daysFromCivil(2021, 3, 2) * kDay;
    Asset morning = makeAsset(1, "a", 0), evening = makeAsset(2, "b", 0), nextDay = makeAsset(3, "c", 0);
    evening.added = utcMidnight + 5 * 3600;       // 2 March, 18:00 local
    morning.added = utcMidnight - 4 * 3600;       // 2 March, 09:00 local (still 1 March in UTC)
    nextDay.added = utcMidnight + 12 * 3600;      // 3 March, 01:00 local (still 2 March in UTC)
    auto s = lib.store->sections({nextDay, evening, morning}, Grouping::added);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(ids(s[1].assets), (std::vector<int64_t>{2, 1}));
    EXPECT_NE(s[0].title, s[1].title);
    EXPECT_NE(s[1].title.find('2'), std::string::npos);
    EXPECT_EQ(s[1].title.rfind("Added ", 0), 0u);
    EXPECT_EQ(s[1].id, "a" + std::to_string(WallClock::daysFromCivil(2021, 3, 2)));
}

TEST(StoreQueries, SectionsByDayAddedAreGregorianInEveryLocale) {
    Library lib;
    ZoneScope zone("Asia/Bangkok");
    fixtures::TimeLocaleScope locale("th_TH.UTF-8");  // whose own calendar is the Buddhist one
    Asset a = makeAsset(1, "a", WallClock::daysFromCivil(2021, 1, 5) * kDay);
    a.added = WallClock::daysFromCivil(2021, 3, 14) * kDay + 3600;
    EXPECT_EQ(lib.store->sections({a}, Grouping::added).at(0).title, "Added 14 \u0e21\u0e35\u0e19\u0e32\u0e04\u0e21 2021");
}

TEST(StoreQueries, OneSectionOrNone) {
    Library lib;
    auto s = lib.store->sections({makeAsset(1, "a", 5), makeAsset(2, "b", 1e9)}, Grouping::all);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].id, "all");
    EXPECT_TRUE(s[0].title.empty() && s[0].detail.empty());
    EXPECT_EQ(s[0].assets.size(), 2u);
    for (Grouping g : {Grouping::month, Grouping::tripDays, Grouping::added, Grouping::all})
        EXPECT_TRUE(lib.store->sections({}, g).empty());
}

TEST(StoreQueries, CoverFallsBackWhenTheStoredOneIsGoneOrOutsideTheTrip) {
    Asset portrait = makeAsset(2, "p.jpg", 150);
    portrait.width = 3000;
    portrait.height = 4000;
    Asset noThumb = makeAsset(3, "n.jpg", 160);
    noThumb.thumbState = 0;
    Loaded lib({makeAsset(1, "l.jpg", 120), portrait, noThumb, makeAsset(9, "outside.jpg", 900)});
    Trip trip;
    trip.id = 1;
    trip.start = 100;
    trip.end = 200;
    trip.coverAssetID = 42;  // no longer in the store
    EXPECT_EQ(lib.store->coverID(trip), 1);  // the landscape photo wins

    Asset fav = makeAsset(2, "p.jpg", 150);
    fav.width = 3000;
    fav.height = 4000;
    fav.favorite = true;
    lib.store->engineDidUpsert({fav});  // a new revision: the cached choice is stale
    EXPECT_EQ(lib.store->coverID(trip), 2);

    // A cover chosen among the trip's photos is shown; one outside its span
    // (the part a split took away) is not, until the trip spans it again.
    trip.coverAssetID = 3;
    EXPECT_EQ(lib.store->coverID(trip), 3);
    trip.coverAssetID = 9;
    EXPECT_EQ(lib.store->coverID(trip), 2);
    trip.end = 900;
    EXPECT_EQ(lib.store->coverID(trip), 9);

    Trip bare;
    bare.id = 2;
    bare.start = 155;
    bare.end = 165;
    EXPECT_EQ(lib.store->coverID(bare), std::nullopt);  // only an asset without a thumbnail
}

TEST(StoreQueries, RangeAndTripLookups) {
    Loaded lib({makeAsset(1, "a", 100), makeAsset(2, "b", 200), makeAsset(3, "c", 200), makeAsset(4, "d", 300)});
    AssetRange r = lib.store->range(150, 250);
    EXPECT_EQ(r.lower, 1u);
    EXPECT_EQ(r.size(), 2u);
    EXPECT_TRUE(lib.store->range(301, 400).empty());
    EXPECT_TRUE(lib.store->range(250, 150).empty());

    lib.db().db().run("INSERT INTO trips(id, title, start, end, hidden) VALUES(1,'hidden',0,1000,1),(2,'shown',150,250,0)");
    lib.store->engineDidUpdateTrips();
    EXPECT_EQ(lib.store->tripContaining(*lib.store->asset(2))->id, 2);
    EXPECT_FALSE(lib.store->tripContaining(*lib.store->asset(1)));
    EXPECT_EQ(lib.store->visibleTrips().size(), 1u);
}

TEST(StoreQueries, RecentlyAddedAndPeople) {
    Asset old = makeAsset(1, "a", 100), a = makeAsset(2, "b", 100), b = makeAsset(3, "c", 300);
    old.added = 1.7e9 - 40 * kDay;
    Loaded lib({old, a, b});
    EXPECT_EQ(ids(lib.store->recentlyAdded()), (std::vector<int64_t>{3, 2}));

    insertPerson(lib.db(), 5, "");
    insertPerson(lib.db(), 6, "Bo");
    insertPerson(lib.db(), 7, "Hidden");
    lib.db().db().run("UPDATE persons SET hidden=1 WHERE id=7");
    insertFace(lib.db(), 2, 5);
    insertFace(lib.db(), 2, 5);
    insertFace(lib.db(), 2, 7);
    insertFace(lib.db(), 2, 6);
    insertFace(lib.db(), 2, std::nullopt);
    lib.store->reloadPeople();
    std::vector<int64_t> people;
    for (const Person& p : lib.store->peopleIn(*lib.store->asset(2))) people.push_back(p.id);
    EXPECT_EQ(people, (std::vector<int64_t>{5, 6}));
    ASSERT_EQ(lib.store->visiblePersons().size(), 1u);  // unnamed with one photo is not shown
    EXPECT_EQ(lib.store->visiblePersons()[0].id, 6);
    EXPECT_EQ(lib.store->hiddenPersons().size(), 1u);
}

}  // namespace
