#include <gtest/gtest.h>

#include <thread>

#include "Core/Search/AssetSearch.h"
#include "Core/Base/WallClock.h"
#include "fixtures/EnvScope.h"

using namespace vintrelle;

namespace {

double at(int y, int m, int d, int hour = 12) { return double(WallClock::daysFromCivil(y, m, d)) * 86400 + hour * 3600; }

Asset asset(int64_t id, std::string path, double taken, MediaKind kind = MediaKind::photo) {
    Asset a;
    a.id = id;
    a.path = std::move(path);
    a.taken = taken;
    a.kind = kind;
    return a;
}

std::vector<int64_t> ids(const std::vector<Asset>& assets) {
    std::vector<int64_t> out;
    for (const auto& a : assets) out.push_back(a.id);
    return out;
}

class AssetSearchTest : public testing::Test {
protected:
    std::vector<int64_t> find(const std::vector<Asset>& list, std::string_view query, bool dayFirst = false) {
        return ids(search.search(list, query, sources(), at(2026, 6, 15), dayFirst));
    }
    std::vector<int64_t> find(const std::shared_ptr<const AssetList>& list, std::string_view query) {
        std::vector<int64_t> out;
        for (size_t i : search.matchingIndices(list, query, sources(), at(2026, 6, 15), false))
            out.push_back((*list)[i].id);
        return out;
    }
    SearchSources sources() const {
        return SearchSources{&trips, &persons, &personAssets, &albums, revision, collectionsRevision};
    }

    AssetSearch search;
    std::vector<Trip> trips;
    std::vector<Person> persons;
    PersonAssets personAssets;
    std::vector<Album> albums;
    int64_t revision = 1;
    int64_t collectionsRevision = 1;

private:
    fixtures::ZoneScope zone_{"UTC"};
};

}  // namespace

