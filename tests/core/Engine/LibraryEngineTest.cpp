// The engine against real folders and a real index: change detection, moves,
// guards against deleting the index when the drive is not there, batched
// saving, the read journal, live-photo pairing, and a process killed
// mid-index.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "Core/Engine/EngineCore.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Places/PlaceResolver.h"
#include "EngineFixture.h"
#include "fixtures/IndexDamage.h"

using namespace enginetest;

namespace {

struct LibraryEngineTest : ::testing::Test {
    static void SetUpTestSuite() { MediaProcessor::initialize(); }
};

}  // namespace

TEST(Walker, SkipsHiddenPackagesLinksAndEmptyFilesButNoNameForItsBytes) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "a/X.HEIC", "x");
    fixtures::writeFile(dir / "a/clip.Mp4", "x");
    fixtures::writeFile(dir / ".hidden/h.jpg", "x");
    fixtures::writeFile(dir / "a/.h.jpg", "x");
    fixtures::writeFile(dir / "Old.photoslibrary/originals/p.jpg", "x");
    fixtures::writeFile(dir / "Tool.App/Contents/p.jpg", "x");
    fixtures::writeFile(dir / "notes.txt", "x");
    fixtures::writeFile(dir / "empty.jpg", "");
    fixtures::writeFile(dir / std::string("bad\xff.jpg"), "x");
    fs::create_symlink(dir / "a/X.HEIC", dir / "link.heic");
    fs::create_directory_symlink(dir / "a", dir / "linkdir");
    setMTime(dir / "a/X.HEIC", 1'700'000'000.25);

    Enumeration e = enumerate(dir.path(), "base");
    std::map<std::string, FoundFile> found;
    for (auto& f : e.files) found[f.path] = f;
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found["base/a/X.HEIC"].kind, MediaKind::photo);
    EXPECT_EQ(found.count(std::string("base/bad\xff.jpg")), 1u);
    EXPECT_DOUBLE_EQ(found["base/a/X.HEIC"].mtime, 1'700'000'000.25);
    EXPECT_EQ(found["base/a/clip.Mp4"].kind, MediaKind::video);
    EXPECT_EQ(e.empty, std::vector<std::string>{"base/empty.jpg"});
    EXPECT_TRUE(e.failed.empty());

    e = enumerate(dir.path(), "", [&](const std::string& d) { return d != dir / "a"; });
    ASSERT_EQ(e.files.size(), 1u);
    EXPECT_EQ(e.files[0].path, std::string("bad\xff.jpg"));
    EXPECT_EQ(e.failed, std::vector<std::string>{"a"});
    EXPECT_TRUE(underFailed("a/X.HEIC", e.failed));
    EXPECT_FALSE(underFailed("ab/X.HEIC", e.failed));
}

TEST_F(LibraryEngineTest, ChangedPathsChooseTheFoldersAndHiddenOnesAreDropped) {
    Library lib;
    lib.file("2023/a.jpg");
    lib.file("2024/b.jpg");
    const std::string link = lib.dir / "LinkToLib";
    fs::create_directory_symlink(lib.root, link);
    // The library opened through a link: the engine resolves it at creation.
    lib.engine.reset();
    lib.engine = std::make_unique<LibraryEngine>(LibraryPaths{link, lib.paths.dataDir, true}, lib.db, lib.rec,
                                                 lib.mainQueue.poster());

    lib.engine->requestScan(false, {lib.root + "/2024/b.jpg"});  // resolved spelling
    lib.waitIdle();
    EXPECT_EQ(lib.rows().count("2024/b.jpg"), 1u);
    EXPECT_EQ(lib.rows().count("2023/a.jpg"), 0u);

    // A photo deleted in the file manager moves to the trash below the library.
    fs::create_directories(lib.root + "/.Trash-1000/files");
    fs::rename(lib.root + "/2024/b.jpg", lib.root + "/.Trash-1000/files/b.jpg");
    lib.rec->log.clear();
    lib.engine->requestScan(false, {link + "/.Trash-1000/files/b.jpg", link + "/.Trash-1000/info/b.jpg.trashinfo"});
    lib.waitIdle();
    EXPECT_FALSE(lib.rec->saw("scanning"));
    EXPECT_EQ(lib.rows().count("2024/b.jpg"), 1u);

    lib.engine->requestScan(false, {link + "/2024/b.jpg"});  // link spelling
    lib.waitIdle();
    EXPECT_EQ(lib.rows().count("2024/b.jpg"), 0u);
    EXPECT_EQ(lib.rows().count("2023/a.jpg"), 0u);

    lib.engine->requestScan(false, {"/Elsewhere/x.jpg"});  // outside: a full scan
    lib.waitIdle();
    EXPECT_EQ(lib.rows().count("2023/a.jpg"), 1u);
}

// A folder reported by the watcher is scanned as a full scan would see it:
// the inside of a package folder is never indexed, so a later full scan has
// nothing to take away again.
TEST_F(LibraryEngineTest, ChangesInsidePackagesIndexNothing) {
    Library lib;
    lib.file("2024/b.jpg");
    lib.file("2024/Old.photoslibrary/originals/p.jpg");
    lib.fullScan();
    ASSERT_EQ(lib.rows().size(), 1u);

    lib.rec->log.clear();
    lib.engine->requestScan(false, {lib.root + "/2024/Old.photoslibrary/originals/p.jpg"});
    lib.waitIdle();
    EXPECT_EQ(lib.rows().size(), 1u);
    EXPECT_EQ(lib.rows().count("2024/b.jpg"), 1u);
    EXPECT_FALSE(lib.rec->saw("upsert"));
}

// Old archives and zips made elsewhere carry Latin-1 names. Each is indexed
// by its bytes beside its UTF-8 twin, read, found again, moved and removed on
// its own, and the watcher's report of one indexes what the full walk does.
TEST_F(LibraryEngineTest, NamesThatAreNotUtf8AreIndexedByTheirBytes) {
    Library lib;
    const std::string latin1 = "caf\xe9.jpg", twin = "caf\xc3\xa9.jpg", other = "caf\xe8.jpg";
    const std::string folder = "Fr\xfchling", folderTwin = "Fr\xc3\xbchling";
    fs::create_directories(lib.root + "/" + folder);
    fs::create_directories(lib.root + "/" + folderTwin);
    for (const std::string& rel : {latin1, twin, other, folder + "/a.jpg", folderTwin + "/a.jpg"})
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + rel, 64, 48)) << rel;
    lib.fullScan();
    const auto first = lib.rows();
    ASSERT_EQ(first.size(), 5u);
    for (const auto& [path, row] : first) EXPECT_TRUE(row.done && row.thumb == 1) << path;

    lib.fullScan();
    EXPECT_FALSE(lib.rec->saw("remove"));
    EXPECT_EQ(lib.rows().size(), 5u);

    fs::rename(lib.root + "/" + folder, lib.root + "/Sommer\xe9");
    fs::remove(lib.root + "/" + latin1);
    lib.fullScan();
    auto rows = lib.rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows.at("Sommer\xe9/a.jpg").id, first.at(folder + "/a.jpg").id);
    for (const std::string& rel : {twin, other, folderTwin + "/a.jpg"}) EXPECT_EQ(rows.at(rel).id, first.at(rel).id);
    EXPECT_EQ(lib.rec->removed, std::vector<int64_t>{first.at(latin1).id});

    const std::string fresh = "neu\xe9/b.jpg";
    fs::create_directories(lib.root + "/neu\xe9");
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + fresh, 64, 48));
    lib.engine->requestScan(false, {lib.root + "/" + fresh});
    lib.waitIdle();
    const int64_t id = lib.rows().at(fresh).id;
    lib.fullScan();
    EXPECT_EQ(lib.rows().at(fresh).id, id);
    EXPECT_FALSE(lib.rec->saw("remove"));
}

TEST_F(LibraryEngineTest, LivePhotosPairByTheBytesOfNamesThatAreNotUtf8) {
    Library lib;
    const int64_t photo = lib.seedProcessed("Sch\xf6n.jpg", MediaKind::photo);
    lib.seedProcessed("Sch\xfcn.mov", MediaKind::video, 2.0);  // another name, one U+FFFD apart
    const int64_t twinPhoto = lib.seedProcessed("Gr\xfcn.jpg", MediaKind::photo);
    lib.seedProcessed("Gr\xfcn.MOV", MediaKind::video, 2.0);
    lib.fullScan();
    EXPECT_FALSE(lib.db->assets({photo}).at(0).liveVideo);
    EXPECT_EQ(lib.db->assets({twinPhoto}).at(0).liveVideo, std::string("Gr\xfcn.MOV"));
}

