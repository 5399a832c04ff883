// The user's writes: favourites, albums, people and trip names.

#include <gtest/gtest.h>

#include <algorithm>

#include "Core/Index/AbsentFiles.h"
#include "StoreFixture.h"

using namespace storetest;

namespace {

struct Started : Library {
    Started() {
        add({makeAsset(1, "a.jpg", 100), makeAsset(2, "b.jpg", 200), makeAsset(3, "c.jpg", 300),
             makeAsset(4, "d.jpg", 400)});
        Asset hidden = makeAsset(5, "h.jpg", 500);
        hidden.hidden = true;
        add({hidden});
        store->start(false);
    }
    bool favoriteInIndex(int64_t id) {
        return db().db().scalarInt("SELECT favorite FROM assets WHERE id=?", {id}).value_or(0) != 0;
    }
};

TEST(StoreActions, FavouritesAcrossAMixedSelection) {
    Started lib;
    const int rev = lib.store->revision();
    const auto held = lib.store->sharedAssets();  // as a screen keeps it
    lib.store->setFavorite({1, 5, 77, 3}, true);
    EXPECT_TRUE(lib.store->asset(1)->favorite);
    EXPECT_TRUE(lib.store->asset(3)->favorite);
    EXPECT_FALSE(lib.store->asset(2)->favorite);
    EXPECT_TRUE(lib.favoriteInIndex(5));  // hidden: written, not listed
    EXPECT_EQ(lib.store->revision(), rev + 1);
    EXPECT_TRUE(std::none_of(held->begin(), held->end(), [](const Asset& a) { return a.favorite; }));

    // Nothing to change: the list stays the one shared, and quiet.
    const auto current = lib.store->sharedAssets();
    SignalLog log(*lib.store);
    lib.store->setFavorite({1, 3}, true);
    EXPECT_EQ(lib.store->sharedAssets(), current);
    EXPECT_EQ(log.names, (std::vector<std::string>{"revision"}));

    lib.store->setFavorite({1, 2, 3}, false);
    EXPECT_FALSE(lib.store->asset(1)->favorite || lib.store->asset(3)->favorite);
    EXPECT_FALSE(lib.favoriteInIndex(1));
    EXPECT_TRUE(lib.favoriteInIndex(5));
    EXPECT_EQ(ids(lib.store->assets()), (std::vector<int64_t>{4, 3, 2, 1}));
}

TEST(StoreActions, AlbumNamesAreTrimmedAndNeverBlank) {
    Started lib;
    const int64_t id = lib.store->createAlbum("  \n", {3, 1, 3, 2});
    ASSERT_TRUE(lib.store->album(id));
    EXPECT_EQ(lib.store->album(id)->name, "Untitled Album");
    EXPECT_EQ(lib.store->album(id)->assetIDs, (std::vector<int64_t>{3, 1, 2}));

    const int collections = lib.store->collectionsRevision();
    lib.store->renameAlbum(id, " \t ");
    EXPECT_EQ(lib.store->collectionsRevision(), collections);
    lib.store->renameAlbum(id, " Summer ");
    EXPECT_EQ(lib.store->album(id)->name, "Summer");

    const int before = lib.store->collectionsRevision();
    const int64_t empty = lib.store->createAlbum("Empty", {});
    EXPECT_TRUE(lib.store->album(empty)->assetIDs.empty());
    EXPECT_EQ(lib.store->collectionsRevision(), before + 1);
    lib.store->deleteAlbum(id);
    EXPECT_FALSE(lib.store->album(id));
    EXPECT_EQ(lib.store->albums().size(), 1u);
}

struct WithPeople : Started {
    WithPeople() {
        insertPerson(db(), 5, "");
        insertPerson(db(), 9, "Anna");
        insertFace(db(), 1, 5);
        insertFace(db(), 2, 5);
        insertFace(db(), 3, 9);
        store->reloadPeople();
    }
};

TEST(StoreActions, RenamingToATakenNameMergesIntoTheRenamedPerson) {
    WithPeople lib;
    lib.store->renamePerson(5, " anna ");
    ASSERT_EQ(lib.store->persons().size(), 1u);
    EXPECT_EQ(lib.store->persons()[0].id, 5);
    EXPECT_EQ(lib.store->persons()[0].name, "anna");
    EXPECT_EQ(ids(lib.store->assetsOf(5)), (std::vector<int64_t>{3, 2, 1}));

    lib.store->renamePerson(5, "");
    EXPECT_EQ(lib.store->person(5)->name, "");
}

TEST(StoreActions, RenamingMergesANamesakeOffTheList) {
    // Anna's only photo changed and waits to be read again: she is off the
    // list, but still in the index with her name; so is an "anna" that an
    // earlier version left beside her.
    WithPeople lib;
    lib.db().db().run("UPDATE assets SET faces_done=0 WHERE id=3");
    insertPerson(lib.db(), 12, "anna");
    insertFace(lib.db(), 4, 12);
    lib.db().db().run("UPDATE assets SET faces_done=0 WHERE id=4");
    lib.store->reloadPeople();
    ASSERT_FALSE(lib.store->person(9));

    lib.store->renamePerson(5, "ANNA");
    EXPECT_EQ(lib.db().db().scalarInt("SELECT COUNT(*) FROM persons"), 1);
    EXPECT_EQ(lib.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id=5"), 4);
    ASSERT_EQ(lib.store->persons().size(), 1u);
    EXPECT_EQ(lib.store->person(5)->name, "ANNA");
    // Once read again, the changed photos count for the one person.
    lib.db().db().run("UPDATE assets SET faces_done=1");
    lib.store->reloadPeople();
    EXPECT_EQ(ids(lib.store->assetsOf(5)), (std::vector<int64_t>{4, 3, 2, 1}));
}

TEST(StoreActions, MergeKeepsTheOnlyName) {
    WithPeople lib;
    lib.store->mergePerson(9, 5);
    ASSERT_EQ(lib.store->persons().size(), 1u);
    EXPECT_EQ(lib.store->person(5)->name, "Anna");

    const int collections = lib.store->collectionsRevision();
    lib.store->mergePerson(5, 5);
    EXPECT_EQ(lib.store->collectionsRevision(), collections);
}

TEST(StoreActions, RemovingAllOfAPersonsPhotosDeletesThePerson) {
    WithPeople lib;
    lib.store->removeFromPerson(5, {1});
    EXPECT_EQ(ids(lib.store->assetsOf(5)), (std::vector<int64_t>{2}));
    lib.store->removeFromPerson(5, {2});
    EXPECT_FALSE(lib.store->person(5));
    EXPECT_TRUE(lib.store->assetsOf(5).empty());
    EXPECT_EQ(lib.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE asset_id IN (1,2) AND person_id IS NULL "
                                      "AND locked=1"),
              2);
    EXPECT_TRUE(lib.store->person(9));
}

// A person whose every photo is away is out of the list, yet still there,
// waiting with the photo: naming someone else after them names one person.
TEST(StoreActions, NamingSomeoneAfterAPersonWhosePhotosAreAwayMakesThemOne) {
    WithPeople lib;
    setAside(lib.db().db(), 3, nowSeconds());
    lib.store->engineDidRemove({3});
    lib.store->reloadPeople();
    ASSERT_FALSE(lib.store->person(9));
    lib.store->renamePerson(5, "anna");
    bringBack(lib.db().db(), 3, "c.jpg", {true, true});
    lib.store->engineDidUpsert(lib.db().assets({3}));
    lib.store->reloadPeople();
    ASSERT_EQ(lib.store->persons().size(), 1u);
    EXPECT_EQ(lib.store->persons()[0].name, "anna");
    EXPECT_EQ(ids(lib.store->assetsOf(5)), (std::vector<int64_t>{3, 2, 1}));
}

TEST(StoreActions, RenamingATripKeepsWhatTheEngineWroteMeanwhile) {
    Started lib;
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Lisbon', 100, 400)");
    lib.store->engineDidUpdateTrips();
    // The engine names the trip anew and picks a cover after the store loaded it.
    lib.db().db().run("UPDATE trips SET title='Lisbon and Sintra', cover_asset=2, named=1 WHERE id=1");

    lib.store->renameTrip(1, "  Holiday ");
    Trip t = *lib.store->trip(1);
    EXPECT_EQ(t.customTitle, "Holiday");
    EXPECT_EQ(t.autoTitle, "Lisbon and Sintra");
    EXPECT_EQ(t.coverAssetID, 2);
    EXPECT_TRUE(t.named);

    lib.store->renameTrip(1, "Lisbon and Sintra");
    EXPECT_EQ(lib.store->trip(1)->customTitle, std::nullopt);
    lib.store->renameTrip(1, "x");
    lib.store->renameTrip(1, "   ");
    EXPECT_EQ(lib.store->trip(1)->customTitle, std::nullopt);
    lib.store->renameTrip(99, "nothing");
}

struct LookAlikes : Started {
    // Persons 5, 6 and 7 with the same face, each in a photo of their own
    // (1, 2 and 3); 7 is hidden.
    LookAlikes() {
        std::vector<float> same(128, 0.0f);
        same[0] = 1.0f;
        for (int64_t person : {5, 6, 7}) {
            insertPerson(db(), person, "");
            db().db().run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) "
                          "VALUES(?,0.1,0.1,0.2,0.2,0.9,?,?)",
                          {person - 4, LibraryDB::encodeEmbedding(same), person});
            db().db().run("UPDATE assets SET faces_done=1 WHERE id=?", {person - 4});
        }
        db().db().run("UPDATE persons SET hidden=1 WHERE id=7");
        store->reloadPeople();
    }
};

TEST(StoreActions, SuggestionsArriveLaterWithoutHiddenPeopleAndGoWithAReload) {
    LookAlikes lib;
    lib.store->loadSuggestions(5);
    EXPECT_FALSE(lib.store->mergeSuggestions().count(5));
    ASSERT_TRUE(spinUntil([&] { return lib.store->mergeSuggestions().count(5) == 1; }));
    EXPECT_EQ(lib.store->mergeSuggestions().at(5), (std::vector<int64_t>{6}));

    const int collections = lib.store->collectionsRevision();
    lib.store->engineDidUpdatePeople();
    EXPECT_TRUE(lib.store->mergeSuggestions().empty());
    EXPECT_EQ(lib.store->collectionsRevision(), collections + 1);
}

TEST(StoreActions, SuggestionsForAClosedStoreAreDropped) {
    LookAlikes lib;
    lib.store->loadSuggestions(5);
    lib.store->shutdown();
    spinUntil([] { return false; }, 300);
    EXPECT_TRUE(lib.store->mergeSuggestions().empty());
}

}  // namespace
