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

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "Core/Engine/EngineCore.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Places/PlaceResolver.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

struct Recorder : EngineDelegate {
    std::vector<std::string> log;
    std::map<int64_t, Asset> upserted;
    std::vector<int64_t> removed;
    int offline = 0;
    EngineStatus last = EngineStatus::idle();

    void engineDidUpsert(const std::vector<Asset>& list) override {
        log.push_back("upsert");
        for (const auto& a : list) upserted[a.id] = a;
    }
    void engineDidRemove(const std::vector<int64_t>& ids) override {
        log.push_back("remove");
        removed.insert(removed.end(), ids.begin(), ids.end());
    }
    void engineDidUpdateTrips() override { log.push_back("trips"); }
    void engineDidUpdatePeople() override { log.push_back("people"); }
    std::function<void(const EngineStatus&)> onStatus;
    void engineDidChangeStatus(const EngineStatus& s) override {
        if (onStatus) onStatus(s);
        last = s;
        static const char* const names[] = {"scanning", "indexing", "faces", "idle"};
        log.push_back(names[int(s.kind)]);
    }
    void engineDidGoOffline() override {
        ++offline;
        log.push_back("offline");
    }
    bool saw(const std::string& what) const { return std::find(log.begin(), log.end(), what) != log.end(); }
};