TEST_F(LibraryEngineTest, MovesKeepIdFavouriteAndAlbumsAndTimesHaveOneSecondTolerance) {
    Library lib;
    lib.file("2023/IMG_1.JPG", "one", 1'600'000'000.5);
    lib.file("2023/IMG_2.JPG", "two", 1'600'000'000.5);
    lib.fullScan();
    auto before = lib.rows();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_TRUE(before["2023/IMG_1.JPG"].done);
    const int64_t id = before["2023/IMG_1.JPG"].id;
    lib.db->setFavorite({id}, true);
    const int64_t album = lib.db->createAlbum("Summer");
    lib.db->addToAlbum(album, {id});

    fs::create_directories(lib.root + "/2024");
    fs::rename(lib.root + "/2023/IMG_1.JPG", lib.root + "/2024/IMG_1.JPG");
    lib.fullScan();
    auto after = lib.rows();
    ASSERT_EQ(after.count("2024/IMG_1.JPG"), 1u);
    EXPECT_EQ(after["2024/IMG_1.JPG"].id, id);
    EXPECT_TRUE(after["2024/IMG_1.JPG"].favorite);
    EXPECT_EQ(lib.db->loadAlbums().at(0).assetIDs, std::vector<int64_t>{id});
    EXPECT_FALSE(lib.rec->saw("remove"));
    EXPECT_FALSE(lib.rec->saw("indexing"));
    EXPECT_EQ(lib.rec->upserted.at(id).path, "2024/IMG_1.JPG");

    // 0.8 s later with the same size: unchanged. 1.5 s: read again, same row.
    setMTime(lib.root + "/2023/IMG_2.JPG", 1'600'000'001.3);
    lib.fullScan();
    EXPECT_FALSE(lib.rec->saw("indexing"));
    setMTime(lib.root + "/2023/IMG_2.JPG", 1'600'000'002.0);
    lib.fullScan();
    EXPECT_TRUE(lib.rec->saw("indexing"));
    EXPECT_EQ(lib.rows()["2023/IMG_2.JPG"].id, before["2023/IMG_2.JPG"].id);

    // A new name in the same folder is the same photo still: its first
    // bytes tell.
    fs::rename(lib.root + "/2023/IMG_2.JPG", lib.root + "/2023/Beach.JPG");
    lib.fullScan();
    EXPECT_FALSE(lib.rec->saw("remove"));
    EXPECT_EQ(lib.rows()["2023/Beach.JPG"].id, before["2023/IMG_2.JPG"].id);
}

TEST_F(LibraryEngineTest, PhotosAreReadAndSavedAndAFailedOneIsNotReadAgain) {
    Library lib;
    fixtures::ExifTags exif;
    exif.dateTimeOriginal = "2021:07:04 18:30:00";
    exif.model = "Test Camera";
    fs::create_directories(lib.root + "/2021");
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2021/good.jpg", 640, 480, {}, exif));
    lib.file("2021/broken.jpg", "\xff\xd8 truncated", 1'600'000'000);
    lib.fullScan();
    std::vector<std::string> progress;
    for (auto& entry : lib.rec->log)
        if (entry == "indexing" || entry == "upsert") progress.push_back(entry);
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), "indexing");
    EXPECT_EQ(lib.rec->last, EngineStatus::idle());

    auto rows = lib.rows();
    const Asset good = lib.rec->upserted.at(rows["2021/good.jpg"].id);
    EXPECT_EQ(good.thumbState, 1);
    EXPECT_EQ(good.width, 640);
    EXPECT_EQ(good.camera, "Test Camera");
    EXPECT_DOUBLE_EQ(good.taken, 1'625'423'400);  // wall clock, as the camera wrote it
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(good.id)));
    const Asset broken = lib.rec->upserted.at(rows["2021/broken.jpg"].id);
    EXPECT_EQ(broken.thumbState, 2);
    EXPECT_EQ(broken.width, 0);
    EXPECT_EQ(broken.taken, wallClockOf(1'600'000'000));

    lib.fullScan();
    EXPECT_FALSE(lib.rec->saw("indexing"));
}

TEST_F(LibraryEngineTest, EmptyFolderGuardKeepsTwentyOneAndRemovesTwenty) {
    for (int count : {21, 20}) {
        Library lib;
        for (int i = 0; i < count; ++i) lib.file("p" + std::to_string(i) + ".jpg");
        lib.fullScan();
        ASSERT_EQ(lib.rows().size(), size_t(count));
        for (int i = 0; i < count; ++i) fs::remove(lib.root + "/p" + std::to_string(i) + ".jpg");
        lib.fullScan();
        if (count == 21) {
            EXPECT_EQ(lib.rec->offline, 1);
            EXPECT_EQ(lib.rows().size(), 21u);
        } else {
            EXPECT_EQ(lib.rec->offline, 0);
            EXPECT_TRUE(lib.rows().empty());
        }
    }
}

TEST_F(LibraryEngineTest, DriveGoneOrUnlistableFolderDeletesNothing) {
    Library lib;
    lib.file("2023/a.jpg");
    lib.file("2024/b.jpg");
    lib.file("2025/c.jpg");
    lib.fullScan();
    ASSERT_EQ(lib.rows().size(), 3u);

    // A folder that cannot be listed (a failing drive) keeps what is known below it.
    fs::remove(lib.root + "/2025/c.jpg");
    lib.engine->setListingCheck([&](const std::string& d) { return d != lib.root + "/2024"; });
    lib.fullScan();
    EXPECT_EQ(lib.rows().count("2024/b.jpg"), 1u);
    EXPECT_EQ(lib.rows().count("2025/c.jpg"), 0u);

    // The drive goes away while the folders are listed.
    lib.engine->setListingCheck([&](const std::string& d) {
        if (d == lib.root + "/2024") fs::rename(lib.root, lib.dir / "gone");
        return true;
    });
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 1);
    EXPECT_EQ(lib.rows().size(), 2u);
    EXPECT_FALSE(lib.rec->saw("remove"));
}

// A file that cannot be read during one scan (away for a moment, here; no
// permission, an I/O error) is left unread rather than stored as unreadable,
// and the next scan that covers it reads it.
TEST_F(LibraryEngineTest, FileUnreadableDuringOneScanIsReadByTheNext) {
    Library lib;
    fs::create_directories(lib.root + "/2024");
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2024/a.jpg", 64, 48));
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2024/b.jpg", 64, 48));
    const std::string away = lib.dir / "away.jpg";
    lib.engine->setReadHook([&](const std::string& path) {
        if (path.ends_with("/b.jpg")) fs::rename(path, away);
    });
    lib.fullScan();
    auto rows = lib.rows();
    EXPECT_EQ(rows["2024/a.jpg"].thumb, 1);
    EXPECT_FALSE(rows["2024/b.jpg"].done);
    EXPECT_EQ(lib.rec->upserted.count(rows["2024/b.jpg"].id), 0u);

    lib.engine->setReadHook({});
    fs::rename(away, lib.root + "/2024/b.jpg");
    lib.engine->requestScan(false, {lib.root + "/2024/b.jpg"});
    lib.waitIdle();
    EXPECT_EQ(lib.rows()["2024/b.jpg"].thumb, 1);
}

namespace {

// A library with one photo read, made a favourite, put in an album and with a
// named person's face locked to it: what the user made of it, and the bytes
// of the picture that is later written over it.
struct MadePhoto {
    Library lib;
    std::string path = lib.root + "/2024/a.jpg";
    std::string newer;  // a bigger picture, written over it in the tests
    int64_t id = 0;

    MadePhoto() {
        fs::create_directories(lib.root + "/2024");
        EXPECT_TRUE(fixtures::makeJPEG(path, 64, 48));
        EXPECT_TRUE(fixtures::makeJPEG(lib.dir / "newer.jpg", 80, 60, {200, 40, 40}));
        newer = fixtures::readFile(lib.dir / "newer.jpg");
        lib.fullScan();
        id = lib.rows()["2024/a.jpg"].id;
        lib.db->setFavorite({id}, true);
        lib.db->addToAlbum(lib.db->createAlbum("Summer"), {id});
        const int64_t person = lib.db->db().insert("INSERT INTO persons(name, created) VALUES('Ana', 0)", {});
        lib.db->db().run("INSERT INTO faces(asset_id, x, y, w, h, quality, person_id, locked) "
                         "VALUES(?,0.1,0.1,0.2,0.2,0.9,?,1)", {id, person});
    }
    // Its row, favourite, album place and locked face are all still there.
    void expectKept() {
        auto rows = lib.rows();
        ASSERT_EQ(rows.count("2024/a.jpg"), 1u);
        EXPECT_EQ(rows["2024/a.jpg"].id, id);
        EXPECT_TRUE(rows["2024/a.jpg"].favorite);
        EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM album_assets WHERE asset_id=?", {id}), 1);
        EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM faces f JOIN persons p ON p.id=f.person_id "
                                         "WHERE f.asset_id=? AND f.locked=1 AND p.name='Ana'", {id}), 1);
        EXPECT_FALSE(lib.rec->saw("remove"));
    }
    // Read whole, as the newer picture, and the store told so.
    void expectReadWhole() {
        EXPECT_EQ(lib.rows()["2024/a.jpg"].thumb, 1);
        ASSERT_EQ(lib.rec->upserted.count(id), 1u);
        EXPECT_EQ(lib.rec->upserted.at(id).width, 80);
        EXPECT_TRUE(lib.rec->upserted.at(id).favorite);
    }
};

}  // namespace

// A photo written again in place (copied over, restored, saved by an
// editor) is empty, then short, for a moment. A scan that finds it so takes
// nothing away: its row keeps its id, favourite, album place and faces, and
// it is read again once it is whole, never left set aside. A new file is
// indexed only once it has content.
TEST_F(LibraryEngineTest, APhotoWrittenAgainInPlaceKeepsItsRow) {
    MadePhoto p;
    Library& lib = p.lib;
    fixtures::writeFile(p.path, "");
    fixtures::writeFile(lib.root + "/2024/b.jpg", "");
    lib.scan({p.path, lib.root + "/2024/b.jpg"});
    p.expectKept();
    EXPECT_EQ(lib.rows().size(), 1u);
    EXPECT_EQ(lib.rows()["2024/a.jpg"].thumb, 1);
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(p.id)));

    // Its first bytes only, as a slow copy leaves it: read for what it is now.
    fixtures::writeFile(p.path, p.newer.substr(0, 100));
    lib.scan({p.path});
    p.expectKept();

    fixtures::writeFile(p.path, p.newer);
    fs::copy_file(lib.dir / "newer.jpg", lib.root + "/2024/b.jpg", fs::copy_options::overwrite_existing);
    lib.scan({p.path});
    p.expectKept();
    p.expectReadWhole();
    EXPECT_EQ(lib.rows()["2024/b.jpg"].thumb, 1);
}

