// The index deleted under an open library, its data folder in the user's
// data folder: noticed once the change has settled, and written back from
// the open connection when noticed and when the library closes; never into
// a library folder that is itself being deleted. Real stores, folder
// watchers and SQLite files in temporary folders.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Core/Engine/FolderWatcher.h"
#include "StoreFixture.h"

using namespace storetest;
namespace fs = std::filesystem;

namespace {

// Counts the store's reports of a settled change at its index.
struct Settled {
    int count = 0;
    QObject context;
    explicit Settled(LibraryStore& s) {
        QObject::connect(&s, &LibraryStore::dataFolderChanged, &context, [this] { ++count; });
    }
    bool next(int seen) { return spinUntil([&] { return count > seen; }); }
};

// As rm -rf does, again while the keeper of the marks' copy still writes in it.
void removeAll(const std::string& path) {
    std::error_code ec;
    while (fs::exists(path)) fs::remove_all(path, ec);
}

std::vector<int64_t> favourites(const std::string& index) {
    return LibraryDB(index).db().query("SELECT id FROM assets WHERE favorite=1 ORDER BY id", {},
                                       [](const Row& r) { return r.int64(0); });
}

}  // namespace

TEST(StoreIndexGone, AnIndexInTheUsersDataFolderIsWrittenBackWhenNoticedAndOnClosing) {
    fixtures::TempDir dir;
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    fs::create_directories(dir / "Photos");
    auto store = LibraryStore::init(dir / "Photos", [](const std::string&) { return false; });
    unsetenv("XDG_DATA_HOME");
    ASSERT_FALSE(store->paths().portable);
    store->engine()->stop();
    insertAsset(store->db(), makeAsset(1, "a.jpg", 1.6e9));
    store->start(false);
    store->setFavorite({1}, true);
    Settled settled(*store);
    const std::string index = store->paths().databasePath();

    removeAll(store->paths().dataDir);
    ASSERT_TRUE(settled.next(0));
    EXPECT_EQ(store->indexStanding(), Database::Standing::deleted);
    ASSERT_TRUE(store->putIndexBack());
    EXPECT_EQ(favourites(index), std::vector<int64_t>{1});

    // Deleted again, and the library closes before anything is noticed.
    store = LibraryStore::init(dir / "Photos", [](const std::string&) { return false; });
    store->engine()->stop();
    store->start(false);
    removeAll(store->paths().dataDir);
    store->shutdown();
    EXPECT_EQ(favourites(index), std::vector<int64_t>{1});
}

// rm -rf of the library folder may take its data folder first and its
// photos after: nothing is made in it, whether the deletion is noticed once
// settled or the library closes while it goes on.
TEST(StoreIndexGone, ALibraryFolderBeingDeletedIsNeverWrittenInto) {
    for (const bool closing : {false, true}) {
        Library lib;
        const std::string root = lib.store->paths().root;
        for (int i = 0; i < 6; ++i) fixtures::writeFile(root + "/2024/IMG_" + std::to_string(i) + ".jpg", "x");
        lib.add({makeAsset(1, "2024/IMG_0.jpg", 1.6e9)});
        LibraryStore& store = *lib.store;
        store.start(false);
        Settled settled(store);

        std::error_code left;
        std::atomic<bool> dataGone{false};
        std::thread deleting([&] {
            removeAll(store.paths().dataDir);
            dataGone = true;
            for (int i = 0; i < 6; ++i) {
                std::this_thread::sleep_for(FolderWatcher::kDataQuiet / 4);
                fs::remove(root + "/2024/IMG_" + std::to_string(i) + ".jpg");
            }
            fs::remove(root + "/2024");
            fs::remove(root, left);
        });
        ASSERT_TRUE(spinUntil([&] { return dataGone.load(); }));
        if (closing) {
            store.shutdown();
        } else {
            ASSERT_TRUE(settled.next(0));
            EXPECT_EQ(store.indexStanding(), Database::Standing::kept) << "taken for the index alone";
            EXPECT_FALSE(store.putIndexBack());
        }
        deleting.join();
        EXPECT_FALSE(left) << "the folder was written into while it was deleted";
        EXPECT_FALSE(fs::exists(root)) << closing;
    }
}
