// Photos that leave the library for a while: a folder moved out and back, a
// photo moved and renamed at once, a file coming back elsewhere, and another
// file taking an absent one's place. What the user made of a photo waits for
// it, and goes to no other file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "Core/Index/AbsentFiles.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksFile.h"
#include "Core/Media/MediaProcessor.h"
#include "EngineFixture.h"
#include "fixtures/IndexDamage.h"

using namespace enginetest;

namespace {

struct AbsentPhotosTest : ::testing::Test {
    static void SetUpTestSuite() { MediaProcessor::initialize(); }
};

// Everything the user made, and the rows it hangs on, as text; the rows'
// paths too when asked.
std::string marksOf(LibraryDB& db, bool paths = true) {
    std::ostringstream out;
    db.db().forEachRow("SELECT id, path, favorite, meta_done, thumb FROM assets ORDER BY id", {}, [&](const Row& r) {
        out << r.int64(0) << ' ' << (paths ? r.text(1) : "") << (r.int64(2) ? " favourite" : "") << " read "
            << r.int64(3) << " thumb " << r.int64(4) << '\n';
    });
    for (const Album& a : db.loadAlbums()) {
        out << "album " << a.name << ':';
        for (int64_t id : a.assetIDs) out << ' ' << id;
        out << '\n';
    }
    db.db().forEachRow("SELECT f.id, f.asset_id, p.name, f.locked FROM faces f LEFT JOIN persons p ON "
                       "p.id = f.person_id ORDER BY f.id",
                       {}, [&](const Row& r) {
                           out << "face " << r.int64(0) << " of " << r.int64(1) << ": " << r.optText(2).value_or("-")
                               << (r.int64(3) ? " locked" : "") << '\n';
                       });
    for (const Person& p : db.loadPersons()) out << "person " << p.name << " in " << p.faceCount << '\n';
    return out.str();
}

// A real photo at a path relative to the library folder.
bool photo(Library& lib, const std::string& rel, int width, int height, fixtures::Colour colour = {}) {
    fs::create_directories(fs::path(lib.root + "/" + rel).parent_path());
    return fixtures::makeJPEG(lib.root + "/" + rel, width, height, colour);
}

// A face the face pass would have found, with its picture.
int64_t addFace(Library& lib, int64_t asset, std::optional<int64_t> person, bool locked) {
    const int64_t id = lib.db->db().insert(
        "INSERT INTO faces(asset_id, x, y, w, h, quality, person_id, locked) VALUES(?,0.2,0.2,0.3,0.3,0.9,?,?)",
        {asset, person, locked});
    lib.db->db().run("UPDATE assets SET faces_done=1 WHERE id=?", {asset});
    EXPECT_TRUE(fixtures::makeJPEG(lib.paths.faceURL(id), 40, 40));
    return id;
}

TEST_F(AbsentPhotosTest, AFolderMovedOutAndBackTakesBackWhatTheUserMadeAsItWas) {
    Library lib;
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(photo(lib, "2023/Trip/p" + std::to_string(i) + ".jpg", 64 + 16 * i, 48, {uint8_t(40 * i), 90, 30}));
    ASSERT_TRUE(photo(lib, "2023/home.jpg", 80, 60));
    lib.fullScan();
    const auto rows = lib.rows();
    ASSERT_EQ(rows.size(), 7u);
    auto id = [&](int i) { return rows.at("2023/Trip/p" + std::to_string(i) + ".jpg").id; };
    const int64_t home = rows.at("2023/home.jpg").id;
    lib.db->setFavorite({id(0), id(1)}, true);
    const int64_t album = lib.db->createAlbum("Summer");
    for (int64_t member : {id(2), home, id(0)}) lib.db->addToAlbum(album, {member});
    // Ada is in no photo but these; a face of p4 was taken out of her.
    const int64_t ada = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ada', 1)", {});
    addFace(lib, id(3), ada, false);
    addFace(lib, id(4), std::nullopt, true);
    const std::string before = marksOf(*lib.db), unpathed = marksOf(*lib.db, false);

    const std::string away = lib.dir / "away";
    fs::rename(lib.root + "/2023/Trip", away);
    lib.scan({lib.root + "/2023/Trip"});
    // Gone, as far as anything shows; their pictures wait in the data folder.
    EXPECT_EQ(lib.rows().size(), 1u);
    EXPECT_EQ(lib.rec->removed.size(), 6u);
    EXPECT_EQ(lib.db->loadAlbums().at(0).assetIDs, std::vector<int64_t>{home});
    EXPECT_TRUE(lib.db->loadPersons().empty());
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(id(0))));

    lib.rec->upserted.clear();
    fs::rename(away, lib.root + "/2023/Trip");
    lib.scan({lib.root + "/2023/Trip"});
    EXPECT_EQ(marksOf(*lib.db), before);
    EXPECT_NE(before.find("person Ada in 1"), std::string::npos) << before;
    EXPECT_FALSE(lib.rec->saw("indexing")) << "nothing needed reading again";
    EXPECT_TRUE(lib.rec->saw("albums"));
    EXPECT_EQ(lib.rec->upserted.size(), 6u);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM absent_assets"), 0);

    // Away again, one photo's thumbnail lost meanwhile: it is read again,
    // and keeps its marks. Put back in another folder under other names, the
    // photos are known by their first bytes.
    fs::rename(lib.root + "/2023/Trip", away);
    lib.scan({lib.root + "/2023/Trip"});
    fs::remove(lib.paths.thumbURL(id(0)));
    fs::create_directories(lib.root + "/2024");
    for (int i = 0; i < 6; ++i)
        fs::rename(away + "/p" + std::to_string(i) + ".jpg", lib.root + "/2024/Holiday " + std::to_string(i) + ".jpg");
    lib.scan({lib.root + "/2024"});
    EXPECT_EQ(marksOf(*lib.db, false), unpathed);
    EXPECT_EQ(lib.rows().at("2024/Holiday 4.jpg").id, id(4));
    EXPECT_TRUE(lib.rec->saw("indexing"));
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(id(0))));
}