// A file written on while it is read (a copy over it still going on) was
// read halfway: that reading is not kept, nothing is set aside, and the scan
// that the end of the writing brings reads it whole.
TEST_F(LibraryEngineTest, AFileWrittenOnWhileItIsReadIsReadAgainWhole) {
    MadePhoto p;
    Library& lib = p.lib;
    fixtures::writeFile(p.path, p.newer.substr(0, 100));
    lib.rec->upserted.clear();
    lib.engine->setReadHook([&](const std::string& path) {
        if (path == p.path) fixtures::writeFile(path, p.newer);
    });
    lib.scan({p.path});
    p.expectKept();
    EXPECT_FALSE(lib.rows()["2024/a.jpg"].done);
    EXPECT_EQ(lib.rec->upserted.count(p.id), 0u);

    lib.engine->setReadHook({});
    lib.scan({p.path});
    p.expectKept();
    p.expectReadWhole();
}

// Another folder put in the library folder's place, even mid-run, is not the
// library: the run ends offline, deletes nothing and indexes nothing of it,
// and so does every later scan, full or not, also of an empty folder (the
// mount point an unplugged drive leaves), until the library's own is back.
TEST_F(LibraryEngineTest, AnotherFolderInTheLibrarysPlaceIsOffline) {
    Library lib;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/p" + std::to_string(i) + ".jpg", 64, 48));
    const std::string original = lib.dir / "original";
    bool replaced = false;
    lib.engine->setReadHook([&](const std::string&) {
        if (std::exchange(replaced, true)) return;
        fs::rename(lib.root, original);
        fs::create_directories(lib.root);
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/other.jpg", 64, 48));
    });
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 1);
    EXPECT_TRUE(lib.rec->upserted.empty());
    lib.engine->setReadHook({});
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 2);
    fs::remove_all(lib.root);
    fs::create_directory(lib.root);
    lib.fullScan();
    lib.engine->requestScan(false, {lib.root + "/2024/x.jpg"});
    lib.waitIdle();
    EXPECT_EQ(lib.rec->offline, 4);
    auto rows = lib.rows();
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows.count("other.jpg"), 0u);

    fs::remove_all(lib.root);
    fs::rename(original, lib.root);
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 4);
    for (auto& [path, r] : lib.rows()) EXPECT_EQ(r.thumb, 1) << path;
}

// The drive is unplugged from its mount point while its photos are read (the
// index lives elsewhere): the run ends offline, what could not be read then
// is not stored as unreadable for good, scans of the empty mount point are
// offline and delete nothing, and all is read once the drive is back, also
// when it comes back with its folders numbered afresh.
TEST_F(LibraryEngineTest, DriveUnpluggedFromItsMountPointDuringReadingStoresNoFailures) {
    DriveLibrary lib;
    if (!lib.open()) GTEST_SKIP() << "needs /dev/shm on its own file system";
    fs::create_directories(lib.drive + "/2024");
    ASSERT_TRUE(fixtures::makeJPEG(lib.drive + "/2024/p0.jpg", 1200, 900));
    const int n = 40;
    for (int i = 1; i < n; ++i)
        fs::copy_file(lib.drive + "/2024/p0.jpg", lib.drive + "/2024/p" + std::to_string(i) + ".jpg");
    lib.engine->setFacesEnabled(false);
    lib.rec->onStatus = [&](const EngineStatus& s) {
        if (s == EngineStatus::indexing(0, n)) lib.unplug();
    };
    lib.fullScan();
    lib.rec->onStatus = nullptr;
    int failed = 0, unread = 0;
    lib.db->db().forEachRow("SELECT meta_done, thumb FROM assets", {}, [&](const Row& r) {
        failed += r.int64(0) == 1 && r.int64(1) != 1;
        unread += r.int64(0) == 0;
    });
    EXPECT_EQ(failed, 0);
    EXPECT_GT(unread, 0);
    EXPECT_EQ(lib.rec->offline, 1);
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 2);
    EXPECT_EQ(lib.db->fileIndex(std::nullopt).size(), size_t(n));

    const auto ids = lib.db->fileIndex(std::nullopt);
    lib.plugInRenumbered();
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 2);
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1 AND thumb=1"), n);
    for (const auto& [path, stat] : lib.db->fileIndex(std::nullopt)) EXPECT_EQ(stat.id, ids.at(path).id) << path;
}