void setMTime(const std::string& path, double seconds) {
    timespec times[2];
    times[0].tv_sec = time_t(seconds);
    times[0].tv_nsec = long((seconds - double(time_t(seconds))) * 1e9);
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A library folder with its index in a temporary folder.
struct Library {
    fixtures::TempDir dir;
    std::string root = dir / "Lib";
    LibraryPaths paths;
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    std::unique_ptr<LibraryEngine> engine;

    Library() {
        fs::create_directories(root);
        open();
    }
    void open() {
        engine.reset();
        db.reset();
        paths = LibraryPaths::resolve(root);
        paths.prepare();
        db = std::make_shared<LibraryDB>(paths.databasePath());
        engine = std::make_unique<LibraryEngine>(paths, db, rec, mainQueue.poster());
        // These tests are about scanning; the face pass has its own.
        engine->setFacesEnabled(false);
    }
    std::string file(const std::string& rel, const std::string& bytes = "not really a picture", double mtime = 0) {
        const std::string p = root + "/" + rel;
        fixtures::writeFile(p, bytes);
        if (mtime > 0) setMTime(p, mtime);
        return p;
    }
    void waitIdle() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            mainQueue.waitAndDrain(20);
            if (!engine->isRunning() && mainQueue.drain() == 0 && rec->last.kind == EngineStatus::Kind::idle) return;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "engine never went idle";
        }
    }
    void fullScan() {
        rec->log.clear();
        engine->requestScan(true, {});
        waitIdle();
    }
    struct RowView {
        int64_t id;
        bool done;
        bool favorite;
        int thumb;
    };
    std::map<std::string, RowView> rows() {
        std::map<std::string, RowView> out;
        db->db().forEachRow("SELECT path, id, meta_done, favorite, thumb FROM assets", {}, [&](const Row& r) {
            out[r.text(0)] = {r.int64(1), r.int64(2) != 0, r.int64(3) != 0, int(r.int64(4))};
        });
        return out;
    }
    // A processed row that matches a file on disk, as an earlier run left it.
    int64_t seedProcessed(const std::string& rel, MediaKind kind, double duration = 0) {
        const std::string p = file(rel, "bytes of " + rel, 1'600'000'000);
        struct stat st {};
        ::stat(p.c_str(), &st);
        const int64_t id = db->db().insert(
            "INSERT INTO assets(path, kind, size, mtime, added, duration, meta_done, thumb) VALUES(?,?,?,?,0,?,1,1)",
            {rel, int(kind), int64_t(st.st_size), 1'600'000'000.0, duration});
        return id;
    }
};

// A library on a "drive" with its index elsewhere, reached through a link so
// that a test can put an empty folder on another file system in its place,
// as an unplugged drive leaves its mount point behind.
struct DriveLibrary {
    fixtures::TempDir dir;
    std::string drive = dir / "drive";
    std::string link = dir / "Photos";
    std::string emptyMountPoint;
    LibraryPaths paths;
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    std::unique_ptr<LibraryEngine> engine;

    // False when /dev/shm is not a file system of its own.
    bool open() {
        struct stat tmpStat {}, shmStat {};
        if (::stat("/dev/shm", &shmStat) != 0 || ::stat(dir.path().c_str(), &tmpStat) != 0 ||
            shmStat.st_dev == tmpStat.st_dev)
            return false;
        char shmTemplate[] = "/dev/shm/vintrelle-test-XXXXXX";
        if (!::mkdtemp(shmTemplate)) return false;
        emptyMountPoint = shmTemplate;
        fs::create_directories(drive);
        fs::create_directory_symlink(drive, link);
        fs::create_directories(dir / "index");
        paths = LibraryPaths{link, dir / "index", false};
        paths.prepare();
        db = std::make_shared<LibraryDB>(paths.databasePath());
        engine = std::make_unique<LibraryEngine>(paths, db, rec, mainQueue.poster());
        return true;
    }
    ~DriveLibrary() {
        engine.reset();
        if (!emptyMountPoint.empty()) fs::remove(emptyMountPoint);
    }
    void unplug() {
        fs::remove(link);
        fs::create_directory_symlink(emptyMountPoint, link);
    }
    void plugIn() {
        fs::remove(link);
        fs::create_directory_symlink(drive, link);
    }
    void waitIdle() {
        for (int i = 0; i < 3000; ++i) {
            mainQueue.waitAndDrain(20);
            if (!engine->isRunning() && mainQueue.drain() == 0 && rec->last.kind == EngineStatus::Kind::idle) return;
        }
        FAIL() << "engine never went idle";
    }
    void fullScan() {
        engine->requestScan(true, {});
        waitIdle();
    }
};

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

    // A new name in the same folder is a removal and an insert.
    fs::rename(lib.root + "/2023/IMG_2.JPG", lib.root + "/2023/Beach.JPG");
    lib.fullScan();
    EXPECT_TRUE(lib.rec->saw("remove"));
    EXPECT_NE(lib.rows()["2023/Beach.JPG"].id, before["2023/IMG_2.JPG"].id);
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

TEST_F(LibraryEngineTest, EmptyMountPointIsOffline) {
    Library lib;
    lib.file("a.jpg");
    lib.file("b.jpg");
    lib.fullScan();
    ASSERT_EQ(lib.rows().size(), 2u);
    // The drive is unplugged; its mount point stays behind as an empty folder.
    fs::rename(lib.root, lib.dir / "unplugged");
    fs::create_directory(lib.root);
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 1);
    EXPECT_EQ(lib.rows().size(), 2u);
    lib.engine->requestScan(false, {lib.root + "/2024/x.jpg"});
    lib.waitIdle();
    EXPECT_EQ(lib.rec->offline, 2);
    EXPECT_EQ(lib.rows().size(), 2u);
}

// The drive is unplugged from its mount point while its photos are read:
// what could not be read then is not stored as unreadable for good, and is
// read once the drive is back.
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

    lib.plugIn();
    lib.fullScan();
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1 AND thumb=1"), n);
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

TEST_F(LibraryEngineTest, EmptyFolderOnAnotherDeviceIsOfflineForALibraryWithItsIndexElsewhere) {
    DriveLibrary lib;
    if (!lib.open()) GTEST_SKIP() << "needs /dev/shm on its own file system";
    fixtures::writeFile(lib.drive + "/a.jpg", "a");
    lib.engine->setFacesEnabled(false);
    lib.fullScan();
    ASSERT_EQ(lib.db->fileIndex(std::nullopt).size(), 1u);

    lib.unplug();
    lib.fullScan();
    EXPECT_EQ(lib.rec->offline, 1);
    EXPECT_EQ(lib.db->fileIndex(std::nullopt).size(), 1u);
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

TEST_F(LibraryEngineTest, FilesLeftInTheReadJournalAreSavedAsFailed) {
    Library lib;
    lib.file("crash.jpg", "bytes that crashed a decoder", 1'600'000'000);
    lib.engine->stop();
    const int64_t id = lib.db->db().insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,?,?,?,?)",
                                           {"crash.jpg", 0, 28, 1'600'000'000.0, 1.0});
    fixtures::writeFile(lib.paths.dataDir + "/reading-ids", std::to_string(id) + "\n");
    lib.open();
    lib.fullScan();
    auto rows = lib.rows();
    EXPECT_TRUE(rows["crash.jpg"].done);
    EXPECT_EQ(rows["crash.jpg"].thumb, 2);
    EXPECT_FALSE(lib.rec->saw("indexing"));  // not read again
    ASSERT_EQ(lib.rec->upserted.count(id), 1u);
    EXPECT_EQ(lib.rec->upserted[id].taken, wallClockOf(1'600'000'000));
    EXPECT_FALSE(fs::exists(lib.paths.dataDir + "/reading-ids"));
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

TEST_F(LibraryEngineTest, KilledMidIndexReopensConsistent) {
    Library lib;
    constexpr int kFiles = 400;
    for (int i = 0; i < kFiles; ++i) lib.file("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".jpg",
                                              "picture " + std::to_string(i));
    lib.engine.reset();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lib.open();
        lib.engine->start(false);
        for (;;) lib.mainQueue.waitAndDrain(100);
    }
    // Kill it once some files were saved and, with luck, others not yet.
    std::map<int64_t, std::string> savedBeforeKill;
    {
        LibraryDB reader(lib.paths.databasePath());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline &&
               reader.db().scalarInt("SELECT COUNT(*) FROM assets WHERE meta_done=1").value_or(0) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        reader.db().forEachRow("SELECT id, path FROM assets WHERE meta_done=1", {},
                               [&](const Row& r) { savedBeforeKill[r.int64(0)] = r.text(1); });
    }
    ASSERT_FALSE(savedBeforeKill.empty());
    lib.open();
    lib.fullScan();
    auto rows = lib.rows();
    EXPECT_EQ(rows.size(), size_t(kFiles));
    for (auto& [path, r] : rows) EXPECT_TRUE(r.done) << path;
    for (auto& [id, path] : savedBeforeKill) EXPECT_EQ(rows[path].id, id) << path;
    EXPECT_EQ(lib.db->db().scalarInt("SELECT COUNT(DISTINCT path) FROM assets").value_or(0), kFiles);
}

TEST_F(LibraryEngineTest, PlaceNamesComeThroughTheResolverCache) {
    Library lib;
    lib.db->cachePlace(PlaceResolver::cacheKey(10.0, 20.0), PlaceName{"Harbour Town", "Coast", "Atlantis"});
    auto place = lib.engine->placeName(10.001, 20.001);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->locality, "Harbour Town");
}
