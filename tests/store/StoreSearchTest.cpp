// The search field over the store's own lists, as they change.

#include <gtest/gtest.h>

#include "StoreFixture.h"

using namespace storetest;

TEST(StoreSearch, FindsByTripPersonAlbumAndPathAsTheListsChange) {
    Library lib;
    lib.add({makeAsset(1, "Lisboa/a.jpg", 100), makeAsset(2, "b.jpg", 200), makeAsset(3, "c.jpg", 300),
             makeAsset(4, "d.jpg", 5000)});
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Été au Portugal', 150, 250)");
    insertPerson(lib.db(), 5, "Inês");
    insertFace(lib.db(), 3, 5);
    lib.store->start(false);
    const int64_t album = lib.store->createAlbum("Best", {4});
    auto& s = *lib.store;

    EXPECT_EQ(ids(s.search(s.assets(), "ÉTÉ")), (std::vector<int64_t>{2}));
    EXPECT_EQ(ids(s.search(s.assets(), "inês")), (std::vector<int64_t>{3}));
    EXPECT_EQ(ids(s.search(s.assets(), "ines")), (std::vector<int64_t>{}));  // accents count in names
    EXPECT_EQ(ids(s.search(s.assets(), "lisboa, best")), (std::vector<int64_t>{}));
    EXPECT_EQ(ids(s.search(s.assets(), "best")), (std::vector<int64_t>{4}));
    EXPECT_EQ(ids(s.search(s.assets(), " , ")), (std::vector<int64_t>{4, 3, 2, 1}));

    s.renameTrip(1, "Lisbon");
    s.renamePerson(5, "Ana");
    s.renameAlbum(album, "Porto");
    EXPECT_EQ(ids(s.search(s.assets(), "été")), (std::vector<int64_t>{}));
    EXPECT_EQ(ids(s.search(s.assets(), "lisbo")), (std::vector<int64_t>{2, 1}));
    EXPECT_EQ(ids(s.search(s.assets(), "ana")), (std::vector<int64_t>{3}));
    EXPECT_EQ(ids(s.search(s.assets(), "porto")), (std::vector<int64_t>{4}));

    // A moved file is found under its new folder.
    Asset moved = *s.asset(1);
    moved.path = "Madrid/a.jpg";
    s.engineDidUpsert({moved});
    EXPECT_EQ(ids(s.search(s.assets(), "madrid")), (std::vector<int64_t>{1}));
    EXPECT_EQ(ids(s.search(s.assets(), "lisboa")), (std::vector<int64_t>{}));
}