// Every photo is due to be read again (rewritten by another program, or the
// index made again) when the drive is unplugged: the photos left unread are
// no sign that their trip is over, so it keeps its name and its dismissal.
TEST_F(LibraryEngineTest, ATripOutlivesAPassTheDrivesGoingCutShort) {
    DriveLibrary lib;
    if (!lib.open()) GTEST_SKIP() << "needs /dev/shm on its own file system";
    lib.engine->setFacesEnabled(false);
    // Home in Lisbon once a week, then a July weekend in Paris.
    for (int i = 0; i < 50; ++i) {
        const std::time_t when = 1672531200 + (i < 40 ? (2 + 7 * i) * 86400 + 3600 : 190 * 86400 + (i - 40) * 7200);
        char date[32];
        std::tm t {};
        std::strftime(date, sizeof date, "%Y:%m:%d %H:%M:%S", ::gmtime_r(&when, &t));
        fixtures::ExifTags exif;
        exif.dateTimeOriginal = date;
        exif.gpsLatitude = i < 40 ? 38.72 : 48.8566, exif.gpsLatitudeRef = "N";
        exif.gpsLongitude = i < 40 ? 9.14 : 2.3522, exif.gpsLongitudeRef = i < 40 ? "W" : "E";
        ASSERT_TRUE(fixtures::makeJPEG(lib.drive + "/p" + std::to_string(i) + ".jpg", 64, 48, {}, exif));
    }
    lib.fullScan();
    ASSERT_EQ(lib.db->loadTrips().size(), 1u);
    lib.db->db().run("UPDATE trips SET custom_title='Our weekend', hidden=1");

    for (const auto& e : fs::directory_iterator(lib.drive)) setMTime(e.path(), 1'700'000'000);
    bool unplugged = false;
    lib.engine->setReadHook([&](const std::string&) {
        if (!std::exchange(unplugged, true)) lib.unplug();
    });
    for (const bool back : {false, true}) {
        lib.fullScan();
        EXPECT_EQ(lib.rec->offline, 1);
        const auto trips = lib.db->loadTrips();
        ASSERT_EQ(trips.size(), 1u) << (back ? "after the drive came back" : "the trip went with the drive");
        EXPECT_EQ(trips[0].customTitle, "Our weekend");
        EXPECT_TRUE(trips[0].hidden);
        lib.engine->setReadHook({});
        lib.plugIn();
    }
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=0"), 0);
}

// Faces are due while the drive is unplugged from its mount point: the
// library is offline, and its photos are not marked as looked at.
TEST_F(LibraryEngineTest, FacesAreNotLookedForOnAnEmptyMountPoint) {
    if (!FaceEngine::shared().model) GTEST_SKIP() << "face networks not installed";
    DriveLibrary lib;
    if (!lib.open()) GTEST_SKIP() << "needs /dev/shm on its own file system";
    ASSERT_TRUE(fixtures::makeJPEG(lib.drive + "/a.jpg", 320, 240));
    lib.engine->start(false);
    lib.waitIdle();
    const char* const pending = "SELECT COUNT(*) FROM assets WHERE meta_done=1 AND thumb=1 AND faces_done=0";
    ASSERT_EQ(lib.db->db().scalarInt(pending), 1);

    lib.unplug();
    lib.rec->log.clear();
    lib.engine->setFacesEnabled(true);
    lib.waitIdle();
    EXPECT_TRUE(lib.rec->saw("offline"));
    EXPECT_FALSE(lib.rec->saw("faces"));
    EXPECT_EQ(lib.db->db().scalarInt(pending), 1);
}

// A folder renamed, or moved to another folder, at any moment of a rescan
// keeps its files' ids, favourites and albums: the scan deletes nothing
// under a folder that changed while it was listed, and the follow-up the
// watcher asks for pairs the old and new paths as moves. Many trials with a
// fixed seed, each moving a random folder just before a random folder of
// the walk is listed.
TEST_F(LibraryEngineTest, FolderRenamedDuringARescanKeepsIdsFavouritesAndAlbums) {
    Library lib;
    std::vector<std::string> folders;  // relative, as they are now
    int64_t files = 0;
    for (const char* group : {"gA", "gB"}) {
        for (int f = 0; f < 40; ++f) {
            folders.push_back(std::string(group) + "/f" + std::to_string(f));
            for (int j = 0; j < 2; ++j, ++files) {
                const std::string rel = folders.back() + "/p" + std::to_string(j) + ".jpg";
                const std::string p = lib.file(rel, std::string(size_t(files) + 1, 'x'), 1'600'000'000);
                lib.db->db().run("INSERT INTO assets(path, kind, size, mtime, added, meta_done, thumb, favorite) "
                                 "VALUES(?,0,?,?,0,1,1,1)",
                                 {rel, int64_t(fs::file_size(p)), 1'600'000'000.0});
            }
        }
    }
    std::vector<int64_t> ids;
    for (auto& [path, r] : lib.rows()) ids.push_back(r.id);
    const int64_t album = lib.db->createAlbum("Everything");
    lib.db->addToAlbum(album, ids);
    std::sort(ids.begin(), ids.end());

    std::mt19937 rng(1234);
    for (int trial = 0; trial < 40 && !HasFailure(); ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const size_t moving = rng() % folders.size();
        const std::string from = folders[moving];
        // Half the trials rename in place, half move into the other group.
        const std::string group = trial % 2 ? (from.starts_with("gA") ? "gB" : "gA") : from.substr(0, 2);
        const std::string to = group + "/moved" + std::to_string(trial);
        const std::string trigger = lib.root + "/" + folders[rng() % folders.size()];
        bool moved = false;
        lib.engine->setListingCheck([&](const std::string& dir) {
            if (!moved && dir == trigger) {
                moved = true;
                fs::rename(lib.root + "/" + from, lib.root + "/" + to);
            }
            return true;
        });
        lib.fullScan();
        lib.engine->setListingCheck({});
        if (!moved) fs::rename(lib.root + "/" + from, lib.root + "/" + to);
        folders[moving] = to;
        lib.engine->requestScan(false, {lib.root + "/" + from, lib.root + "/" + to});
        lib.waitIdle();

        auto rows = lib.rows();
        std::vector<int64_t> now;
        int favourites = 0, under = 0;
        for (auto& [path, r] : rows) {
            now.push_back(r.id);
            favourites += r.favorite;
            under += path.starts_with(to + "/");
            EXPECT_TRUE(r.done) << path;
        }
        std::sort(now.begin(), now.end());
        EXPECT_EQ(now, ids);
        EXPECT_EQ(favourites, files);
        EXPECT_EQ(under, 2);
        EXPECT_EQ(lib.db->loadAlbums().at(0).assetIDs.size(), size_t(files));
        EXPECT_TRUE(lib.rec->removed.empty());
    }
}

TEST_F(LibraryEngineTest, ChangesDuringAScanEndWithEveryFileOnce) {
    Library lib;
    for (int i = 0; i < 10; ++i) {
        lib.file("a/" + std::to_string(i) + ".jpg", "a" + std::to_string(i));
        lib.file("b/" + std::to_string(i) + ".jpg", "b" + std::to_string(i));
    }
    lib.fullScan();
    bool done = false;
    lib.engine->setListingCheck([&](const std::string& d) {
        if (!done && d == lib.root + "/b") {
            done = true;
            lib.file("a/new.jpg", "new");                                       // already listed
            lib.file("b/new.jpg", "new b");                                     // about to be listed
            fs::remove(lib.root + "/a/0.jpg");                                  // listed, now gone
            fs::rename(lib.root + "/b/1.jpg", lib.root + "/a/moved.jpg");       // across folders
            fs::rename(lib.root + "/a/2.jpg", lib.root + "/b/moved2.jpg");
        }
        return true;
    });
    lib.fullScan();
    lib.engine->setListingCheck({});
    lib.fullScan();
    std::set<std::string> onDisk;
    for (auto& e : fs::recursive_directory_iterator(lib.root))
        if (e.is_regular_file() && e.path().string().find("/.vintrelle") == std::string::npos)
            onDisk.insert(fs::relative(e.path(), lib.root).string());
    auto rows = lib.rows();
    std::set<std::string> indexed;
    for (auto& [path, r] : rows) {
        indexed.insert(path);
        EXPECT_TRUE(r.done) << path;
    }
    EXPECT_EQ(indexed, onDisk);
}

TEST_F(LibraryEngineTest, FailedBatchSaveReportsNoUnsavedRows) {
    Library lib;
    lib.file("a.jpg");
    lib.file("b.jpg");
    lib.db->db().exec(
        "CREATE TRIGGER refuse BEFORE UPDATE OF meta_done ON assets WHEN NEW.path = 'b.jpg' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    lib.fullScan();
    EXPECT_TRUE(lib.rec->saw("indexing"));
    // Usually both files land in one batch, which is rolled back whole; only
    // rows that were saved may reach the store.
    auto rows = lib.rows();
    EXPECT_FALSE(rows["b.jpg"].done);
    for (auto& [id, a] : lib.rec->upserted) {
        EXPECT_TRUE(rows[a.path].done) << "reported unsaved row " << a.path;
        EXPECT_NE(a.thumbState, 0) << a.path;
    }

    lib.db->db().exec("DROP TRIGGER refuse");
    lib.fullScan();  // unsaved files are read again
    EXPECT_EQ(lib.rec->upserted.size(), 2u);
    for (auto& [path, r] : lib.rows()) EXPECT_TRUE(r.done) << path;
}

// Every file read in the indexing process is named in the reading journal
// while it is read, whatever the order in which the readers finish, and the
// journal is empty once the pass is over.
TEST_F(LibraryEngineTest, EveryFileReadHereIsInTheJournalMeanwhile) {
    Library lib;
    for (int i = 0; i < 150; ++i) lib.file("f" + std::to_string(i) + ".jpg", "not a picture " + std::to_string(i));
    const std::string journal = lib.paths.dataDir + "/reading-ids";
    std::mutex mutex;
    std::vector<std::string> unnamed;
    int read = 0;
    lib.engine->setReadHook([&](const std::string& path) {
        const std::string name = fs::path(path).filename();
        // Readers finish in no fixed order.
        if (name.size() % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::set<int64_t> named;
        std::istringstream in(fixtures::readFile(journal));
        for (int64_t id; in >> id;) named.insert(id);
        int64_t id = -1;
        lib.db->db().forEachRow("SELECT id FROM assets WHERE path=?", {name}, [&](const Row& r) { id = r.int64(0); });
        std::lock_guard lock(mutex);
        ++read;
        if (!named.count(id)) unnamed.push_back(name);
    });
    lib.fullScan();
    EXPECT_GE(read, 150);
    EXPECT_TRUE(unnamed.empty()) << ::testing::PrintToString(unnamed);
    EXPECT_EQ(fs::file_size(journal), 0u);
    for (auto& [path, r] : lib.rows()) EXPECT_TRUE(r.done) << path;
}

// What abnormal ends leave in the journal: the files in flight become
// suspects however often they end a run, and only crashes of their own
// reading process count against them, across runs. Suspects of earlier
// versions (counted by ends of the whole process) start again from nothing.
TEST(ReadJournal, OnlyCrashesOfTheReadingProcessCount) {
    fixtures::TempDir dir;
    for (int end = 0; end < 4; ++end) {  // four kills with the same files in flight
        ReadJournal journal(dir.path());
        journal.mayRead({4, 5, 6});
        journal.mayRead({4, 5});
        ReadJournal next(dir.path());
        next.recover();
    }
    {
        // A run that ends as it should leaves none.
        ReadJournal journal(dir.path());
        journal.mayRead({7, 8});
        journal.mayRead({});
        ReadJournal(dir.path()).recover();
    }
    ReadJournal journal(dir.path());
    EXPECT_EQ(journal.suspects(), (std::vector<int64_t>{4, 5}));
    const auto hour = std::chrono::hours(1);
    EXPECT_EQ(journal.untilRetry(5, hour).count(), 0);
    EXPECT_EQ(journal.crashed(5), 1);
    // The next try waits for the spacing after a crash too, across runs.
    EXPECT_GT(ReadJournal(dir.path()).untilRetry(5, hour), std::chrono::minutes(59));
    EXPECT_EQ(ReadJournal(dir.path()).crashed(5), ReadJournal::crashesToCondemn);
    // Readings cut short are counted apart from crashes, across runs too.
    EXPECT_EQ(ReadJournal(dir.path()).untilRetry(4, hour).count(), 0);
    EXPECT_EQ(ReadJournal(dir.path()).cutShort(5), 1);
    EXPECT_EQ(ReadJournal(dir.path()).cutShort(5), 2);
    EXPECT_GT(ReadJournal(dir.path()).untilRetry(5, hour), std::chrono::minutes(59));
    EXPECT_LE(ReadJournal(dir.path()).untilRetry(5, hour), hour);
    EXPECT_EQ(ReadJournal(dir.path()).crashed(5), ReadJournal::crashesToCondemn + 1);
    journal.forget({4, 5});
    EXPECT_TRUE(ReadJournal(dir.path()).suspects().empty());

    // A journal of the version before cuts were counted.
    fixtures::writeFile(dir / "read-suspects", "9 1\n");
    EXPECT_EQ(ReadJournal(dir.path()).crashed(9), 2);
    EXPECT_EQ(ReadJournal(dir.path()).cutShort(9), 1);
    ReadJournal(dir.path()).forget({9});

    fixtures::writeFile(dir / "suspect-ids", "7 2\n8 1\n");
    fixtures::writeFile(dir / "reading-crashed", "");
    ReadJournal migrated(dir.path());
    EXPECT_EQ(migrated.suspects(), (std::vector<int64_t>{7, 8}));
    EXPECT_EQ(migrated.crashed(7), 1);
    EXPECT_FALSE(fs::exists(dir / "suspect-ids"));
    EXPECT_FALSE(fs::exists(dir / "reading-crashed"));
}

// Files in flight at a kill are read again, each in a reader process of its
// own, and stored as what they are: a file whose reader dies of a fault
// while reading it twice is set aside as unreadable; one fault is chance. A
// reader cut short otherwise (killed, as the out-of-memory killer does, or
// failing) is no evidence once. After either the file is read again later,
// by a run the engine starts for it; it is set aside only after three cuts.
// The other files are read here as always.
TEST_F(LibraryEngineTest, FilesInFlightAtAKillAreReadApart) {
    Library lib;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/p" + std::to_string(i) + ".jpg", 64, 48));
    for (const char* name : {"crash.jpg", "once.jpg", "killedOnce.jpg", "killed.jpg", "refused.jpg"})
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + name, 64, 48));
    lib.file("broken.jpg", "\xff\xd8 not a picture");
    const std::vector<std::string> suspects{"p1.jpg",         "broken.jpg", "crash.jpg",  "once.jpg",
                                            "killedOnce.jpg", "killed.jpg", "refused.jpg"};
    const std::map<std::string, int64_t> ids = lib.leftInFlight(suspects);
    const std::string log = lib.dir / "reader.log";
    lib.engine->setReaderPath(standInReader(lib.dir / "reader", "echo \"${3##*/}\" >> '" + log + "'\n" +
                                                                whileReading("case \"$3\" in\n"
                                                                "  */crash.jpg) kill -SEGV $$ ;;\n"
                                                                "  */once.jpg) [ -e '" + log + ".once' ] || { touch '" + log + ".once'; kill -ABRT $$; } ;;\n"
                                                                "  */killedOnce.jpg) [ -e '" + log + ".killed' ] || { touch '" + log + ".killed'; kill -KILL $$; } ;;\n"
                                                                "  */killed.jpg) kill -KILL $$ ;;\n"
                                                                "  */refused.jpg) exit 1 ;;\n"
                                                                "esac")));
    lib.engine->setRetrySpacing(std::chrono::milliseconds(100));
    std::mutex mutex;
    std::multiset<std::string> here;
    lib.engine->setReadHook([&](const std::string& path) {
        std::lock_guard lock(mutex);
        here.insert(fs::path(path).filename());
    });
    lib.engine->requestScan(true, {});
    lib.waitIdle(true);
    EXPECT_EQ(here, (std::multiset<std::string>{"p0.jpg", "p2.jpg", "p3.jpg", "p4.jpg", "p5.jpg"}));
    std::multiset<std::string> apart;
    std::istringstream lines(fixtures::readFile(log));
    for (std::string line; std::getline(lines, line);) apart.insert(line);
    EXPECT_EQ(apart, (std::multiset<std::string>{"p1.jpg", "broken.jpg", "broken.jpg", "crash.jpg", "crash.jpg",
                                                 "once.jpg", "once.jpg", "killedOnce.jpg", "killedOnce.jpg",
                                                 "killed.jpg", "killed.jpg", "killed.jpg", "refused.jpg",
                                                 "refused.jpg", "refused.jpg"}));
    for (auto& [path, r] : lib.rows()) {
        EXPECT_TRUE(r.done) << path;
        const bool setAside = path == "broken.jpg" || path == "crash.jpg" || path == "killed.jpg" || path == "refused.jpg";
        EXPECT_EQ(r.thumb, setAside ? 2 : 1) << path;
    }
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(ids.at("once.jpg"))));
    EXPECT_TRUE(fs::exists(lib.paths.thumbURL(ids.at("killedOnce.jpg"))));
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
    for (EngineHalt why : lib.rec->halts) EXPECT_EQ(why, EngineHalt::readAgainLater);
    EXPECT_FALSE(lib.rec->halt);
}

// A reader that never finishes is ended at its deadline, and tried again
// later: only a file that outlasts it three times is set aside; each run
// ends as any other, in bounded time.
TEST_F(LibraryEngineTest, AReaderThatOverrunsIsEndedAndTheFileSetAsideInTheEnd) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/spins.jpg", 64, 48));
    const int64_t id = lib.leftInFlight({"spins.jpg"}).at("spins.jpg");
    const std::string log = lib.dir / "reader.log";
    lib.engine->setReaderPath(
        standInReader(lib.dir / "reader", "echo $$ >> '" + log + "'\n" + whileReading("exec sleep 600")));
    lib.engine->setReaderDeadline(std::chrono::milliseconds(500));
    lib.engine->setRetrySpacing(std::chrono::milliseconds(100));
    lib.engine->requestScan(true, {});
    lib.waitIdle(true);
    std::istringstream lines(fixtures::readFile(log));
    int tries = 0;
    for (std::string pid; std::getline(lines, pid); ++tries)
        EXPECT_TRUE(::kill(std::stoi(pid), 0) != 0 && errno == ESRCH) << "a reader outlived its deadline";
    EXPECT_EQ(tries, ReadJournal::cutsToCondemn);
    auto rows = lib.rows();
    EXPECT_TRUE(rows["spins.jpg"].done);
    EXPECT_EQ(rows["spins.jpg"].thumb, 2);
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
    EXPECT_FALSE(fs::exists(lib.paths.thumbURL(id)));
}

// A reading cut short is tried again only once the spacing has passed since,
// in this run or a later one (a burst of memory pressure, whose kills cut
// readings short, is over by then): until then the file is neither read
// nor set aside, and every run ends saying that photos wait to be read
// again, never idle as if all were read. Once the time comes the engine
// reads it by itself, with no request.
TEST_F(LibraryEngineTest, AReadingCutShortIsTriedAgainOnlyAfterTheSpacing) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/pressed.jpg", 64, 48));
    const int64_t id = lib.leftInFlight({"pressed.jpg"}).at("pressed.jpg");
    // Killed on its first two tries, read on the third; each try's time noted.
    const std::string log = lib.dir / "tries.log";
    const std::string reader = standInReader(
        lib.dir / "reader",
        "date +%s%N >> '" + log + "'\n" + whileReading("[ $(wc -l < '" + log + "') -gt 2 ] || kill -KILL $$"));
    auto tries = [&] {
        std::vector<int64_t> out;
        std::istringstream lines(fixtures::readFile(log));
        for (std::string t; std::getline(lines, t);) out.push_back(std::stoll(t));
        return out;
    };
    auto waiting = [&] {
        EXPECT_FALSE(lib.rows()["pressed.jpg"].done);
        EXPECT_EQ(lib.rec->halt, EngineHalt::readAgainLater);
        EXPECT_EQ(lib.rec->log.back(), "idle");
        EXPECT_EQ(ReadJournal(lib.paths.dataDir).suspects(), std::vector<int64_t>{id});
    };
    lib.engine->setReaderPath(reader);
    lib.engine->setRetrySpacing(std::chrono::hours(1));
    lib.fullScan();
    EXPECT_EQ(tries().size(), 1u);
    waiting();
    // Scans that cover it before its time, here and after a restart, leave it be.
    lib.fullScan();
    lib.open();
    lib.engine->setReaderPath(reader);
    lib.engine->setRetrySpacing(std::chrono::hours(1));
    lib.fullScan();
    EXPECT_EQ(tries().size(), 1u);
    waiting();

    // Its time has come: read, cut short once more, and read by the engine's
    // own run once the spacing has passed again.
    const auto spacing = std::chrono::milliseconds(400);
    lib.engine->setRetrySpacing(spacing);
    lib.rec->halts.clear();
    lib.fullScan();
    lib.waitIdle(true);
    const std::vector<int64_t> at = tries();
    ASSERT_EQ(at.size(), 3u);
    EXPECT_GE(at[2] - at[1], std::chrono::nanoseconds(spacing).count());
    EXPECT_FALSE(lib.rec->halts.empty());
    for (EngineHalt why : lib.rec->halts) EXPECT_EQ(why, EngineHalt::readAgainLater);
    EXPECT_FALSE(lib.rec->halt);
    EXPECT_EQ(lib.rows()["pressed.jpg"].thumb, 1);
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
}

