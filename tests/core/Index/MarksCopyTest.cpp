// The second copy of what the user made: written whole or not at all, kept
// following its index, never written from an index that lost what it holds,
// and, when the index is emptied or spoiled, what the rebuild brings back.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"
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
// a copy spoiled some other way reads as none, and never as marks.
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
    for (int i = 0; i < 300; ++i) {
        std::string bytes = old;
        if (i % 2) bytes.resize(random() % bytes.size());
        else bytes[random() % bytes.size()] ^= char(1 + random() % 255);
        fixtures::writeFile(lib.copy(), bytes);
        EXPECT_EQ(readMarksCopy(lib.copy()).state, CopyState::missing);
    }
    // A later Vintrelle's copy is left for it: read as neither, written over never.
    std::string later = old;
    later[8] = 2;
    uint64_t header = 0xcbf29ce484222325ULL;  // its header's own checksum, FNV-1a eight bytes at a time
    for (size_t i = 0; i < 40; i += 8) {
        uint64_t word;
        std::memcpy(&word, later.data() + i, 8);
        header = (header ^ word) * 0x100000001b3ULL;
        header ^= header >> 29;
    }
    std::memcpy(later.data() + 40, &header, 8);
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
