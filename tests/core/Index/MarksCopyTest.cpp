// The second copy of what the user made: written whole or not at all, kept
// following its index, never written from an index that lost what it holds,
// and, when the index is emptied or spoiled, what the rebuild brings back.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"
#include "Core/Index/MarksKeeper.h"
#include "app/PrivateMounts.h"
#include "fixtures/ChildProcess.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 400;

std::string photo(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "2022/A long way to the sea/IMG_%05d.JPG", i);
    return name;
}

DBBlob print(int i) { return LibraryDB::encodeEmbedding(std::vector<float>(128, 0.01f * float(i))); }

// A library as a user leaves it, every kind of mark in it: favourites 1, 5
// and 9; "Summer" holding 9, 1, 5 in that order and "Empty"; Ada named on 1,
// 2 and 3, a hidden person on 4, an unnamed one on 6 (no mark); a face of 7
// taken out of a person; a renamed trip, a dismissed one and one with a
// cover, beside a plain one.
void buildLibrary(const std::string& index) {
    LibraryDB lib(index);
    Database& db = lib.db();
    db.transaction([&] {
        db.run("INSERT INTO meta(key, value) VALUES('faceVersion', '2')");
        for (int i = 1; i <= kPhotos; ++i)
            db.run("INSERT INTO assets(id, path, kind, size, mtime, taken, favorite, thumb, meta_done, faces_done, added)"
                   " VALUES(?,?,0,?,1.6e9,?,?,1,1,1,1.7e9)",
                   {i, photo(i), 5000 + i, 1.6e9 + i, i == 1 || i == 5 || i == 9});
        db.run("INSERT INTO albums(id, name, created) VALUES(1, 'Summer', 100.5), (2, 'Empty', 200.25)");
        db.run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(1, 9, 10), (1, 1, 11), (1, 5, 12)");
        db.run("INSERT INTO persons(id, name, hidden, created) VALUES(1, 'Ada', 0, 5), (2, '', 1, 6), (3, '', 0, 7)");
        auto face = [&](int asset, std::optional<int64_t> person, bool locked) {
            db.run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) "
                   "VALUES(?, 0.2, 0.3, 0.25, 0.3, 0.9, ?, ?, ?)",
                   {asset, print(asset), person, locked});
        };
        for (int i : {1, 2, 3}) face(i, 1, false);
        face(4, 2, false);
        face(6, 3, false);
        face(7, std::nullopt, true);
        db.run("INSERT INTO trips(title, custom_title, start, end, lat, lon, hidden, cover_asset) VALUES"
               "('May 2022', 'Lisbon', 1000, 2000, 38.7, -9.1, 0, NULL), ('June 2022', NULL, 3000, 4000, 1, 2, 1, NULL),"
               "('July 2022', NULL, 5000, 6000, 3, 4, 0, 8), ('August 2022', NULL, 7000, 8000, 5, 6, 0, NULL)");
    });
}

struct Library {
    fixtures::TempDir dir;
    LibraryPaths paths{dir / "Lib", dir / "data", false};
    Library() {
        fs::create_directories(paths.dataDir);
        buildLibrary(paths.databasePath());
    }
    // The photo files themselves, as a library folder holds them.
    void makePhotos() {
        for (int i = 1; i <= kPhotos; ++i) fixtures::writeFile(paths.root + "/" + photo(i), "photo");
    }
    std::string index() const { return paths.databasePath(); }
    std::string copy() const { return marksCopyPath(paths); }
    Marks marks() {
        LibraryDB db(index());
        return readMarks(db.db());
    }
    // Writes the copy as a library opened with it does.
    void keep() {
        auto db = std::make_shared<LibraryDB>(index());
        MarksKeeper keeper(db, paths);
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        ASSERT_EQ(keeper.standing(), MarksKeeper::Standing::kept);
    }
};

std::vector<std::string> favourites(const Marks& m) {
    std::vector<std::string> out;
    for (const MarkedFile& f : m.files)
        if (f.favorite) out.push_back(f.path);
    return out;
}

const char* const kChildCopy = "VINTRELLE_MARKS_COPY";
const char* const kChildKillAt = "VINTRELLE_MARKS_KILL_AT";