// A reader that is missing beside the program, or cannot run, is an
// installation fault: nothing is condemned, the files wait, and every run
// ends saying so (never as if all were read) until a reader starts again.
TEST_F(LibraryEngineTest, AMissingReaderLeavesTheFileWaitingAndSaysSo) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/suspect.jpg", 64, 48));
    fs::create_directories(lib.root + "/2024");
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2024/other.jpg", 64, 48));
    lib.leftInFlight({"suspect.jpg"});
    for (const std::string& reader :
         {std::string(lib.dir / "no-such-reader"), standInReader(lib.dir / "unrunnable", "exit 127")}) {
        SCOPED_TRACE(reader);
        lib.rec->halts.clear();
        lib.engine->setReaderPath(reader);
        lib.fullScan();
        EXPECT_FALSE(lib.rows()["suspect.jpg"].done);
        EXPECT_TRUE(lib.rows()["2024/other.jpg"].done);
        EXPECT_EQ(lib.rec->halts, std::vector<EngineHalt>{EngineHalt::readerUnavailable});
        EXPECT_EQ(lib.rec->log.back(), "idle");
        // A later run that has no suspect to read says it still.
        fixtures::writeFile(lib.root + "/2024/new.jpg", fixtures::readFile(lib.root + "/2024/other.jpg"));
        lib.scan({lib.root + "/2024/new.jpg"});
        EXPECT_EQ(lib.rec->halts.size(), 2u);
    }
    EXPECT_EQ(ReadJournal(lib.paths.dataDir).suspects().size(), 1u);

    // Installed again: read apart, and nothing more to say.
    lib.rec->halts.clear();
    lib.engine->setReaderPath(ReaderProcess::besideThisProgram());
    lib.fullScan();
    EXPECT_TRUE(lib.rows()["suspect.jpg"].done);
    EXPECT_EQ(lib.rows()["suspect.jpg"].thumb, 1);
    EXPECT_TRUE(lib.rec->halts.empty());
}