TEST_F(AbsentPhotosTest, APhotoMovedAndRenamedAtOnceKeepsItsRow) {
    Library lib;
    ASSERT_TRUE(photo(lib, "2023/IMG_7.jpg", 96, 64));
    ASSERT_TRUE(photo(lib, "2023/IMG_8.jpg", 96, 64, {10, 200, 10}));
    lib.fullScan();
    const int64_t id = lib.rows().at("2023/IMG_7.jpg").id;
    lib.db->setFavorite({id}, true);
    lib.db->addToAlbum(lib.db->createAlbum("Best"), {id});
    const int64_t ada = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ada', 1)", {});
    addFace(lib, lib.rows().at("2023/IMG_8.jpg").id, ada, false);
    addFace(lib, id, std::nullopt, true);  // not Ada, the user said
    const std::string before = marksOf(*lib.db, false);

    fs::create_directories(lib.root + "/2024");
    fs::rename(lib.root + "/2023/IMG_7.jpg", lib.root + "/2024/Beach.jpg");
    lib.scan({lib.root + "/2023/IMG_7.jpg", lib.root + "/2024/Beach.jpg"});
    EXPECT_EQ(lib.rows().at("2024/Beach.jpg").id, id);
    EXPECT_EQ(marksOf(*lib.db, false), before);
    EXPECT_TRUE(lib.rec->removed.empty());
    EXPECT_FALSE(lib.rec->saw("indexing"));
}