// The files of the data folder whose names start so.
std::vector<fs::path> filesNamed(const std::string& folder, const std::string& start) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().starts_with(start)) out.push_back(e.path());
    return out;
}

MarksKeeper::Standing opened(Library& lib, std::shared_ptr<LibraryDB> db = {}) {
    if (!db) db = std::make_shared<LibraryDB>(lib.index());
    MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
    keeper.open();
    EXPECT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    return keeper.standing();
}

}  // namespace

// Emptied by a power cut, or its header spoiled: nothing of it, or only its
// rows, reads; the copy brings back every mark, by path, under new ids
// where it must, and the photos of rows made anew wait for the scan.
TEST(MarksCopy, AnEmptiedOrSpoiledIndexIsBroughtBackFromTheCopy) {
    struct Damage {
        const char* name;
        std::function<void(const std::string&)> apply;
        bool rowsLost;
    } damages[] = {
        {"a file of no bytes", [](const std::string& f) { fs::resize_file(f, 0); }, true},
        {"a zeroed header", [](const std::string& f) { fixtures::spoilBytes(f, 0, 100); }, false},
        {"every page zeroed", [](const std::string& f) { fixtures::writeFile(f, std::string(fs::file_size(f), '\0')); },
         true},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        Library lib;
        lib.keep();
        const Marks before = lib.marks();
        ASSERT_EQ(favourites(before), (std::vector<std::string>{photo(1), photo(5), photo(9)}));
        damage.apply(lib.index());
        if (fs::file_size(lib.index()) == 0) {
            EXPECT_THROW(refuseEmptiedIndex(lib.paths), DBError) << "an emptied index would be made anew, unsaid";
        }

        const IndexRebuild done = rebuildIndex(lib.paths);
        EXPECT_EQ(done.lostFavorites + done.lostAlbums + done.lostNames, 0);
        EXPECT_FALSE(done.uncounted);
        EXPECT_FALSE(done.nothingRead);
        const Marks after = lib.marks();
        EXPECT_TRUE(after.sameAs(before)) << "favourites, albums in order, names with their faces, the hidden "
                                             "person, the lock and the trip edits all come back";
        EXPECT_FALSE(lacking(before, after).any());
        ASSERT_EQ(after.albums.size(), 2u);
        std::vector<std::string> order;
        for (const auto& m : after.albums[0].members) order.push_back(m.path);
        EXPECT_EQ(order, (std::vector<std::string>{photo(9), photo(1), photo(5)}));

        // A photo whose row only the copy knew is read again by the scan,
        // faces and all; the rest of the library is found by the scan anew.
        LibraryDB fresh(lib.index());
        Database& db = fresh.db();
        EXPECT_EQ(db.scalarInt("SELECT meta_done + faces_done FROM assets WHERE path=?", {photo(2)}),
                  damage.rowsLost ? 0 : 1);
        EXPECT_EQ(db.scalarInt("SELECT size FROM assets WHERE path=?", {photo(2)}), 5002);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM assets"), damage.rowsLost ? 8 : kPhotos);
        EXPECT_EQ(db.scalarInt("SELECT COUNT(*) FROM faces f JOIN persons p ON p.id = f.person_id WHERE p.name='Ada'"),
                  3);
        EXPECT_GE(marksChanged(db).value_or(0), before.changed) << "the copy follows the new index once it opens";
    }
}

// Without a copy (a library last opened by an older Vintrelle), an index
// that reads not at all is said to have lost everything, plainly.
TEST(MarksCopy, WithoutACopyAnIndexThatDoesNotReadAtAllLosesEverything) {
    Library lib;
    fs::resize_file(lib.index(), 0);
    const IndexRebuild done = rebuildIndex(lib.paths);
    EXPECT_TRUE(done.nothingRead);
    EXPECT_TRUE(favourites(lib.marks()).empty());
}