// A reader that cannot be started for the moment (an update writing it,
// here; no process, memory or file left to start it, under load) is no
// missing installation, and no evidence against the file: it waits to be
// read again, the run says so, and nothing is counted against it.
TEST_F(LibraryEngineTest, AReaderThatCannotStartForNowLeavesTheFileToBeReadAgain) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/suspect.jpg", 64, 48));
    lib.leftInFlight({"suspect.jpg"});
    const std::string reader = standInReader(lib.dir / "reader", "");
    lib.engine->setReaderPath(reader);
    lib.engine->setRetrySpacing(std::chrono::hours(1));
    const int writer = ::open(reader.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    lib.fullScan();
    ::close(writer);
    EXPECT_FALSE(lib.rows()["suspect.jpg"].done);
    EXPECT_EQ(lib.rec->halts, std::vector<EngineHalt>{EngineHalt::readAgainLater});

    lib.rec->halts.clear();
    lib.fullScan();
    EXPECT_EQ(lib.rows()["suspect.jpg"].thumb, 1);
    EXPECT_TRUE(lib.rec->halts.empty());
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
}

// A reader that could not be started for one suspect (no process left to
// start it, say) and started for another later in the run: the first still
// waits, and the run says so.
TEST_F(LibraryEngineTest, ASuspectLeftWithoutAReaderWaitsThoughAnotherIsRead) {
    Library lib;
    for (const char* name : {"unstarted.jpg", "read.jpg"})
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + name, 64, 48));
    lib.leftInFlight({"unstarted.jpg", "read.jpg"});
    // read.jpg's reader goes on once unstarted.jpg's has ended and been reaped
    // (its /proc entry gone), or after a minute.
    const std::string pid = lib.dir / "unstarted.pid";
    lib.engine->setReaderPath(standInReader(
        lib.dir / "reader",
        "case \"$3\" in\n"
        "  */unstarted.jpg) echo $$ > '" + pid + ".new'; mv '" + pid + ".new' '" + pid + "'; exit 127 ;;\n"
        "  */read.jpg) n=0\n"
        "    while [ $n -lt 6000 ] && { [ ! -e '" + pid + "' ] || [ -e /proc/$(cat '" + pid + "') ]; }; do\n"
        "      sleep 0.01; n=$((n+1))\n"
        "    done ;;\n"
        "esac"));
    lib.fullScan();
    EXPECT_FALSE(lib.rows()["unstarted.jpg"].done);
    EXPECT_EQ(lib.rows()["read.jpg"].thumb, 1);
    EXPECT_EQ(lib.rec->halts, std::vector<EngineHalt>{EngineHalt::readerUnavailable});

    lib.rec->halts.clear();
    lib.engine->setReaderPath(ReaderProcess::besideThisProgram());
    lib.fullScan();
    EXPECT_EQ(lib.rows()["unstarted.jpg"].thumb, 1);
    EXPECT_TRUE(lib.rec->halts.empty());
}

// A reader that will not take the request (one of another version than the
// program, or behind a wrapper that does not hand it over) is as good as
// missing: the file is never condemned for it, it waits, and the run says so.
TEST_F(LibraryEngineTest, AReaderThatRefusesTheRequestCondemnsNothing) {
    const std::string real = ReaderProcess::besideThisProgram();
    for (const std::string& refusal : {"exec '" + real + "' \"$@\" more", "'" + real + "' \"$@\"; exit $?"}) {
        SCOPED_TRACE(refusal);
        Library lib;
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/suspect.jpg", 64, 48));
        lib.leftInFlight({"suspect.jpg"});
        lib.engine->setReaderPath(standInReader(lib.dir / "reader", refusal));
        lib.fullScan();
        EXPECT_FALSE(lib.rows()["suspect.jpg"].done);
        EXPECT_EQ(lib.rec->halts, std::vector<EngineHalt>{EngineHalt::readerUnavailable});
        EXPECT_EQ(ReadJournal(lib.paths.dataDir).suspects().size(), 1u);
    }
}

