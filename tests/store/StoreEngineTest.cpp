// The store with its real engine and watcher on a real library folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "StoreFixture.h"
#include "fixtures/MediaFixtures.h"

using namespace storetest;
namespace fs = std::filesystem;

namespace {

struct RealLibrary {
    fixtures::TempDir dir;
    std::string root = dir / "photos";
    std::shared_ptr<LibraryStore> store;
    RealLibrary() {
        MediaProcessor::initialize();
        fs::create_directories(root + "/2019");
        fs::create_directories(root + "/f");
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    }
    bool idle() const {
        return store->hasLoaded() && store->status() == EngineStatus::idle() && !store->engine()->isRunning();
    }
};

TEST(StoreWithEngine, IndexesFollowsTheFolderAndThumbnailsLoad) {
    RealLibrary lib;
    fixtures::ExifTags exif;
    exif.dateTimeOriginal = "2019:06:01 10:00:00";
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2019/a.jpg", 640, 480, {}, exif));
    lib.store = LibraryStore::init(lib.root);
    lib.store->start(false);
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 1 && lib.idle(); }, fixtures::patientMs));
    const Asset a = lib.store->assets()[0];
    EXPECT_EQ(a.path, "2019/a.jpg");
    ASSERT_EQ(lib.store->folderTree().size(), 1u);
    EXPECT_EQ(lib.store->folderTree()[0].count, 1);

    // The thumbnail the engine wrote decodes through the cache.
    EXPECT_FALSE(lib.store->thumbs()->load(lib.store->paths().thumbURL(a.id)).result().isNull());

    // A new file reaches the store through the watcher, with no rescan asked.
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2019/b.jpg", 320, 240));
    EXPECT_TRUE(spinUntil([&] { return lib.store->assets().size() == 2; }, fixtures::patientMs));

    lib.store->shutdown();
    lib.store->shutdown();
}

// A photo copied over in place with the window open: the scans that the
// watcher brings find it empty, then short, then whole. It keeps its place,
// favourite and album throughout, and shows the new picture in the end.
TEST(StoreWithEngine, APhotoWrittenAgainInPlaceKeepsItsPlace) {
    RealLibrary lib;
    const std::string photo = lib.root + "/2019/a.jpg";
    ASSERT_TRUE(fixtures::makeJPEG(photo, 640, 480));
    ASSERT_TRUE(fixtures::makeJPEG(lib.dir / "newer.jpg", 800, 600, {200, 40, 40}));
    const std::string newer = fixtures::readFile(lib.dir / "newer.jpg");
    lib.store = LibraryStore::init(lib.root);
    lib.store->start(false);
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 1 && lib.idle(); }));
    const int64_t id = lib.store->assets()[0].id;
    lib.store->setFavorite({id}, true);
    const int64_t album = lib.store->createAlbum("Summer", {id});
    auto kept = [&] {
        const std::optional<Asset> a = lib.store->asset(id);
        const auto& albums = lib.store->albums();
        auto summer = std::find_if(albums.begin(), albums.end(), [&](const Album& x) { return x.id == album; });
        return a && a->favorite && summer != albums.end() && summer->assetIDs == std::vector<int64_t>{id};
    };
    // A new file beside it, once in the store, shows that a scan has looked
    // at the folder as it is now.
    int marks = 0;
    auto scanned = [&] {
        const std::string mark = "2019/mark" + std::to_string(++marks) + ".jpg";
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/" + mark, 32, 24));
        ASSERT_TRUE(spinUntil([&] {
            const auto& all = lib.store->assets();
            return std::any_of(all.begin(), all.end(), [&](const Asset& a) { return a.path == mark; });
        }));
    };

    fixtures::writeFile(photo, "");
    scanned();
    EXPECT_TRUE(kept());
    fixtures::writeFile(photo, newer.substr(0, 100));
    scanned();
    EXPECT_TRUE(kept());
    fixtures::writeFile(photo, newer);
    EXPECT_TRUE(spinUntil([&] {
        const std::optional<Asset> a = lib.store->asset(id);
        return a && a->width == 800 && a->thumbState == 1;
    }));
    EXPECT_TRUE(kept());
    lib.store->shutdown();
}