// Where both hold a value, the newer of the two wins; what only one holds
// comes from it either way.
TEST(MarksCopy, TheNewerOfTheIndexAndTheCopyWins) {
    for (const bool copyNewer : {false, true}) {
        SCOPED_TRACE(copyNewer ? "the copy newer" : "the index newer");
        Library lib;
        lib.keep();
        const double copied = readMarksCopy(lib.copy()).marks.changed;
        {
            LibraryDB db(lib.index());
            Database& d = db.db();
            d.run("UPDATE assets SET favorite=0 WHERE id=1");
            d.run("UPDATE albums SET name='Winter' WHERE id=1");
            d.run("UPDATE persons SET name='Eve' WHERE id=1");
            d.run("UPDATE trips SET custom_title='Porto' WHERE custom_title='Lisbon'");
            // Only the copy holds favourite 9 now, as if its row were lost.
            d.run("DELETE FROM assets WHERE id=9");
            setMarksChanged(d, copyNewer ? copied - 10 : copied + 10);
        }
        const IndexRebuild done = rebuildIndex(lib.paths);
        const Marks after = lib.marks();
        const std::vector<std::string> winners =
            copyNewer ? std::vector<std::string>{photo(1), photo(5), photo(9)} : std::vector<std::string>{photo(5), photo(9)};
        EXPECT_EQ(favourites(after), winners);
        ASSERT_EQ(after.albums.size(), 2u);
        EXPECT_EQ(after.albums[0].name, copyNewer ? "Summer" : "Winter");
        EXPECT_EQ(after.albums[0].members.size(), 3u) << "the member lost with its photo comes back";
        ASSERT_FALSE(after.persons.empty());
        EXPECT_EQ(after.persons[0].name, copyNewer ? "Ada" : "Eve");
        ASSERT_FALSE(after.trips.empty());
        EXPECT_EQ(after.trips[0].customTitle, copyNewer ? "Lisbon" : "Porto");
        EXPECT_EQ(done.lostFavorites + done.lostAlbums, 0);
    }
}

// The copy follows the index, and nothing else: an index that lost marks
// the copy holds (made anew, or put back from an older state) is never
// written from, and is taken for damaged; a damaged one neither.
TEST(MarksCopy, TheCopyFollowsItsIndexButNeverOneThatLostMarks) {
    Library lib;
    auto db = std::make_shared<LibraryDB>(lib.index());
    {
        MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(readMarksCopy(lib.copy()).marks.changed, marksChanged(db->db()));
        db->setFavorite({2}, true);
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(favourites(readMarksCopy(lib.copy()).marks).size(), 4u);
        // No change of marks, no write: the copy keeps its stamp.
        const double stamp = readMarksCopy(lib.copy()).marks.changed;
        db->db().run("UPDATE assets SET taken=taken+1");
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(readMarksCopy(lib.copy()).marks.changed, stamp);
    }
    // Marks written without the copy following (an older Vintrelle): the
    // next opening brings it up to date.
    db->setFavorite({3}, true);
    {
        MarksKeeper keeper(db, lib.paths);
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(favourites(readMarksCopy(lib.copy()).marks).size(), 5u);
    }
    db->db().close();
    const std::string kept = fixtures::readFile(lib.copy());

    struct Loss {
        const char* name;
        std::function<void()> apply;
        MarksKeeper::Standing standing;
    } losses[] = {
        {"an index made anew", [&] { fs::remove(lib.index()); LibraryDB{lib.index()}; }, MarksKeeper::Standing::indexLost},
        {"an index put back from before its marks",
         [&] {
             LibraryDB old(lib.index());
             old.db().run("UPDATE assets SET favorite=0");
             setMarksChanged(old.db(), 1);
         },
         MarksKeeper::Standing::indexLost},
        {"a damaged index",
         [&] {
             const auto leaves = fixtures::leafPages(lib.index(), "assets");
             fixtures::spoilPage(lib.index(), leaves[leaves.size() / 2]);
         },
         MarksKeeper::Standing::unsound},
    };
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.name);
        fs::remove(lib.index());
        buildLibrary(lib.index());
        loss.apply();
        auto opened = std::make_shared<LibraryDB>(lib.index());
        MarksKeeper keeper(opened, lib.paths, std::chrono::milliseconds(10));
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(keeper.standing(), loss.standing);
        EXPECT_TRUE(opened->db().isDamaged()) << "the library offers to make its index again";
        keeper.changed();
        keeper.close();
        EXPECT_EQ(fixtures::readFile(lib.copy()), kept);
    }
}