TEST_F(AbsentPhotosTest, OnlyTheSameFileTakesBackWhatWasMadeOfIt) {
    Library lib;
    ASSERT_TRUE(photo(lib, "a/photo.jpg", 120, 90));
    setMTime(lib.root + "/a/photo.jpg", 1'600'000'000);
    lib.fullScan();
    const int64_t id = lib.rows().at("a/photo.jpg").id;
    lib.db->setFavorite({id}, true);
    const std::string bytes = fixtures::readFile(lib.root + "/a/photo.jpg");

    fs::remove(lib.root + "/a/photo.jpg");
    lib.fullScan();
    // Another photo of the same size and time, at the same path, its first
    // bytes not the same; the same bytes, made later, elsewhere.
    std::string other = bytes;
    other[300] = char(other[300] ^ 0x5a);
    lib.file("a/photo.jpg", other, 1'600'000'000);
    lib.file("b/copy.jpg", bytes, 1'600'000'030);
    lib.fullScan();
    auto rows = lib.rows();
    EXPECT_NE(rows.at("a/photo.jpg").id, id);
    EXPECT_NE(rows.at("b/copy.jpg").id, id);
    EXPECT_FALSE(rows.at("a/photo.jpg").favorite || rows.at("b/copy.jpg").favorite);

    // The photo itself, put back under another name.
    lib.file("b/photo (restored).jpg", bytes, 1'600'000'000.4);
    lib.fullScan();
    rows = lib.rows();
    EXPECT_EQ(rows.at("b/photo (restored).jpg").id, id);
    EXPECT_TRUE(rows.at("b/photo (restored).jpg").favorite);

    // A row made before its file was ever read (from the copy of the marks)
    // is known by its path alone.
    lib.db->db().run("INSERT INTO assets(path, kind, size, mtime, added, favorite) VALUES('c/old.jpg',0,?,?,1,1)",
                     {int64_t(bytes.size()), 1'500'000'000.0});
    lib.fullScan();
    lib.file("d/old.jpg", bytes, 1'500'000'000);
    lib.fullScan();
    EXPECT_FALSE(lib.rows().at("d/old.jpg").favorite);
    lib.file("c/old.jpg", bytes, 1'500'000'000);
    lib.fullScan();
    EXPECT_TRUE(lib.rows().at("c/old.jpg").favorite);
}

TEST_F(AbsentPhotosTest, WhatWasMadeOfAPhotoWaitsThirtyDaysThenGoes) {
    Library lib;
    for (const char* name : {"a.jpg", "b.jpg"})
        ASSERT_TRUE(photo(lib, std::string("f/") + name, 64, name[0] == 'a' ? 48 : 40));
    lib.fullScan();
    const auto rows = lib.rows();
    const int64_t a = rows.at("f/a.jpg").id, b = rows.at("f/b.jpg").id;
    lib.db->setFavorite({a, b}, true);
    const int64_t ada = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ada', 1)", {});
    const int64_t bea = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Bea', 1)", {});
    const int64_t faceA = addFace(lib, a, ada, false);
    addFace(lib, b, bea, false);

    const std::string away = lib.dir / "away";
    fs::rename(lib.root + "/f", away);
    lib.fullScan();
    // Meanwhile Bea is merged into Ada: Bea's face, away, follows.
    lib.db->mergePerson(bea, ada);
    // a left 31 days ago, b 29.
    lib.db->db().run("UPDATE absent_assets SET left_at = left_at - ? WHERE id=?", {31 * 86400.0, a});
    lib.db->db().run("UPDATE absent_assets SET left_at = left_at - ? WHERE id=?", {29 * 86400.0, b});
    lib.fullScan();
    EXPECT_FALSE(fs::exists(lib.paths.thumbURL(a)));
    EXPECT_FALSE(fs::exists(lib.paths.faceURL(faceA)));
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(b)));
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM persons"), 1);

    fs::rename(away, lib.root + "/f");
    lib.fullScan();
    const auto back = lib.rows();
    EXPECT_NE(back.at("f/a.jpg").id, a);
    EXPECT_FALSE(back.at("f/a.jpg").favorite);
    EXPECT_EQ(back.at("f/b.jpg").id, b);
    EXPECT_TRUE(back.at("f/b.jpg").favorite);
    const auto people = lib.db->loadPersons();
    ASSERT_EQ(people.size(), 1u);
    EXPECT_EQ(people[0].name, "Ada");
    EXPECT_EQ(lib.db->personAssetPairs(), (std::vector<std::pair<int64_t, int64_t>>{{ada, b}}));
}

// An index made again from a damaged one may have lost count of its ids: a
// photo coming back whose id another row took comes back under a new one,
// and leaves that row its thumbnail and faces.
TEST_F(AbsentPhotosTest, AnIdTakenMeanwhileStaysWithItsNewRow) {
    Library lib;
    ASSERT_TRUE(photo(lib, "a/photo.jpg", 120, 90));
    lib.fullScan();
    const int64_t id = lib.rows().at("a/photo.jpg").id;
    lib.db->setFavorite({id}, true);
    const int64_t ada = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ada', 1)", {});
    const int64_t face = addFace(lib, id, ada, false);
    fs::rename(lib.root + "/a", lib.dir / "away");
    lib.fullScan();
    lib.file("b/other.jpg", "x", 1'600'000'000);
    lib.db->db().run(
        "INSERT INTO assets(id, path, kind, size, mtime, meta_done, thumb) VALUES(?,'b/other.jpg',0,1,1.6e9,1,1)", {id});
    lib.db->db().run("INSERT INTO faces(id, asset_id, person_id) VALUES(?,?,NULL)", {face, id});
    const std::string theirs = fixtures::readFile(lib.paths.thumbURL(id));

    fs::rename(lib.dir / "away", lib.root + "/a");
    lib.scan({lib.root + "/a"});
    const auto back = lib.rows().at("a/photo.jpg");
    EXPECT_NE(back.id, id);
    EXPECT_TRUE(back.favorite);
    EXPECT_TRUE(back.done && back.thumb == 1) << "read again";
    EXPECT_EQ(fixtures::readFile(lib.paths.thumbURL(id)), theirs);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE asset_id=? AND person_id=?", {back.id, ada}), 1);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM faces WHERE id=? AND asset_id=?", {face, id}), 1);
}

// The rows of a renamed folder move in one go: a reader of the index never
// sees some of them moved and others not.
TEST_F(AbsentPhotosTest, ARenamedFolderMovesAllAtOnce) {
    Library lib;
    constexpr int kPhotos = 300;
    for (int i = 0; i < kPhotos; ++i) lib.file("old/" + std::to_string(i) + ".jpg", std::string(size_t(i + 1), 'x'));
    lib.fullScan();
    const auto before = lib.rows();
    fs::rename(lib.root + "/old", lib.root + "/new");

    Database& other = lib.db->db();
    std::mutex mutex;
    std::set<int64_t> seen;
    std::atomic<bool> looking{true};
    std::thread watcher([&] {
        while (looking) {
            try {
                const int64_t n = other.scalarInt("SELECT COUNT(*) FROM assets WHERE path LIKE 'new/%'").value_or(-1);
                std::lock_guard lock(mutex);
                seen.insert(n);
            } catch (const DBError&) {
            }
        }
    });
    auto looked = [&] {
        std::lock_guard lock(mutex);
        return !seen.empty();
    };
    while (!looked()) std::this_thread::yield();
    lib.scan({lib.root + "/old", lib.root + "/new"});
    looking = false;
    watcher.join();
    // On a busy machine the reader may not have looked once more after the
    // scan ended: what stands now is part of what a reader can see.
    seen.insert(other.scalarInt("SELECT COUNT(*) FROM assets WHERE path LIKE 'new/%'").value_or(-1));
    EXPECT_EQ(seen, (std::set<int64_t>{0, kPhotos}));
    for (const auto& [path, row] : lib.rows()) EXPECT_EQ(row.id, before.at("old" + path.substr(3)).id) << path;
}

}  // namespace

// Copies of one photo have the same size, time and first bytes: the marks go
// to the file at the photo's old path before any copy, to a photo that has
// marks before one that has none, and are never left waiting for a file
// that already came back.
TEST_F(AbsentPhotosTest, CopiesOfOnePhotoTakeItsMarksInTheOrderTheyShouldGo) {
    Library lib;
    const std::string bytes = std::string("JFIF") + std::string(6000, 'c');
    const double time = 1'600'000'000;
    auto favourite = [&](const std::string& rel) {
        lib.db->setFavorite({lib.rows().at(rel).id}, true);
        return lib.rows().at(rel).id;
    };

    // The photo put back with copies of it beside it, in one go.
    lib.file("a/x.jpg", bytes, time);
    lib.fullScan();
    const int64_t x = favourite("a/x.jpg");
    fs::remove(lib.root + "/a/x.jpg");
    lib.fullScan();
    for (int i = 0; i < 6; ++i) lib.file("c/copy " + std::to_string(i) + ".jpg", bytes, time);
    lib.file("a/x.jpg", bytes, time);
    lib.fullScan();
    auto rows = lib.rows();
    EXPECT_EQ(rows.at("a/x.jpg").id, x);
    EXPECT_TRUE(rows.at("a/x.jpg").favorite);
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(rows.at("c/copy " + std::to_string(i) + ".jpg").favorite) << i;
    for (const auto& [path, row] : rows) fs::remove(lib.root + "/" + path);
    lib.fullScan();
    lib.db->db().run("DELETE FROM absent_assets");

    // Copies that left, the one the user marked made last; one comes back
    // under another name: it is the marked one.
    for (int i = 0; i < 6; ++i) {
        lib.file("b/plain " + std::to_string(i) + ".jpg", bytes, time);
        lib.fullScan();
    }
    lib.file("b/marked.jpg", bytes, time);
    lib.fullScan();
    const int64_t marked = favourite("b/marked.jpg");
    lib.db->addToAlbum(lib.db->createAlbum("Best"), {marked});
    fs::remove_all(lib.root + "/b");
    lib.fullScan();
    lib.file("d/back.jpg", bytes, time);
    lib.fullScan();
    EXPECT_EQ(lib.rows().at("d/back.jpg").id, marked);
    EXPECT_EQ(lib.db->loadAlbums().at(0).assetIDs, std::vector<int64_t>{marked});

    // The same copies renamed and deleted in one go, the marked one among
    // them: the one left keeps the marks.
    fs::remove(lib.root + "/d/back.jpg");
    for (int i = 0; i < 6; ++i) lib.file("e/plain " + std::to_string(i) + ".jpg", bytes, time);
    lib.file("d/back.jpg", bytes, time);
    lib.fullScan();
    ASSERT_EQ(lib.rows().at("d/back.jpg").id, marked);
    fs::remove_all(lib.root + "/d");
    fs::remove_all(lib.root + "/e");
    lib.file("f/renamed.jpg", bytes, time);
    lib.fullScan();
    EXPECT_EQ(lib.rows().at("f/renamed.jpg").id, marked);
    EXPECT_TRUE(lib.rows().at("f/renamed.jpg").favorite);
}

// More photos than are forgotten at once, their 30 days over: all go, with
// their pictures, and the person only they showed; a picture named by an id
// that a row of the index took meanwhile (an index made again that lost
// count of its ids) is that row's, and stays.
TEST_F(AbsentPhotosTest, ManyPhotosAwayTooLongAreAllForgottenButNoPictureOfARowThatIsThere) {
    Library lib;
    lib.file("here.jpg", "here", 1'600'000'000);
    lib.fullScan();
    const int64_t here = lib.rows().at("here.jpg").id;
    fixtures::writeFile(lib.paths.thumbURL(here), "its thumbnail");
    const int64_t ada = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ada', 1)", {});
    const int64_t live = addFace(lib, here, std::nullopt, false);
    constexpr int kAway = 1200;
    const double longAgo = nowSeconds() - 40 * 86400.0;
    lib.db->db().transaction([&] {
        for (int64_t id = here; id < here + kAway; ++id) {
            lib.db->db().run("INSERT INTO absent_assets(id, path, kind, size, mtime, taken, width, height, duration, "
                             "favorite, hidden, thumb, meta_done, faces_done, added, left_at) "
                             "VALUES(?, ?, 0, 10, 1.6e9, 0, 0, 0, 0, 1, 0, 1, 1, 1, 1.6e9, ?)",
                             {id, "away/" + std::to_string(id) + ".jpg", longAgo});
            if (id != here) fixtures::writeFile(lib.paths.thumbURL(id), "thumbnail");
        }
        lib.db->db().run("INSERT INTO absent_faces(id, asset_id, quality, person_id, locked) VALUES(?, ?, 1, ?, 0)",
                         {live, here, ada});
        lib.db->db().run("INSERT INTO absent_faces(id, asset_id, quality, person_id, locked) VALUES(?, ?, 1, ?, 0)",
                         {live + 1, here + kAway - 1, ada});
    });
    fixtures::writeFile(lib.paths.faceURL(live + 1), "face");
    lib.fullScan();
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM absent_assets"), 0);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM absent_faces"), 0);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM persons"), 0);
    EXPECT_EQ(fixtures::readFile(lib.paths.thumbURL(here)), "its thumbnail");
    EXPECT_TRUE(fs::exists(lib.paths.faceURL(live)));
    EXPECT_FALSE(fs::exists(lib.paths.faceURL(live + 1)));
    for (int64_t id = here + 1; id < here + kAway; ++id) ASSERT_FALSE(fs::exists(lib.paths.thumbURL(id))) << id;
    EXPECT_EQ(lib.rows().size(), 1u);
}

// A photo away while the index is damaged and made again, from what of it
// reads and the copy of the marks, which left the photo out (written after
// it left) or still holds it (written before): its row waits as it was, no
// row is made for it nor its marks put on the file now at its path, its
// person stays, once, and back, it takes every mark, in its album's order;
// also when the album's row was lost and the copy made it again.
TEST_F(AbsentPhotosTest, APhotoAwayWhileTheIndexIsMadeAgainTakesBackItsMarks) {
    struct Case {
        const char* name;
        bool copyNewer;
        const char* spoilt;  // the table whose page is lost
        bool otherAtPath;    // another file took the photo's path meanwhile
    };
    for (const Case c : {Case{"copy newer, a page lost", true, "geocache", false},
                         Case{"copy newer, meta lost", true, "meta", false},
                         Case{"copy newer, album row lost", true, "albums", false},
                         Case{"index newer, a page lost", false, "geocache", true},
                         Case{"index newer, meta lost", false, "meta", false},
                         Case{"index newer, album row lost", false, "albums", true}}) {
        SCOPED_TRACE(c.name);
        Library lib;
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(photo(lib, "Trip/p" + std::to_string(i) + ".jpg", 64 + 16 * i, 48, {uint8_t(60 * i), 90, 30}));
        lib.fullScan();
        auto id = [rows = lib.rows()](int i) { return rows.at("Trip/p" + std::to_string(i) + ".jpg").id; };
        const int64_t away = id(1);
        Database& db = lib.db->db();
        lib.db->setFavorite({away}, true);
        const int64_t album = lib.db->createAlbum("Trip");
        for (int i : {0, 1, 2}) lib.db->addToAlbum(album, {id(i)});
        const int64_t ann = db.insert("INSERT INTO persons(name, created) VALUES('Ann', 1)", {});
        addFace(lib, away, ann, false);
        addFace(lib, away, std::nullopt, true);
        const std::string before = marksOf(*lib.db, false);
        setMarksChanged(db, 1.8e9);
        const MarkRows withIt = readMarkRows(db);

        fs::rename(lib.root + "/Trip/p1.jpg", lib.dir / "p1.jpg");
        lib.scan({lib.root + "/Trip"});
        ASSERT_EQ(db.scalarInt("SELECT COUNT(*) FROM absent_assets WHERE id=?", {away}), 1);
        if (c.otherAtPath) {
            ASSERT_TRUE(photo(lib, "Trip/p1.jpg", 50, 50, {0, 0, 250}));
            lib.scan({lib.root + "/Trip"});
        }
        setMarksChanged(db, 1.8e9 + 10);
        // Written as the library writes it: row by row, by the index's ids.
        const int data = ::open(lib.paths.dataDir.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        ASSERT_GE(data, 0);
        writeCopyIn(data, 0, c.copyNewer ? 1.8e9 + 100 : 1.8e9, c.copyNewer ? readMarkRows(db) : withIt);
        ::close(data);
        lib.engine.reset();
        lib.db.reset();
        const std::string index = lib.paths.databasePath();
        fixtures::spoilPage(index, fixtures::rootPage(index, c.spoilt));
        ASSERT_EQ(checkIndexFile(index), IndexHealth::damaged);

        rebuildIndex(lib.paths);
        lib.open();
        Database& made = lib.db->db();
        EXPECT_EQ(made.scalarInt("SELECT COUNT(*) FROM absent_faces f JOIN absent_assets a ON a.id = f.asset_id "
                                 "WHERE a.id=?", {away}), 2);
        EXPECT_EQ(made.scalarInt("SELECT COUNT(*) FROM assets WHERE id=? OR (path='Trip/p1.jpg' AND favorite<>0)",
                                 {away}), 0);
        if (c.otherAtPath) {
            EXPECT_FALSE(hasMarks(made, lib.rows().at("Trip/p1.jpg").id));
        }
        EXPECT_EQ(made.scalarInt("SELECT COUNT(*) FROM persons WHERE name='Ann'"), 1);
        EXPECT_EQ(made.scalarInt("SELECT COUNT(*) FROM persons WHERE id=? AND name='Ann'", {ann}), 1);

        if (c.otherAtPath) fs::remove(lib.root + "/Trip/p1.jpg");
        fs::rename(lib.dir / "p1.jpg", lib.root + "/Trip/back.jpg");
        lib.fullScan();
        EXPECT_EQ(lib.rows().at("Trip/back.jpg").id, away);
        EXPECT_EQ(marksOf(*lib.db, false), before);
    }
}
