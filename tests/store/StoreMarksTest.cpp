// Whichever way what the user made changes (the store's actions, the
// screens' own writes, the engine grouping faces into a named person, photos
// going), the copy of the marks beside the index follows a moment later,
// and what changed last is in it once the library closes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"
#include "Core/Index/MarksKeeper.h"
#include "StoreFixture.h"

using namespace storetest;

namespace {

std::string pathOf(int i) { return "2023/Rome/IMG_" + std::to_string(i) + ".jpg"; }

const MarkedPerson* named(const Marks& m, const std::string& name) {
    for (const MarkedPerson& p : m.persons)
        if (p.name == name) return &p;
    return nullptr;
}

bool isFavourite(const Marks& m, int i) {
    const MarkedFile* f = m.file(pathOf(i));
    return f && f->favorite;
}

}  // namespace

TEST(StoreMarks, EveryChangeOfWhatTheUserMadeReachesTheCopy) {
    Library lib;
    for (int i = 1; i <= 4; ++i) insertAsset(lib.db(), makeAsset(i, pathOf(i), 1.6e9 + i));
    insertPerson(lib.db(), 1, "Ada");
    insertPerson(lib.db(), 2, "");
    insertFace(lib.db(), 1, 1);
    insertFace(lib.db(), 2, 2);
    Trip trip;
    trip.autoTitle = "May 2023";
    trip.start = 1.6e9;
    trip.end = 1.6e9 + 10;
    const int64_t tripID = lib.db().insertTrip(trip);
    LibraryStore& store = *lib.store;
    store.start(false);
    const std::string copyPath = marksCopyPath(store.paths());
    auto copy = [&] {
        EXPECT_TRUE(store.marksKeeper().waitIdle(std::chrono::milliseconds(fixtures::patientMs)));
        return readMarksCopy(copyPath).marks;
    };
    ASSERT_TRUE(named(copy(), "Ada")) << "the opening writes the copy at once";
    EXPECT_EQ(store.marksKeeper().standing(), MarksKeeper::Standing::kept);

    struct Change {
        const char* name;
        std::function<void()> make;
        std::function<bool(const Marks&)> holds;
    } changes[] = {
        {"a favourite", [&] { store.setFavorite({3}, true); }, [](const Marks& m) { return isFavourite(m, 3); }},
        {"an album", [&] { store.createAlbum("Walks", {4, 1}); },
         [](const Marks& m) {
             return m.albums.size() == 1 && m.albums[0].members.size() == 2 && m.albums[0].members[0].path == pathOf(4);
         }},
        {"an album's member taken out", [&] { store.removeFromAlbum(store.albums()[0].id, {4}); },
         [](const Marks& m) { return m.albums[0].members.size() == 1; }},
        {"a person named", [&] { store.renamePerson(2, "Bea"); }, [](const Marks& m) { return named(m, "Bea"); }},
        {"a person hidden by the screens",
         [&] {
             store.db().db().run("UPDATE persons SET hidden=? WHERE id=?", {1, 1});
             store.reloadPeople();
         },
         [](const Marks& m) { return named(m, "Ada") && named(m, "Ada")->hidden; }},
        {"a face the engine gives a named person",
         [&] {
             insertFace(store.db(), 3, 2);
             store.engineDidUpdatePeople();
         },
         [](const Marks& m) { return named(m, "Bea") && named(m, "Bea")->faces.size() == 2; }},
        {"a face taken out of a person", [&] { store.removeFromPerson(2, {3}); },
         [](const Marks& m) { return m.locked.size() == 1 && m.locked[0].path == pathOf(3); }},
        {"a trip renamed", [&] { store.renameTrip(tripID, "Rome"); },
         [](const Marks& m) { return m.trips.size() == 1 && m.trips[0].customTitle == "Rome"; }},
        {"a trip dismissed", [&] { store.setTripHidden(tripID, true); },
         [](const Marks& m) { return m.trips.size() == 1 && m.trips[0].hidden; }},
        {"a trip's cover",
         [&] {
             Trip t = *store.trip(tripID);
             t.coverAssetID = 2;
             store.db().updateTrip(t);
             store.engineDidUpdateTrips();
         },
         [](const Marks& m) { return m.trips.size() == 1 && m.trips[0].cover == pathOf(2); }},
        {"a favourite's photo gone",
         [&] {
             store.db().deleteAssets({3});
             store.engineDidRemove({3});
         },
         [](const Marks& m) { return !isFavourite(m, 3) && m.locked.empty(); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        const double before = readMarksCopy(copyPath).marks.changed;
        change.make();
        const Marks now = copy();
        EXPECT_TRUE(change.holds(now));
        EXPECT_GT(now.changed, before);
        EXPECT_EQ(marksChanged(store.db().db()), now.changed) << "the index and its copy say the same time";
    }

    // The last change before closing is not left behind.
    store.setFavorite({1}, true);
    store.shutdown();
    EXPECT_TRUE(isFavourite(readMarksCopy(copyPath).marks, 1));
}