// A folder moved out of the open library and back, and folders put back one
// at a time into a library opened while they were away, as a restore from a
// backup does: what the user made of their photos waits for them.
TEST(StoreWithEngine, PhotosAwayForAWhileComeBackWithWhatTheUserMadeOfThem) {
    RealLibrary lib;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2019/p" + std::to_string(i) + ".jpg", 64 + 8 * i, 48));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/f/q" + std::to_string(i) + ".jpg", 40, 30 + 8 * i, {9, 9, 200}));
    auto open = [&] {
        lib.store = LibraryStore::init(lib.root);
        lib.store->start(false);
    };
    open();
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 6 && lib.idle(); }));
    std::map<std::string, int64_t> id;
    for (const Asset& a : lib.store->assets()) id[a.path] = a.id;
    lib.store->setFavorite({id["2019/p0.jpg"], id["2019/p1.jpg"], id["2019/p2.jpg"], id["f/q1.jpg"]}, true);
    const int64_t album =
        lib.store->createAlbum("Summer", {id["2019/p2.jpg"], id["f/q0.jpg"], id["2019/p0.jpg"], id["2019/p3.jpg"]});
    // Favourites and the album's members, by path, as the window shows them.
    auto shown = [&] {
        std::vector<std::string> out;
        for (const Asset& a : lib.store->assets())
            if (a.favorite) out.push_back(a.path + " (" + std::to_string(a.id) + ")");
        std::sort(out.begin(), out.end());
        for (const Album& a : lib.store->albums())
            if (a.id == album)
                for (int64_t member : a.assetIDs)
                    if (const auto asset = lib.store->asset(member)) out.push_back("Summer: " + asset->path);
        return out;
    };
    const std::vector<std::string> before = shown();
    ASSERT_EQ(before.size(), 8u);

    const std::string away = lib.dir / "away";
    fs::rename(lib.root + "/2019", away);
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 2 && lib.idle(); }));
    EXPECT_EQ(shown(), (std::vector<std::string>{"f/q1.jpg (" + std::to_string(id["f/q1.jpg"]) + ")", "Summer: f/q0.jpg"}));
    fs::rename(away, lib.root + "/2019");
    EXPECT_TRUE(spinUntil([&] { return shown() == before && lib.idle(); })) << ::testing::PrintToString(shown());

    lib.store->shutdown();
    fs::rename(lib.root + "/2019", away);
    fs::rename(lib.root + "/f", lib.dir / "away f");
    open();
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().empty() && lib.idle(); }));
    fs::rename(lib.dir / "away f", lib.root + "/f");
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 2 && lib.idle(); }));
    fs::rename(away, lib.root + "/2019");
    EXPECT_TRUE(spinUntil([&] { return shown() == before && lib.idle(); })) << ::testing::PrintToString(shown());
    lib.store->shutdown();
}

TEST(StoreWithEngine, ALibraryOpenedThroughALinkFollowsItsFolder) {
    // ~/Pictures leading to a data disk, opened by the link's path.
    RealLibrary lib;
    const std::string link = lib.dir / "Pictures";
    fs::create_directory_symlink(lib.root, link);
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/2019/a.jpg", 640, 480));
    lib.store = LibraryStore::init(link);
    lib.store->start(false);
    ASSERT_TRUE(spinUntil([&] { return lib.store->assets().size() == 1 && lib.idle(); }, fixtures::patientMs));
    EXPECT_EQ(lib.store->paths().dataDir, link + "/.vintrelle");

    // Added through the link or through the folder's own path, a photo
    // reaches the store through the watcher, with no rescan asked.
    ASSERT_TRUE(fixtures::makeJPEG(link + "/2019/by-link.jpg", 320, 240));
    EXPECT_TRUE(spinUntil([&] { return lib.store->assets().size() == 2; }, fixtures::patientMs));
    ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/f/by-real-path.jpg", 320, 240));
    EXPECT_TRUE(spinUntil([&] { return lib.store->assets().size() == 3; }, fixtures::patientMs));
    std::vector<std::string> paths;
    for (const Asset& a : lib.store->assets()) paths.push_back(a.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"2019/a.jpg", "2019/by-link.jpg", "f/by-real-path.jpg"}));
    lib.store->shutdown();
}

TEST(StoreWithEngine, ClosingWhileTheEngineWorksLeavesNothingBehind) {
    RealLibrary lib;
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(fixtures::makeJPEG(lib.root + "/f/" + std::to_string(i) + ".jpg", 640, 480));
    lib.store = LibraryStore::init(lib.root);
    lib.store->start(true);
    spinUntil([&] { return !lib.store->assets().empty(); }, 2000);
    std::weak_ptr<LibraryStore> weak = lib.store;
    lib.store->shutdown();
    lib.store.reset();
    EXPECT_TRUE(weak.expired());
    // Reports already queued for the store find it gone.
    QCoreApplication::processEvents();
    spinUntil([] { return false; }, 200);
}

TEST(StoreWithEngine, AMissingFolderGoesOfflineAndRescanClearsIt) {
    RealLibrary lib;
    lib.store = LibraryStore::init(lib.root, [](const std::string&) { return false; });
    fs::remove_all(lib.root);
    lib.store->start(false);
    ASSERT_TRUE(spinUntil([&] { return lib.store->isOffline(); }, fixtures::patientMs));
    lib.store->rescan();
    EXPECT_FALSE(lib.store->isOffline());
    EXPECT_TRUE(spinUntil([&] { return lib.store->isOffline(); }, fixtures::patientMs));
}

}  // namespace