// The child: writes the copy, and is killed at one step of it.
TEST(MarksCopy, WriteChild) {
    const char* copy = std::getenv(kChildCopy);
    const char* at = std::getenv(kChildKillAt);
    if (!copy || !at) GTEST_SKIP() << "runs only as a child of the test below";
    setMarksWriteHook([stop = std::string(at)](std::string_view step) {
        if (step == stop) ::raise(SIGKILL);
    });
    Marks marks = readMarksCopy(copy).marks;
    marks.files.push_back({"zzz/the newest favourite.jpg", 0, 1, 1, 1, true});
    marks.changed += 1;
    writeMarksCopy(copy, marks);
    ADD_FAILURE() << "never reached " << at;
}

// However the writing ends, the copy is the old one or the new one, whole;
// a copy spoiled some other way is said to be, and gives only marks it held.
TEST(MarksCopy, TheCopyIsTheOldOrTheNewWholeNeverAPart) {
    Library lib;
    lib.keep();
    const std::string old = fixtures::readFile(lib.copy());
    for (const char* step : {"half written", "written", "synced", "placed"}) {
        SCOPED_TRACE(step);
        fixtures::writeFile(lib.copy(), old);
        const std::string log = lib.dir / "child.log";
        const pid_t child = fixtures::spawnTestChild(
            "MarksCopy.WriteChild", {std::string(kChildCopy) + "=" + lib.copy(), std::string(kChildKillAt) + "=" + step},
            log);
        ASSERT_GT(child, 0);
        const int status = fixtures::waitForChild(child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << fixtures::readFile(log);
        const CopyRead read = readMarksCopy(lib.copy());
        ASSERT_EQ(read.state, CopyState::readable);
        EXPECT_EQ(favourites(read.marks).size(), std::string_view(step) == "placed" ? 4u : 3u);
    }

    std::mt19937 random(44);
    const Marks before = readMarksCopy(lib.copy()).marks;
    for (int i = 0; i < 300; ++i) {
        std::string bytes = old;
        if (i % 2) bytes.resize(random() % bytes.size());
        else bytes[random() % bytes.size()] ^= char(1 + random() % 255);
        fixtures::writeFile(lib.copy(), bytes);
        const CopyRead read = readMarksCopy(lib.copy());
        EXPECT_EQ(read.state, CopyState::spoiled);
        EXPECT_FALSE(lacking(read.marks, before).any()) << "a mark the copy never held";
    }
    // A later Vintrelle's copy is left for it: read as neither, written over never.
    const std::string later = fixtures::asLaterFormat(old);
    fixtures::writeFile(lib.copy(), later);
    EXPECT_EQ(readMarksCopy(lib.copy()).state, CopyState::newer);
    auto db = std::make_shared<LibraryDB>(lib.index());
    MarksKeeper keeper(db, lib.paths);
    keeper.open();
    ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(fixtures::readFile(lib.copy()), later);
}

// On a disk that fills up while the copy is written, the write fails as a
// full disk, and the copy there stays whole, as it was.
TEST(MarksCopy, AFullDiskLeavesTheCopyAsItWas) {
    if (const char* folder = apptest::privateMountsArgument()) {
        ASSERT_EQ(::mount("none", folder, "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
        const std::string copy = std::string(folder) + "/library.marks";
        Marks small;
        small.changed = 1;
        small.files.push_back({"a.jpg", 0, 1, 1, 1, true});
        writeMarksCopy(copy, small);
        Marks large = small;
        large.changed = 2;
        for (int i = 0; i < 400; ++i) large.locked.push_back({"a.jpg", 0.1, 0.1, 0.1, 0.1, 0.5, print(i)});
        try {
            writeMarksCopy(copy, large);
            ADD_FAILURE() << "a copy larger than the disk was written";
        } catch (const DBError& e) {
            EXPECT_TRUE(e.isDiskFull()) << e.message;
        }
        const CopyRead read = readMarksCopy(copy);
        ASSERT_EQ(read.state, CopyState::readable);
        EXPECT_EQ(read.marks.changed, 1);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "a temporary was left";
        return;
    }
    fixtures::TempDir dir;
    const apptest::ChildRun child = apptest::runInPrivateMounts("MarksCopy.AFullDiskLeavesTheCopyAsItWas", dir.path());
    if (!child.hadNamespace) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(child.passed) << child.log;
}

// Each library has an identity, in its index and its copy, carried by a
// rebuild. Another library's index put in this one's place is damage, made
// again from the copy; another library's copy is set aside, and the index,
// sound, is not touched by it.
TEST(MarksCopy, AnIndexOrACopyOfAnotherLibraryIsNeverTakenForThisOnes) {
    Library a, b;
    a.makePhotos();
    {
        LibraryDB other(b.index());
        other.db().run("UPDATE assets SET path='Elsewhere/' || path");
        other.db().run("UPDATE albums SET name='Their ' || name");
    }
    a.keep();
    b.keep();
    const Marks before = a.marks();
    const uint64_t identity = readMarksCopy(a.copy()).identity;
    ASSERT_NE(identity, 0u);
    EXPECT_NE(readMarksCopy(b.copy()).identity, identity);
    {
        LibraryDB db(a.index());
        EXPECT_EQ(libraryIdentity(db.db()), identity) << "the index and its copy say the same library";
    }
    const std::string ownCopy = fixtures::readFile(a.copy());

    // Their copy in our place: set aside as it is, our index untouched.
    fixtures::writeFile(a.copy(), fixtures::readFile(b.copy()));
    {
        auto db = std::make_shared<LibraryDB>(a.index());
        EXPECT_EQ(opened(a, db), MarksKeeper::Standing::kept);
        EXPECT_FALSE(db->db().isDamaged());
    }
    const std::vector<fs::path> aside = filesNamed(a.paths.dataDir, "library-marks-other-library-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fixtures::readFile(aside[0]), fixtures::readFile(b.copy()));
    const CopyRead rewritten = readMarksCopy(a.copy());
    EXPECT_EQ(rewritten.identity, identity);
    EXPECT_TRUE(rewritten.marks.sameAs(before)) << "none of their albums came in";
    EXPECT_TRUE(a.marks().sameAs(before));

    // Their index in our place: damage, made again from our copy alone.
    fixtures::writeFile(a.copy(), ownCopy);
    fixtures::writeFile(a.index(), fixtures::readFile(b.index()));
    {
        auto db = std::make_shared<LibraryDB>(a.index());
        EXPECT_EQ(opened(a, db), MarksKeeper::Standing::otherLibrary);
        EXPECT_TRUE(db->db().isDamaged()) << "the library offers to make its index again";
    }
    EXPECT_EQ(fixtures::readFile(a.copy()), ownCopy) << "the copy was written from another library's index";
    const IndexRebuild done = rebuildIndex(a.paths);
    EXPECT_FALSE(done.keptPath.empty()) << "their index is kept";
    const Marks after = a.marks();
    EXPECT_TRUE(after.sameAs(before));
    LibraryDB db(a.index());
    EXPECT_EQ(db.db().scalarInt("SELECT COUNT(*) FROM assets WHERE path LIKE 'Elsewhere/%'"), 0);
    EXPECT_EQ(libraryIdentity(db.db()), identity) << "the rebuild carries the library's identity";
}

// An index put back from a backup made before marks were taken away: the
// copy is newer, and wins whole; the favourites, the album member, the
// album, the name and the trip's title taken away stay away.
TEST(MarksCopy, AMarkTakenAwayNeverComesBackWithAnOlderIndex) {
    Library lib;
    lib.keep();
    const std::string backup = fixtures::readFile(lib.index());
    {
        auto db = std::make_shared<LibraryDB>(lib.index());
        MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        db->setFavorite({1, 5}, false);
        db->removeFromAlbum(1, {5});
        db->db().run("DELETE FROM albums WHERE name='Empty'");
        db->renamePerson(1, "");
        db->db().run("UPDATE trips SET custom_title=NULL WHERE custom_title='Lisbon'");
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    }
    fixtures::writeFile(lib.index(), backup);
    {
        auto db = std::make_shared<LibraryDB>(lib.index());
        EXPECT_EQ(opened(lib, db), MarksKeeper::Standing::indexLost);
        EXPECT_TRUE(db->db().isDamaged());
    }
    const Marks copied = readMarksCopy(lib.copy()).marks;
    ASSERT_EQ(favourites(copied), (std::vector<std::string>{photo(9)})) << "the older index was written into the copy";
    const IndexRebuild done = rebuildIndex(lib.paths);
    const Marks after = lib.marks();
    EXPECT_TRUE(after.sameAs(copied));
    EXPECT_EQ(favourites(after), (std::vector<std::string>{photo(9)}));
    ASSERT_EQ(after.albums.size(), 1u);
    std::vector<std::string> members;
    for (const auto& m : after.albums[0].members) members.push_back(m.path);
    EXPECT_EQ(members, (std::vector<std::string>{photo(9), photo(1)}));
    EXPECT_TRUE(std::none_of(after.persons.begin(), after.persons.end(),
                             [](const MarkedPerson& p) { return p.name == "Ada"; }));
    EXPECT_TRUE(std::none_of(after.trips.begin(), after.trips.end(),
                             [](const MarkedTrip& t) { return t.customTitle == "Lisbon"; }));
    EXPECT_EQ(done.lostFavorites + done.lostAlbums, 0);
}

// The index's meta table is lost with the stamp in it: its file's header
// still tells which of the two is newer, whichever it is.
TEST(MarksCopy, ALostStampStillTellsTheNewerOfTheIndexAndTheCopy) {
    for (const bool copyNewer : {false, true}) {
        SCOPED_TRACE(copyNewer ? "the copy newer" : "the index newer");
        Library lib;
        lib.keep();
        double copied = readMarksCopy(lib.copy()).marks.changed;
        if (copyNewer) {
            // The copy follows favourite 1 taken away; the index is put back
            // from a hundred seconds before.
            auto db = std::make_shared<LibraryDB>(lib.index());
            MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
            keeper.open();
            ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
            db->setFavorite({1}, false);
            keeper.changed();
            ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
            keeper.close();
            copied = readMarksCopy(lib.copy()).marks.changed;
            db->setFavorite({1}, true);
            setMarksChanged(db->db(), copied - 100);
        } else {
            // Favourite 1 taken away a hundred seconds after the copy was
            // written, which never followed.
            LibraryDB db(lib.index());
            db.setFavorite({1}, false);
            setMarksChanged(db.db(), copied + 100);
        }
        fixtures::spoilPage(lib.index(), fixtures::rootPage(lib.index(), "meta"));
        rebuildIndex(lib.paths);
        EXPECT_EQ(favourites(lib.marks()), (std::vector<std::string>{photo(5), photo(9)}));
    }
}

// A copy cut short while the index is missing: the library is not opened as
// new; the rebuild takes what of the copy reads and keeps the copy aside.
// A spoiled copy beside a sound index is kept aside too, and written anew.
TEST(MarksCopy, ASpoiledCopyIsKeptAsideAndWhatOfItReadsIsUsed) {
    Library lib;
    {
        LibraryDB db(lib.index());
        db.db().transaction([&] {
            db.db().run("UPDATE assets SET favorite=1 WHERE id % 10 = 0");
            for (int i = 11; i <= 310; ++i)
                db.db().run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, locked) "
                            "VALUES(?, 0.5, 0.5, 0.1, 0.1, 0.5, ?, 1)",
                            {i, print(i)});
        });
    }
    lib.keep();
    const Marks before = lib.marks();
    const std::string whole = fixtures::readFile(lib.copy());
    ASSERT_GT(whole.size(), 100'000u);
    const std::string cut = whole.substr(0, 30'000);

    fixtures::writeFile(lib.copy(), cut);
    const std::string index = fixtures::readFile(lib.index());
    fs::remove(lib.index());
    EXPECT_THROW(refuseEmptiedIndex(lib.paths), DBError) << "an empty index would be made, and the copy written over";
    const IndexRebuild done = rebuildIndex(lib.paths);
    EXPECT_TRUE(done.copySpoiled);
    EXPECT_EQ(favourites(lib.marks()), favourites(before)) << "the copy's start held every favourite";
    ASSERT_FALSE(done.copyKeptPath.empty());
    EXPECT_EQ(fixtures::readFile(done.copyKeptPath), cut);
    EXPECT_FALSE(fs::exists(lib.copy()));
    EXPECT_EQ(opened(lib), MarksKeeper::Standing::kept);
    EXPECT_EQ(favourites(readMarksCopy(lib.copy()).marks), favourites(before));

    // Beside a sound index that holds all it could give.
    fs::remove(done.copyKeptPath);
    fixtures::writeFile(lib.index(), index);
    std::string spoiled = whole;
    spoiled[whole.size() / 2] ^= 0x5a;
    fixtures::writeFile(lib.copy(), spoiled);
    auto db = std::make_shared<LibraryDB>(lib.index());
    EXPECT_EQ(opened(lib, db), MarksKeeper::Standing::kept);
    EXPECT_FALSE(db->db().isDamaged());
    const std::vector<fs::path> aside = filesNamed(lib.paths.dataDir, "library-marks-damaged-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fixtures::readFile(aside[0]), spoiled);
    const CopyRead rewritten = readMarksCopy(lib.copy());
    EXPECT_EQ(rewritten.state, CopyState::readable);
    EXPECT_TRUE(rewritten.marks.sameAs(before));
}

// Only a regular file is read, and only as far as its header when the
// header is not ours: a pipe in its place neither hangs the reading nor
// the opening, and a huge file of junk is not read into memory.
TEST(MarksCopy, OnlyAFileIsReadAndJunkNoFurtherThanItsHeader) {
    Library lib;
    lib.keep();
    const std::string copy = fixtures::readFile(lib.copy());
    fs::remove(lib.copy());
    ASSERT_EQ(::mkfifo(lib.copy().c_str(), 0644), 0);
    fs::remove(lib.index());
    auto read = std::async(std::launch::async, [&] {
        refuseEmptiedIndex(lib.paths);
        return readMarksCopy(lib.copy()).state;
    });
    if (read.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // Lets the reading go, so that the test can end.
        const int fd = ::open(lib.copy().c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "reading a pipe in the copy's place hung";
        read.wait();
        ::close(fd);
    } else {
        EXPECT_EQ(read.get(), CopyState::notAFile);
    }
    fs::remove(lib.copy());

    fs::create_symlink(lib.dir / "elsewhere.marks", lib.copy());
    fixtures::writeFile(lib.dir / "elsewhere.marks", copy);
    EXPECT_EQ(readMarksCopy(lib.copy()).state, CopyState::notAFile) << "a link is not followed";
    fs::remove(lib.copy());

    // A gigabyte, of which only the header is read.
    {
        std::ofstream junk(lib.copy());
        junk << "not a copy of anything, nor anything else";
    }
    fs::resize_file(lib.copy(), uint64_t(1) << 30);
    auto bytesRead = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:") return value;
        return uint64_t(0);
    };
    const uint64_t start = bytesRead();
    EXPECT_EQ(readMarksCopy(lib.copy()).state, CopyState::spoiled);
    EXPECT_LT(bytesRead() - start, uint64_t(1) << 16);
}

// A copy that cannot be written says why, and the index is left alone; a
// later Vintrelle's copy is never written over, and never lets an index be
// made as if the library were new.
TEST(MarksCopy, ACopyThatCannotBeWrittenSaysWhy) {
    Library lib;
    auto db = std::make_shared<LibraryDB>(lib.index());
    fs::create_directories(lib.copy());
    {
        MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(keeper.standing(), MarksKeeper::Standing::kept);
        EXPECT_EQ(keeper.fault(), MarksKeeper::Fault::notAFile);
        EXPECT_TRUE(fs::is_directory(lib.copy())) << "what was in its place is left there";
        // Once the way is clear, the next change writes it.
        fs::remove(lib.copy());
        db->setFavorite({2}, true);
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(keeper.fault(), MarksKeeper::Fault::none);
        EXPECT_EQ(favourites(readMarksCopy(lib.copy()).marks).size(), 4u);
    }

    const std::string later = fixtures::asLaterFormat(fixtures::readFile(lib.copy()));
    fixtures::writeFile(lib.copy(), later);
    {
        MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
        keeper.open();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        EXPECT_EQ(keeper.fault(), MarksKeeper::Fault::newer);
        db->setFavorite({3}, true);
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    }
    EXPECT_EQ(fixtures::readFile(lib.copy()), later);
    db->db().close();
    fs::remove(lib.index());
    EXPECT_THROW(refuseEmptiedIndex(lib.paths), DBError);
    try {
        rebuildIndex(lib.paths);
        ADD_FAILURE() << "an index was made without the copy";
    } catch (const DBError& e) {
        EXPECT_EQ(e.message, kCopyNewer);
    }
    EXPECT_FALSE(fs::exists(lib.index()));
    EXPECT_EQ(fixtures::readFile(lib.copy()), later);
}

// A change is added to the copy as the rows it touched: the copy grows by
// them, not by the whole, and reads back as the index's marks; however the
// adding ends, the copy reads as before it or after it.
TEST(MarksCopy, AChangeIsAddedToTheCopyAsTheRowsItTouched) {
    Library lib;
    auto db = std::make_shared<LibraryDB>(lib.index());
    MarksKeeper keeper(db, lib.paths, std::chrono::milliseconds(10));
    keeper.open();
    ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
    const std::string base = fixtures::readFile(lib.copy());
    struct Change {
        const char* name;
        std::function<void()> make;
    } changes[] = {
        {"a favourite", [&] { db->setFavorite({2}, true); }},
        {"a member", [&] { db->addToAlbum(2, {3, 4}); }},
        {"a name", [&] { db->renamePerson(3, "Bea"); }},
        {"a face taken out", [&] { db->db().run("UPDATE faces SET person_id=NULL, locked=1 WHERE asset_id=2"); }},
        {"a photo moved", [&] { db->db().run("UPDATE assets SET path='moved.jpg' WHERE id=9"); }},
        {"a photo gone", [&] { db->db().run("DELETE FROM assets WHERE id=5"); }},
        {"a trip renamed", [&] { db->db().run("UPDATE trips SET custom_title='Faro' WHERE title='August 2022'"); }},
        {"a person hidden and shown again",
         [&] {
             db->db().run("UPDATE persons SET hidden=1 WHERE id=1");
             db->db().run("UPDATE persons SET hidden=0 WHERE id=1");
         }},
        {"nothing of the marks", [&] { db->db().run("UPDATE assets SET taken=taken+1"); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        const uint64_t size = fs::file_size(lib.copy());
        change.make();
        keeper.changed();
        ASSERT_TRUE(keeper.waitIdle(std::chrono::seconds(60)));
        const std::string now = fixtures::readFile(lib.copy());
        EXPECT_EQ(now.substr(0, base.size()), base) << "the copy was written whole";
        EXPECT_LT(now.size() - size, 2048u);
        const CopyRead read = readMarksCopy(lib.copy());
        ASSERT_EQ(read.state, CopyState::readable);
        EXPECT_TRUE(read.marks.sameAs(readMarks(db->db())));
        EXPECT_EQ(read.marks.changed, marksChanged(db->db()));
    }
    keeper.close();
    db->db().close();

    // Killed while a change is added: the copy is as before it, or after.
    const std::string old = fixtures::readFile(lib.copy());
    for (const char* step : {"appending", "appended"}) {
        SCOPED_TRACE(step);
        fixtures::writeFile(lib.copy(), old);
        const std::string log = lib.dir / "child.log";
        const pid_t child = fixtures::spawnTestChild(
            "MarksCopy.AppendChild",
            {std::string(kChildCopy) + "=" + lib.paths.dataDir, std::string(kChildKillAt) + "=" + step}, log);
        ASSERT_GT(child, 0);
        const int status = fixtures::waitForChild(child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << fixtures::readFile(log);
        const CopyRead read = readMarksCopy(lib.copy());
        ASSERT_EQ(read.state, CopyState::readable);
        EXPECT_EQ(read.marks.file(photo(7)) && read.marks.file(photo(7))->favorite, std::string_view(step) == "appended");
    }
}

// The child: adds a favourite to the copy in a data folder, and is killed
// at one step of it.
TEST(MarksCopy, AppendChild) {
    const char* folder = std::getenv(kChildCopy);
    const char* at = std::getenv(kChildKillAt);
    if (!folder || !at) GTEST_SKIP() << "runs only as a child of the test above";
    setMarksWriteHook([stop = std::string(at)](std::string_view step) {
        if (step == stop) ::raise(SIGKILL);
    });
    const int dir = ::open(folder, O_RDONLY | O_DIRECTORY);
    CopyFile copy = readCopyFileIn(dir);
    copy.rows.files[7] = MarkRows::File{photo(7), 0, 5007, 1.6e9, 1.7e9, true};
    appendCopyIn(dir, copy.place, copy.changed + 1, copy.rows, {{MarkChange::Kind::file, 7}});
    ADD_FAILURE() << "never reached " << at;
}