// A reader that fails before it turns to the file (exiting with an error,
// or crashing as it starts, on every file alike) is a broken reader, not a
// bad photo: however often it is tried, nothing is counted against the
// files, they wait as for a missing reader, and the run says so. A working
// reader reads them all.
TEST_F(LibraryEngineTest, AReaderThatFailsBeforeReadingSetsNothingAside) {
    for (const std::string& broken : {std::string("exit 1"), std::string("kill -SEGV $$")}) {
        SCOPED_TRACE(broken);
        Library lib;
        std::vector<std::string> names;
        for (int i = 0; i < 5; ++i) {
            names.push_back("good" + std::to_string(i) + ".jpg");
            ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + names.back(), 64, 48));
        }
        const std::map<std::string, int64_t> ids = lib.leftInFlight(names);
        lib.engine->setReaderPath(standInReader(lib.dir / "reader", broken));
        lib.engine->setRetrySpacing(std::chrono::milliseconds(50));
        for (int run = 0; run < 3; ++run) lib.fullScan();
        for (auto& [path, r] : lib.rows()) EXPECT_FALSE(r.done) << path;
        EXPECT_EQ(lib.rec->halts, std::vector<EngineHalt>(3, EngineHalt::readerUnavailable));
        EXPECT_EQ(lib.rec->log.back(), "idle");
        ReadJournal journal(lib.paths.dataDir);
        EXPECT_EQ(journal.suspects().size(), names.size());
        for (const auto& [name, id] : ids) EXPECT_EQ(journal.untilRetry(id, std::chrono::hours(1)).count(), 0) << name;

        lib.rec->halts.clear();
        lib.engine->setReaderPath(ReaderProcess::besideThisProgram());
        lib.fullScan();
        for (auto& [path, r] : lib.rows()) EXPECT_EQ(r.thumb, 1) << path;
        EXPECT_TRUE(lib.rec->halts.empty());
        EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
    }
}

// A crash while the file is read is tried again only once the spacing has
// passed, as a cut is: a system that faults for a while never uses up a
// good file's tries at once.
TEST_F(LibraryEngineTest, ACrashWhileReadingIsTriedAgainOnlyAfterTheSpacing) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/faulted.jpg", 64, 48));
    lib.leftInFlight({"faulted.jpg"});
    const std::string log = lib.dir / "tries.log";
    lib.engine->setReaderPath(standInReader(
        lib.dir / "reader",
        "date +%s%N >> '" + log + "'\n" + whileReading("[ $(wc -l < '" + log + "') -gt 1 ] || kill -SEGV $$")));
    const auto spacing = std::chrono::milliseconds(400);
    lib.engine->setRetrySpacing(spacing);
    lib.fullScan();
    EXPECT_EQ(lib.rec->halt, EngineHalt::readAgainLater);
    lib.waitIdle(true);
    std::vector<int64_t> at;
    std::istringstream lines(fixtures::readFile(log));
    for (std::string t; std::getline(lines, t);) at.push_back(std::stoll(t));
    ASSERT_EQ(at.size(), 2u);
    EXPECT_GE(at[1] - at[0], std::chrono::nanoseconds(spacing).count());
    EXPECT_EQ(lib.rows()["faulted.jpg"].thumb, 1);
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
}

// Thumbnails a killed run was writing (written aside, never moved into
// place) are removed when the library is opened again, and what a reader
// ended part way leaves is removed at once; finished thumbnails stay.
TEST_F(LibraryEngineTest, ThumbnailsLeftHalfWrittenAreRemoved) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/suspect.jpg", 64, 48));
    const int64_t id = lib.leftInFlight({"suspect.jpg"}).at("suspect.jpg");
    const std::string finished = lib.paths.thumbURL(551);
    const std::vector<std::string> left{finished + ".8OIwU3", lib.paths.thumbURL(256) + ".Ab12Cd",
                                        lib.paths.thumbURL(id) + ".x0X0x0"};
    fixtures::writeFile(finished, "a finished thumbnail");
    fixtures::writeFile(left[0], "");
    fixtures::writeFile(left[1], "half a thumbnail");
    fixtures::writeFile(left[2], "half a thumbnail");
    // Its reader is killed while it writes the suspect's thumbnail aside.
    lib.engine->setReaderPath(standInReader(lib.dir / "reader", whileReading("echo half > \"$5.Zz9Yy8\"\nkill -KILL $$")));
    lib.engine->setRetrySpacing(std::chrono::hours(1));
    lib.fullScan();
    EXPECT_EQ(lib.rec->halt, EngineHalt::readAgainLater);
    for (const std::string& path : left) EXPECT_FALSE(fs::exists(path)) << path;
    const fs::path shard = fs::path(lib.paths.thumbURL(id)).parent_path();
    for (const auto& e : fs::directory_iterator(shard)) ADD_FAILURE() << "left behind: " << e.path();
    EXPECT_EQ(fixtures::readFile(finished), "a finished thumbnail");
}

// A suspect stays one until what its reader found is saved: a run whose
// save fails (or that ends before it) leaves the file to be read apart
// again, never here, where a file that crashes its decoder would take the
// application with it.
TEST_F(LibraryEngineTest, ASuspectIsSettledOnlyOnceItsReadingIsSaved) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/crash.jpg", 64, 48));
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/good.jpg", 64, 48));
    lib.leftInFlight({"crash.jpg", "good.jpg"});
    lib.engine->setReaderPath(
        standInReader(lib.dir / "reader", whileReading("case \"$3\" in */crash.jpg) kill -SEGV $$ ;; esac")));
    lib.engine->setRetrySpacing(std::chrono::milliseconds(100));
    std::mutex mutex;
    std::set<std::string> here;
    lib.engine->setReadHook([&](const std::string& path) {
        std::lock_guard lock(mutex);
        here.insert(fs::path(path).filename());
    });
    lib.db->db().exec("CREATE TRIGGER refuse BEFORE UPDATE OF meta_done ON assets BEGIN SELECT RAISE(ABORT, 'refused'); END");
    lib.fullScan();
    // Past the engine's own run for the crash's second try: the trigger is
    // dropped on the shared connection only once no save is under way.
    lib.waitIdle(true);
    EXPECT_EQ(ReadJournal(lib.paths.dataDir).suspects().size(), 2u);

    lib.db->db().exec("DROP TRIGGER refuse");
    lib.fullScan();
    lib.waitIdle(true);
    EXPECT_TRUE(here.empty()) << "a suspect was read in the indexing process";
    auto rows = lib.rows();
    EXPECT_TRUE(rows["crash.jpg"].done);
    EXPECT_EQ(rows["crash.jpg"].thumb, 2);
    EXPECT_EQ(rows["good.jpg"].thumb, 1);
    EXPECT_TRUE(ReadJournal(lib.paths.dataDir).suspects().empty());
}

// Closing the library ends a reader still at work, and that counts for
// nothing against its file.
TEST_F(LibraryEngineTest, ClosingEndsTheReaderOfASuspect) {
    Library lib;
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/slow.jpg", 64, 48));
    const int64_t id = lib.leftInFlight({"slow.jpg"}).at("slow.jpg");
    const std::string pidFile = lib.dir / "reader.pid";
    lib.engine->setReaderPath(standInReader(lib.dir / "reader", "echo $$ > '" + pidFile + ".new'\n"
                                                                "mv '" + pidFile + ".new' '" + pidFile + "'\n"
                                                                "exec sleep 60"));
    lib.engine->requestScan(true, {});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(pidFile) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(pidFile));
    const pid_t reader = std::stoi(fixtures::readFile(pidFile));
    const auto closing = std::chrono::steady_clock::now();
    lib.engine->stop();
    lib.engine.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(5));
    EXPECT_TRUE(::kill(reader, 0) != 0 && errno == ESRCH) << "the reader outlived the library";
    ReadJournal journal(lib.paths.dataDir);
    EXPECT_EQ(journal.suspects(), std::vector<int64_t>{id});
    EXPECT_EQ(journal.crashed(id), 1);
}