TEST_F(AssetSearchTest, TermsAreAndedAndEachTermTriesEveryMatcher) {
    const std::vector<Asset> list = {
        asset(1, "trips/a.mov", at(2021, 5, 1), MediaKind::video),     // a video of 2021
        asset(2, "b.jpg", at(2021, 5, 1)),                             // a photo of 2021
        asset(3, "c.mov", at(2020, 5, 1), MediaKind::video),           // a video of 2020
        asset(4, "Videos/2021 best/d.jpg", at(2020, 5, 1)),            // both words in its path
        asset(5, "2021/e.mov", at(2019, 5, 1), MediaKind::video),      // a video, 2021 in its path
    };
    EXPECT_EQ(find(list, "videos 2021"), (std::vector<int64_t>{1, 4, 5}));
    EXPECT_EQ(find(list, "2021"), (std::vector<int64_t>{1, 2, 4, 5}));
    EXPECT_EQ(find(list, "VIDEOS,\u30002021"), (std::vector<int64_t>{1, 4, 5}));  // any case, comma, ideographic space
    EXPECT_EQ(find(list, "photos"), (std::vector<int64_t>{2, 4}));
    EXPECT_EQ(find(list, "videos kyoto"), (std::vector<int64_t>{}));
    // Separators only: the list comes back unchanged.
    EXPECT_EQ(find(list, " ,, \t\n\u2028\u00a0"), (std::vector<int64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(find(list, ""), (std::vector<int64_t>{1, 2, 3, 4, 5}));
}

// Paths compare without their diacritics (accents, tones, points) but keep
// every letter and vowel sign; names keep their accents.
TEST_F(AssetSearchTest, DiacriticsFoldInPathsButCountInNames) {
    std::vector<Asset> list = {
        asset(1, "Paris/Caf\u00e9 de Flore.jpg", at(2020, 1, 1)),  // NFC
        asset(2, "Paris/Cafe\u0301 noir.jpg", at(2020, 1, 1)),     // NFD
        asset(3, "Paris/tea.jpg", at(2020, 1, 1)),                 // only the person "Café" is in it
        asset(4, "\u092a\u0941\u0923\u0947/a.jpg", at(2020, 1, 1)),  // पुणे (Pune)
        asset(5, "\u092a\u0923/b.jpg", at(2020, 1, 1)),              // पण, the same letters without vowels
        asset(6, "\u0e1b\u0e34\u0e14.jpg", at(2020, 1, 1)),         // ปิด (closed)
        asset(7, "\u0e1b\u0e14.jpg", at(2020, 1, 1)),                // ปด
        asset(8, "Vi\u1ec7t Nam/c.jpg", at(2020, 1, 1)),
        asset(9, "\u0141\u00f3d\u017a/d.jpg", at(2020, 1, 1)),       // Łódź
        asset(10, "Archiv/caf\xe9.jpg", at(2020, 1, 1)),              // Latin-1, not UTF-8
    };
    persons = {Person{7, "Cafe\u0301", false, std::nullopt, 1}};  // NFD spelling of "Café"
    personAssets = {{7, {3}}};
    const std::pair<const char*, std::vector<int64_t>> rows[] = {
        {"cafe", {1, 2}},
        {"CAF\u00c9", {1, 2, 3}},  // and, canonically equal, the person
        {"caf", {1, 2, 3, 10}},
        {"caf\ufffd", {10}},  // the name as the screens show it
        {"\u092a\u0941\u0923\u0947", {4}},
        {"\u092a\u0923", {5}},
        {"\u0e1b\u0e34\u0e14", {6}},
        {"\u0e1b\u0e14", {7}},
        {"viet", {8}},
        {"VI\u1ec6T", {8}},
        {"\u0142odz", {9}},
        {"lodz", {}},  // the stroke makes another letter, not an accent
    };
    for (const auto& [query, expected] : rows) EXPECT_EQ(find(list, query), expected) << query;

    // Cameras ignore case but not accents.
    list[2].camera = "Fuj\u00cd X100";
    EXPECT_EQ(find(list, "fují"), (std::vector<int64_t>{3}));
    EXPECT_EQ(find(list, "fuji"), (std::vector<int64_t>{}));
}

TEST_F(AssetSearchTest, TripsPeopleAndAlbumsByName) {
    const std::vector<Asset> list = {
        asset(1, "2019/x.jpg", at(2019, 7, 2)),   // inside the trip's range
        asset(2, "2019/y.jpg", at(2019, 7, 20)),  // after it
        asset(3, "ROME/z.jpg", at(2018, 1, 1)),   // the folder says so
        asset(4, "misc/p.jpg", at(2017, 1, 1)),   // a hidden person's photo
        asset(5, "misc/q.jpg", at(2016, 1, 1)),   // in the album
        asset(6, "misc/r.jpg", at(2019, 8, 2)),   // inside a dismissed trip
    };
    Trip rome;
    rome.id = 1;
    rome.autoTitle = "Rome Weekend";
    rome.start = at(2019, 7, 1, 0);
    rome.end = at(2019, 7, 3, 23);
    Trip summer;
    summer.id = 2;
    summer.autoTitle = "Lazio";
    summer.customTitle = "\u00e9t\u00e9 \u00e0 Rome";
    summer.start = at(2019, 8, 1, 0);
    summer.end = at(2019, 8, 3, 23);
    summer.hidden = true;
    trips = {rome, summer};
    persons = {Person{9, "Romeo", true, std::nullopt, 1}, Person{10, "", false, std::nullopt, 1}};
    personAssets = {{9, {4}}, {10, {2}}};
    albums = {Album{3, "Best of rome", 0, {5, 99}}};

    EXPECT_EQ(find(list, "Rome"), (std::vector<int64_t>{1, 3, 4, 5}));
    // A dismissed trip finds nothing by name; its custom title replaces the automatic one.
    EXPECT_EQ(find(list, "\u00c9T\u00c9"), (std::vector<int64_t>{}));
    trips[1].hidden = false;
    ++collectionsRevision;
    EXPECT_EQ(find(list, "\u00c9T\u00c9"), (std::vector<int64_t>{6}));
    EXPECT_EQ(find(list, "lazio"), (std::vector<int64_t>{}));
    // Accents count in trip titles.
    EXPECT_EQ(find(list, "ete"), (std::vector<int64_t>{}));
    // A renamed trip is found by its new name in the next collections revision.
    trips[0].customTitle = "Roma";
    ++collectionsRevision;
    EXPECT_EQ(find(list, "weekend"), (std::vector<int64_t>{}));
    EXPECT_EQ(find(list, "roma"), (std::vector<int64_t>{1}));
}

TEST_F(AssetSearchTest, KindsFavouritesAndLivePhotos) {
    std::vector<Asset> list = {
        asset(1, "a.heic", at(2020, 1, 1)),
        asset(2, "b.mov", at(2020, 1, 1), MediaKind::video),
        asset(3, "c.jpg", at(2020, 1, 1)),
    };
    list[0].liveVideo = "a.mov";
    list[2].favorite = true;
    EXPECT_EQ(find(list, "live"), (std::vector<int64_t>{1}));
    EXPECT_EQ(find(list, "favourites"), (std::vector<int64_t>{3}));
    EXPECT_EQ(find(list, "favorite photo"), (std::vector<int64_t>{3}));
    EXPECT_EQ(find(list, "movie"), (std::vector<int64_t>{2}));
    EXPECT_EQ(find(list, "vid"), (std::vector<int64_t>{}));  // a kind word is never a prefix
}

TEST_F(AssetSearchTest, DatePhrasesAreOneTermAndAlsoPlainText) {
    const std::vector<Asset> list = {
        asset(1, "a.jpg", at(2021, 3, 4)),
        asset(2, "b.jpg", at(2021, 4, 3)),
        asset(3, "c.jpg", at(2021, 4, 5)),
        asset(4, "notes 3/4.jpg", at(2010, 1, 1)),
        asset(5, "d.jpg", at(2026, 6, 14, 23)),
        asset(6, "12 march 2021/e.jpg", at(2000, 1, 1)),
        asset(7, "f.jpg", at(2021, 3, 12)),
    };
    EXPECT_EQ(find(list, "3/4"), (std::vector<int64_t>{1, 2, 4}));
    EXPECT_EQ(find(list, "yesterday"), (std::vector<int64_t>{5}));
    // The phrase is one term: its words are not each searched on their own.
    EXPECT_EQ(find(list, "12th of March 2021"), (std::vector<int64_t>{7}));
    EXPECT_EQ(find(list, "12 march 2021"), (std::vector<int64_t>{6, 7}));
}

TEST_F(AssetSearchTest, FoldedPathsFollowTheRevision) {
    std::vector<Asset> list = {asset(1, "Kyoto/a.jpg", at(2020, 1, 1)), asset(2, "b.jpg", at(2020, 1, 1))};
    EXPECT_EQ(find(list, "kyoto"), (std::vector<int64_t>{1}));
    list[0].path = "Osaka/a.jpg";
    list[1].camera = "KYOCERA";
    ++revision;
    EXPECT_EQ(find(list, "kyo"), (std::vector<int64_t>{2}));
    EXPECT_EQ(find(list, "osaka"), (std::vector<int64_t>{1}));
    // A list changed without a new revision is never answered with stale folds.
    list[0].path = "Nara/a.jpg";
    EXPECT_EQ(find(list, "nara"), (std::vector<int64_t>{1}));
    // Another list of the same revision (a folder, an album) in another order.
    const std::vector<Asset> other = {list[1], asset(3, "Nara/c.jpg", at(2020, 1, 1)), list[0]};
    EXPECT_EQ(find(other, "nara"), (std::vector<int64_t>{3, 1}));
    EXPECT_EQ(find(list, "nara"), (std::vector<int64_t>{1}));
}

// A shared list is read once per revision and then searched as it stood; a
// match never runs from one path into the next, whether a term looks at
// every path or only at the few assets the terms before it left.
TEST_F(AssetSearchTest, SharedListsAndTheEndsOfPaths) {
    std::vector<Asset> list = {asset(1, "a/ky", at(2020, 1, 1)), asset(2, "oto/b.jpg", at(2020, 1, 1)),
                               asset(3, "Kyoto/c.jpg", at(2020, 1, 1))};
    for (int64_t id = 4; id <= 12; ++id) list.push_back(asset(id, "x/" + std::to_string(id) + ".png", at(2019, 1, 1)));
    auto shared = std::make_shared<const AssetList>(list);
    const std::pair<std::string, std::vector<int64_t>> rows[] = {
        {"kyoto", {3}},     {"ky", {1, 3}},           {"kyoto c.j", {3}}, {"b.jpg oto", {2}},
        {"jpg kyoto", {3}}, {"jpg 2020 oto", {2, 3}}, {"png 4", {4}},
    };
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [query, expected] : rows) {
            SCOPED_TRACE(query);
            EXPECT_EQ(find(shared, query), expected);
            EXPECT_EQ(find(list, query), expected);
        }
    }
    // The next revision's list, with a file moved: found under its new name.
    ++revision;
    list[0].path = "Kyoto/a.jpg";
    auto next = std::make_shared<const AssetList>(list);
    EXPECT_EQ(find(next, "kyoto"), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(find(next, "kyoto"), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(find(shared, "kyoto"), (std::vector<int64_t>{3}));  // an older list is read as it is
}

// Folds made ahead by a searcher on another thread answer as the searcher's
// own would: taken whole before any search, merged after one, and never
// standing for a path or camera that changed since they were made.
TEST_F(AssetSearchTest, FoldsPreparedAheadOnAnotherThread) {
    std::vector<Asset> list = {asset(1, "Z\u00fcrich/a.jpg", at(2020, 1, 1)), asset(2, "Kyoto/b.jpg", at(2021, 3, 5)),
                               asset(3, "c.jpg", at(2020, 1, 1))};
    list[2].camera = "FUJIFILM X-T3";
    auto shared = std::make_shared<const AssetList>(list);
    auto madeAhead = [](const std::shared_ptr<const AssetList>& l, int64_t rev) {
        AssetSearch ahead;
        std::thread([&] { ahead.prepareAhead(l, rev); }).join();
        return ahead;
    };
    search.adopt(madeAhead(shared, revision));
    EXPECT_EQ(find(shared, "zurich"), (std::vector<int64_t>{1}));
    EXPECT_EQ(find(shared, "fujifilm"), (std::vector<int64_t>{3}));
    EXPECT_EQ(find(shared, "march 2021"), (std::vector<int64_t>{2}));

    // Made for a list that has moved on: asset 3 renamed, 4 new.
    AssetSearch ahead = madeAhead(shared, revision);
    ++revision;
    list[2].path = "Osaka/c.jpg";
    list[2].camera.reset();
    list.push_back(asset(4, "Nara/d.jpg", at(2020, 1, 1)));
    search.adopt(std::move(ahead));
    auto next = std::make_shared<const AssetList>(list);
    EXPECT_EQ(find(next, "osaka"), (std::vector<int64_t>{3}));
    EXPECT_EQ(find(next, "fujifilm"), (std::vector<int64_t>{}));
    EXPECT_EQ(find(next, "nara"), (std::vector<int64_t>{4}));
    EXPECT_EQ(find(list, "zurich"), (std::vector<int64_t>{1}));
}