TEST_F(LibraryEngineTest, LivePhotosPairUpToThreeSixSecondsAcrossCase) {
    Library lib;
    const int64_t p1 = lib.seedProcessed("IMG_1.HEIC", MediaKind::photo);
    const int64_t m1 = lib.seedProcessed("IMG_1.MOV", MediaKind::video, 3.6);
    const int64_t p2 = lib.seedProcessed("IMG_2.jpg", MediaKind::photo);
    const int64_t m2 = lib.seedProcessed("IMG_2.mov", MediaKind::video, 3.7);
    const int64_t p3 = lib.seedProcessed("img_3.jpg", MediaKind::photo);
    const int64_t m3 = lib.seedProcessed("IMG_3.mov", MediaKind::video, 2.9);
    const int64_t p4 = lib.seedProcessed("2023/IMG_4.jpg", MediaKind::photo);
    lib.seedProcessed("2024/IMG_4.mov", MediaKind::video, 2.0);
    lib.fullScan();
    auto all = lib.db->assets({p1, m1, p2, m2, p3, m3, p4});
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[0].liveVideo, "IMG_1.MOV");
    EXPECT_TRUE(all[1].hidden);
    EXPECT_FALSE(all[2].liveVideo);
    EXPECT_FALSE(all[3].hidden);
    EXPECT_EQ(all[4].liveVideo, "IMG_3.mov");
    EXPECT_TRUE(all[5].hidden);
    EXPECT_FALSE(all[6].liveVideo);

    lib.fullScan();  // nothing to change
    EXPECT_FALSE(lib.rec->saw("upsert"));

    fs::remove(lib.root + "/IMG_1.MOV");
    fs::remove(lib.root + "/img_3.jpg");
    lib.fullScan();
    EXPECT_FALSE(lib.db->assets({p1}).at(0).liveVideo);
    EXPECT_FALSE(lib.db->assets({m3}).at(0).hidden);
}

// A damaged index is found before the engine writes anything into it: new
// photos are not silently lost in it, rows of files that are gone are not
// removed through it, and the file stays exactly as it was.
TEST_F(LibraryEngineTest, ADamagedIndexIsFoundBeforeAnythingIsWrittenIntoIt) {
    Library lib;
    lib.engine.reset();
    lib.db->db().transaction([&] {
        for (int i = 0; i < 600; ++i)
            lib.db->db().run("INSERT INTO assets(path, kind, size, mtime, meta_done, thumb) VALUES(?,0,1,1,1,1)",
                             {"gone/a long folder name for more pages/IMG_" + std::to_string(i) + ".JPG"});
    });
    lib.db.reset();
    const std::string index = lib.paths.databasePath();
    const auto leaves = fixtures::leafPages(index, "assets");
    ASSERT_GT(leaves.size(), 2u);
    fixtures::spoilPage(index, leaves[leaves.size() / 2]);
    const std::string damaged = fixtures::readFile(index);
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/new.jpg", 64, 48));

    lib.open();
    lib.fullScan();
    EXPECT_TRUE(lib.db->db().isDamaged());
    for (const char* what : {"scanning", "indexing", "remove", "halt"}) EXPECT_FALSE(lib.rec->saw(what)) << what;
    lib.db.reset();
    EXPECT_EQ(fixtures::readFile(index), damaged);
}

TEST_F(LibraryEngineTest, StoppedEngineStartsNoLoop) {
    Library lib;
    lib.file("a.jpg");
    lib.engine->stop();
    lib.engine->start(false);
    lib.engine->requestScan(true, {});
    EXPECT_FALSE(lib.engine->isRunning());
    lib.mainQueue.drain();
    EXPECT_TRUE(lib.rec->log.empty());
}

TEST_F(LibraryEngineTest, PlaceNamesComeThroughTheResolverCache) {
    Library lib;
    lib.db->cachePlace(PlaceResolver::cacheKey(10.0, 20.0), PlaceName{"Harbour Town", "Coast", "Atlantis"});
    auto place = lib.engine->placeName(10.001, 20.001);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->locality, "Harbour Town");
}

// An index made again marks every photo to be read anew, and the first run
// after it may not read them all: the drive unplugged, or some photos being
// rewritten by another program at that moment. The trips worked out then
// must keep the names and dismissals the user gave them, whether the rows of
// the photos came over from the damaged file or were lost with it.
TEST_F(LibraryEngineTest, TripEditsOutliveAMadeAgainIndexWhosePhotosAreNotAllReadAgain) {
    enum class Partial { unplugged, parisRewritten };
    struct Case {
        const char* name;
        std::function<std::vector<int64_t>(const std::string& index)> damage;
        Partial partial;
    } cases[] = {
        {"the index of paths spoilt (every row comes over), the Paris photos rewritten meanwhile",
         [](const std::string& f) { return fixtures::leafPages(f, "sqlite_autoindex_assets_1"); },
         Partial::parisRewritten},
        {"the root of the photos spoilt (every photo row is lost), the drive unplugged meanwhile",
         [](const std::string& f) { return std::vector<int64_t>{fixtures::rootPage(f, "assets")}; },
         Partial::unplugged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveLibrary lib;
        if (!lib.open()) GTEST_SKIP() << "needs /dev/shm on its own file system";
        lib.engine->setFacesEnabled(false);
        // Home in Lisbon, a photo every five days, and a July weekend in Paris.
        for (const char* folder : {"/home", "/paris"}) fs::create_directories(lib.drive + folder);
        int n = 0;
        auto photo = [&](const std::string& name, int day, int hour, double lat, double lon) {
            fixtures::ExifTags exif;
            char date[64];
            std::snprintf(date, sizeof date, "2023:%02d:%02d %02d:00:00", 1 + day / 28, 1 + day % 28, hour);
            exif.dateTimeOriginal = date;
            exif.gpsLatitude = std::abs(lat);
            exif.gpsLatitudeRef = lat < 0 ? "S" : "N";
            exif.gpsLongitude = std::abs(lon);
            exif.gpsLongitudeRef = lon < 0 ? "W" : "E";
            ASSERT_TRUE(fixtures::makeJPEG(lib.drive + "/" + name, 32, 24, {}, exif));
            ++n;
        };
        for (int w = 0; w < 60; ++w) photo("home/" + std::to_string(100 + w) + ".jpg", 2 + w * 5, 10, 38.72, -9.14);
        for (int i = 0; i < 10; ++i) photo("paris/" + std::to_string(100 + i) + ".jpg", 190, 8 + i, 48.8566, 2.3522);
        lib.fullScan();
        ASSERT_EQ(lib.db->loadTrips().size(), 1u);
        lib.db->db().run("UPDATE trips SET custom_title='Paris', hidden=1");
        const auto trips = [&] {
            std::vector<std::string> out;
            lib.db->db().forEachRow("SELECT custom_title, hidden FROM trips", {},
                                    [&](const Row& r) { out.push_back(r.text(0) + "|" + r.text(1)); });
            return out;
        };
        ASSERT_EQ(trips(), std::vector<std::string>{"Paris|1"});

        lib.engine.reset();
        lib.db.reset();
        const std::string index = lib.paths.databasePath();
        const std::vector<int64_t> pages = c.damage(index);
        ASSERT_FALSE(pages.empty());
        for (int64_t page : pages) fixtures::spoilPage(index, page);
        ASSERT_EQ(checkIndexFile(index), IndexHealth::damaged);
        rebuildIndex(lib.paths);
        lib.db = std::make_shared<LibraryDB>(lib.paths.databasePath());
        lib.engine = std::make_unique<LibraryEngine>(lib.paths, lib.db, lib.rec, lib.mainQueue.poster());
        lib.engine->setFacesEnabled(false);

        std::atomic<bool> unplugged = false;
        const std::string away = lib.dir / "away";
        fs::create_directories(away);
        lib.engine->setReadHook([&](const std::string& path) {
            if (c.partial == Partial::unplugged) {
                if (!unplugged.exchange(true)) lib.unplug();
            } else if (path.find("/paris/") != std::string::npos) {
                fs::rename(path, away + "/" + fs::path(path).filename().string());
            }
        });
        lib.fullScan();
        lib.engine->setReadHook({});
        EXPECT_LT(lib.db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1"), n) << "every photo was read";
        EXPECT_EQ(trips(), std::vector<std::string>{"Paris|1"}) << "the run that did not read every photo cost the trip";

        lib.plugIn();
        for (const auto& e : fs::directory_iterator(away))
            fs::rename(e.path(), lib.drive + "/paris/" + e.path().filename().string());
        lib.fullScan();
        EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1"), n);
        EXPECT_EQ(trips(), std::vector<std::string>{"Paris|1"});
    }
}
