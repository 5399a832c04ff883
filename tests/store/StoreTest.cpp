// Opening, loading, closing and the engine's reports.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "Core/Faces/FaceEngine.h"
#include "Core/Index/LibraryLock.h"
#include "StoreFixture.h"

using namespace storetest;
namespace fs = std::filesystem;

namespace {

// Sets or clears a file's immutable flag; false where the file system has none.
bool setImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

int countRows(LibraryDB& db, const std::string& table) {
    return int(db.db().scalarInt("SELECT COUNT(*) FROM " + table).value_or(-1));
}

// A library whose index already holds people and a face crop on disk.
struct PeopleLibrary : Library {
    std::string crop;
    explicit PeopleLibrary(const std::string& name) {
        add({makeAsset(1, "a.jpg", 100)});
        insertPerson(db(), 1, name);
        const int64_t face = insertFace(db(), 1, 1);
        crop = store->paths().faceURL(face);
        fixtures::writeFile(crop, "crop");
    }
};

TEST(StoreOpening, UnnamedPeopleOfAnOlderVersionAreAnalysedAgainOnce) {
    // No version at all, and the version of the embedding before the current one.
    for (const std::optional<std::string>& older : {std::optional<std::string>(), std::optional<std::string>("2")}) {
        SCOPED_TRACE(older.value_or("none"));
        PeopleLibrary lib("");
        if (older) lib.db().setMeta("faceVersion", *older);
        lib.db().db().run("UPDATE assets SET faces_done=1");
        lib.store->start(false);
        EXPECT_EQ(countRows(lib.db(), "faces"), 0);
        EXPECT_EQ(countRows(lib.db(), "persons"), 0);
        EXPECT_EQ(lib.db().db().scalarInt("SELECT COUNT(*) FROM assets WHERE faces_done=0"), 1);  // pending for the face pass
        EXPECT_FALSE(fs::exists(lib.crop));
        EXPECT_TRUE(fs::is_directory(lib.store->paths().dataDir + "/faces/00"));
        EXPECT_TRUE(fs::is_directory(lib.store->paths().dataDir + "/faces/ff"));
        EXPECT_EQ(lib.db().meta("faceVersion"), FaceEngine::dataVersion);

        // What the face pass then finds stays when the library opens again.
        insertFace(lib.db(), 1, std::nullopt);
        const std::string root = lib.store->paths().root;
        lib.store->shutdown();
        auto reopened = LibraryStore::init(root);
        reopened->engine()->stop();
        reopened->start(false);
        EXPECT_EQ(countRows(reopened->db(), "faces"), 1);
        reopened->shutdown();
    }
}

TEST(StoreOpening, NamedPeopleAreNeverThrownAway) {
    PeopleLibrary lib("Anna");
    lib.store->start(false);
    EXPECT_EQ(countRows(lib.db(), "faces"), 1);
    ASSERT_EQ(lib.store->persons().size(), 1u);
    EXPECT_EQ(lib.store->persons()[0].name, "Anna");
    EXPECT_TRUE(fs::exists(lib.crop));
    EXPECT_EQ(lib.db().meta("faceVersion"), FaceEngine::dataVersion);
}

TEST(StoreOpening, FailedReadsResetNothing) {
    PeopleLibrary lib("Anna");
    lib.db().db().close();  // every read now fails
    lib.store->start(false);
    EXPECT_TRUE(fs::exists(lib.crop));
    EXPECT_TRUE(lib.store->hasLoaded());

    LibraryDB reopened(lib.store->paths().databasePath());
    EXPECT_EQ(reopened.loadPersons().size(), 1u);
    EXPECT_EQ(reopened.meta("faceVersion"), std::nullopt);
}

TEST(StoreOpening, LoadsProcessedVisibleAssetsInStoreOrder) {
    Library lib;
    Asset hidden = makeAsset(4, "h.jpg", 500);
    hidden.hidden = true;
    lib.add({makeAsset(1, "a.jpg", 100), makeAsset(2, "b.jpg", 300), makeAsset(3, "c.jpg", 100), hidden});
    lib.db().db().run("INSERT INTO assets(id, path, kind, size, mtime) VALUES(9, 'pending.jpg', 0, 1, 1)");
    lib.db().db().run("INSERT INTO trips(title, start, end) VALUES('old', 10, 20), ('new', 50, 60)");

    SignalLog log(*lib.store);
    lib.store->start(false);
    EXPECT_EQ(ids(lib.store->assets()), (std::vector<int64_t>{2, 3, 1}));
    EXPECT_EQ(lib.store->asset(3)->path, "c.jpg");
    EXPECT_FALSE(lib.store->asset(4));
    ASSERT_EQ(lib.store->trips().size(), 2u);
    EXPECT_EQ(lib.store->trips()[0].autoTitle, "new");
    EXPECT_EQ(lib.store->revision(), 1);
    EXPECT_TRUE(lib.store->hasLoaded());
    ASSERT_FALSE(log.names.empty());
    EXPECT_EQ(log.names.back(), "collectionsRevision");
    EXPECT_EQ(log.names[log.names.size() - 2], "revision");
}

TEST(StoreOpening, AnEmptyLibraryStillLoads) {
    Library lib;
    lib.store->start(true);
    EXPECT_TRUE(lib.store->assets().empty());
    EXPECT_EQ(lib.store->revision(), 1);
    EXPECT_TRUE(lib.store->hasLoaded());
}

TEST(StoreOpening, AnIndexThatCannotBeOpenedIsAnError) {
    fixtures::TempDir dir;
    fs::create_directories(dir / ".vintrelle/library.sqlite");  // a folder where the file should be
    EXPECT_THROW(LibraryStore::init(dir.path()), DBError);
}

// A library folder that is not there, or goes while the library opens (its
// drive pulled, the mount point left empty), is its drive being away:
// nothing is made for it, at its path or in the user's data folder.
TEST(StoreOpening, AFolderThatIsNotThereIsAwayAndNothingIsMade) {
    fixtures::TempDir dir;
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    EXPECT_THROW(LibraryStore::init(dir / "Drive/Photos"), LibraryAway);
    EXPECT_FALSE(fs::exists(dir / "Drive"));
    fs::create_directories(dir / "Drive/Photos");
    const auto pulled = [&](const std::string&) {
        fs::rename(dir / "Drive", dir / "pulled");
        fs::create_directory(dir / "Drive");
        return true;
    };
    EXPECT_THROW(LibraryStore::init(dir / "Drive/Photos", pulled), LibraryAway);
    EXPECT_TRUE(fs::is_empty(dir / "Drive"));
    EXPECT_FALSE(fs::exists(dir / "data"));
    unsetenv("XDG_DATA_HOME");
}

// An index file SQLite could only read (made immutable, which even root
// cannot write past, or read-only for anyone else) is refused: a run would
// otherwise add nothing and look like success.
TEST(StoreOpening, AnIndexThatCannotBeWrittenIsAnError) {
    fixtures::TempDir dir;
    LibraryStore::init(dir.path())->shutdown();
    const std::string index = dir / ".vintrelle/library.sqlite";
    const bool immutable = setImmutable(index, true);
    if (!immutable) {
        if (::geteuid() == 0) GTEST_SKIP() << "this file system has no immutable files";
        fs::permissions(index, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    std::string error;
    try {
        LibraryStore::init(dir.path());
    } catch (const DBError& e) {
        error = e.message;
    }
    if (immutable) setImmutable(index, false);
    EXPECT_EQ(error, "Could not open database: attempt to write a readonly database");
}

// One process at a time: a second opener (another process, or a second
// open of the same library; both are separate lock holders) is refused
// before it writes anything, and opens once the first has closed.
TEST(StoreOpening, ALibraryOpenElsewhereIsRefused) {
    Library lib;
    lib.add({makeAsset(1, "a.jpg", 100)});
    lib.store->start(false);
    const std::string index = lib.store->paths().databasePath();
    const auto written = fs::last_write_time(index);
    try {
        LibraryStore::init(lib.dir.path());
        ADD_FAILURE() << "opened twice";
    } catch (const DBError& e) {
        EXPECT_EQ(e.message, LibraryLock::heldElsewhere);
    }
    EXPECT_EQ(fs::last_write_time(index), written);
    lib.store->shutdown();
    auto again = LibraryStore::init(lib.dir.path());
    again->start(false);
    EXPECT_EQ(again->assets().size(), 1u);
    again->shutdown();
}

TEST(StoreClosing, ShutdownTwiceIsHarmless) {
    Library lib;
    lib.add({makeAsset(1, "a.jpg", 100)});
    lib.store->start(false);
    lib.store->shutdown();
    lib.store->shutdown();
    EXPECT_FALSE(lib.db().db().isOpen());
    EXPECT_EQ(lib.store->thumbs()->count(), 0);
    EXPECT_EQ(lib.store->assets().size(), 1u);  // the lists keep their last values
}

// ---- engine reports ----------------------------------------------------------

struct Started : Library {
    Started() {
        add({makeAsset(1, "a/1.jpg", 100), makeAsset(2, "a/2.jpg", 200), makeAsset(3, "b/3.jpg", 300)});
        store->start(false);
    }
};

// Replacing and re-sorting is checked against a model below; here, what an
// observer sees: one revision per change, with the index already current.
TEST(StoreReports, AnUpsertRaisesTheRevisionOnceWithTheIndexCurrent) {
    Started lib;
    const int rev = lib.store->revision();
    std::vector<size_t> seen;
    QObject context;
    QObject::connect(lib.store.get(), &LibraryStore::assetsChanged, &context, [&] {
        for (const Asset& a : lib.store->assets()) seen.push_back(lib.store->asset(a.id) ? 1 : 0);
    });
    Asset moved = makeAsset(1, "a/1.jpg", 250);
    lib.store->engineDidUpsert({moved, makeAsset(7, "c/7.jpg", 50)});
    EXPECT_EQ(ids(lib.store->assets()), (std::vector<int64_t>{3, 1, 2, 7}));
    EXPECT_EQ(seen, (std::vector<size_t>{1, 1, 1, 1}));
    EXPECT_EQ(lib.store->revision(), rev + 1);

    SignalLog log(*lib.store);
    lib.store->engineDidUpsert({});
    EXPECT_EQ(lib.store->revision(), rev + 1);
    lib.store->engineDidUpsert({moved});  // nothing new: the counter moves, the list signal stays quiet
    EXPECT_EQ(log.names, (std::vector<std::string>{"revision"}));
}

// Batches of new, moved, hidden and repeated records against the plain rule:
// drop the changed ids, append the visible records, sort by store order.
// Every other round a screen holds the list, which must stay as it was.
TEST(StoreReports, UpsertsMatchASortOfTheWholeList) {
    Library lib;
    lib.store->start(false);
    std::mt19937 rng(3);
    std::vector<Asset> model;
    for (int round = 0; round < 60; ++round) {
        std::vector<Asset> batch;
        const int n = int(rng() % 12) + 1;
        for (int i = 0; i < n; ++i) {
            Asset a = makeAsset(int64_t(rng() % 40) + 1, "p", double(rng() % 15));
            if (std::any_of(batch.begin(), batch.end(), [&](const Asset& b) { return b.id == a.id; })) continue;
            a.hidden = rng() % 5 == 0;
            batch.push_back(a);
        }
        if (round % 7 == 3 && !model.empty()) batch = {model[rng() % model.size()]};  // unchanged record
        std::erase_if(model, [&](const Asset& m) {
            return std::any_of(batch.begin(), batch.end(), [&](const Asset& b) { return b.id == m.id; });
        });
        for (const Asset& a : batch)
            if (!a.hidden) model.push_back(a);
        std::stable_sort(model.begin(), model.end(), [](const Asset& a, const Asset& b) {
            return a.taken > b.taken || (a.taken == b.taken && a.id > b.id);
        });
        auto change = [&](const std::function<void()>& apply) {
            std::shared_ptr<const AssetList> held;
            if (round % 2 == 0) held = lib.store->sharedAssets();
            const std::vector<Asset> before = lib.store->assets().toVector();
            apply();
            if (held) {
                ASSERT_EQ(*held, before) << "round " << round;
            }
        };
        change([&] { lib.store->engineDidUpsert(batch); });
        if (round % 5 == 4) {
            const int64_t gone = int64_t(rng() % 40) + 1;
            std::erase_if(model, [&](const Asset& m) { return m.id == gone; });
            change([&] { lib.store->engineDidRemove({gone}); });
        }
        ASSERT_EQ(ids(lib.store->assets()), ids(model)) << "round " << round;
        for (const Asset& a : model) ASSERT_EQ(lib.store->asset(a.id)->taken, a.taken);
        for (int64_t id = 1; id <= 40; ++id)
            EXPECT_EQ(lib.store->asset(id).has_value(),
                      std::any_of(model.begin(), model.end(), [&](const Asset& m) { return m.id == id; }));
    }
}

// Imports, edits, favourites and removals in random batches over a library
// of a few thousand assets in nested folders and many months: the folder
// tree, the month sections and the counts the store keeps batch by batch
// must equal what a full pass over the list gives, and every list a reader
// held (one of them read on another thread meanwhile) must read as it did.
TEST(StoreReports, KeptViewsMatchAFullRebuildAndHeldListsStand) {
    Library lib;
    lib.store->start(false);
    std::mt19937 rng(29);
    const char* const folders[] = {"2019/Rome", "2019/Rome/Day 2", "2019/rome", "2020", "2020/img10", "2020/img2",
                                   "Travel/Italy/Rome", "a//b", ""};
    auto record = [&](int64_t id) {
        const std::string folder = folders[rng() % std::size(folders)];
        Asset a = makeAsset(id, (folder.empty() ? "" : folder + "/") + "IMG_" + std::to_string(id) + ".JPG",
                            1.5e9 + double(rng() % 1000) * 86400.0 / 3);
        a.kind = rng() % 6 == 0 ? MediaKind::video : MediaKind::photo;
        a.favorite = rng() % 5 == 0;
        a.hidden = rng() % 40 == 0;
        return a;
    };
    std::vector<std::pair<std::shared_ptr<const AssetList>, std::vector<Asset>>> held;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> sum{-1};
    std::thread reader;
    int64_t next = 1;
    for (int round = 0; round < 80; ++round) {
        std::vector<Asset> batch;
        const int n = int(rng() % 100) + 1;
        const size_t listed = lib.store->assets().size();
        for (int i = 0; i < n; ++i) {
            if (listed > 0 && rng() % 3 == 0) {
                Asset a = record(lib.store->assets()[rng() % listed].id);  // edited, moved or hidden
                batch.push_back(a);
            } else {
                batch.push_back(record(next++));
            }
        }
        lib.store->engineDidUpsert(batch);
        if (round % 4 == 1 && listed > 0) {
            std::vector<int64_t> gone;
            for (int i = 0; i < 30; ++i) gone.push_back(lib.store->assets()[rng() % lib.store->assets().size()].id);
            lib.store->engineDidRemove(gone);
        }
        if (round % 4 == 2 && listed > 0) {
            std::vector<int64_t> flip;
            for (int i = 0; i < 20; ++i) flip.push_back(lib.store->assets()[rng() % lib.store->assets().size()].id);
            lib.store->setFavorite(flip, round % 8 == 2);
        }
        const AssetList& now = lib.store->assets();
        ASSERT_EQ(lib.store->folderTree(), FolderTree::build(now)) << "round " << round;
        ASSERT_EQ(lib.store->monthSections(), lib.store->sectionRuns(now, Grouping::month)) << "round " << round;
        int favourites = 0, photos = 0;
        for (const Asset& a : now) {
            favourites += a.favorite ? 1 : 0;
            photos += a.kind == MediaKind::photo ? 1 : 0;
        }
        ASSERT_EQ(lib.store->favoriteCount(), favourites);
        ASSERT_EQ(lib.store->photoCount(), photos);
        ASSERT_TRUE(std::is_sorted(now.begin(), now.end(), [](const Asset& a, const Asset& b) {
            return a.taken > b.taken || (a.taken == b.taken && a.id > b.id);
        }));
        if (round % 10 == 5) held.emplace_back(lib.store->sharedAssets(), now.toVector());
        if (round == 5) {
            reader = std::thread([&, list = held.front().first] {
                while (!stop) {
                    int64_t s = 0;
                    for (const Asset& a : *list) s += a.id;
                    sum = s;
                }
            });
        }
    }
    while (sum.load() < 0) std::this_thread::yield();
    stop = true;
    reader.join();
    int64_t firstSum = 0;
    for (const Asset& a : held.front().second) firstSum += a.id;
    EXPECT_EQ(sum.load(), firstSum);
    for (const auto& [list, copy] : held) EXPECT_TRUE(*list == copy);
    EXPECT_GT(lib.store->assets().size(), 1500u);
}

TEST(StoreReports, UpsertKeepsThePathBytesOnDisk) {
    // A folder renamed from the composed to the decomposed spelling of one
    // name is another folder on Linux: the store must take the new bytes, or
    // every open of the file fails.
    Library lib;
    lib.add({makeAsset(1, "Caf\u00e9/a.jpg", 100)});
    lib.store->start(false);
    Asset moved = *lib.store->asset(1);
    moved.path = "Cafe\u0301/a.jpg";
    lib.store->engineDidUpsert({moved});
    EXPECT_EQ(lib.store->asset(1)->path, "Cafe\u0301/a.jpg");
    EXPECT_EQ(lib.store->folderTree()[0].path, "Cafe\u0301");

    moved.liveVideo = "Caf\u00e9/a.mov";
    lib.store->engineDidUpsert({moved});
    moved.liveVideo = "Cafe\u0301/a.mov";
    lib.store->engineDidUpsert({moved});
    EXPECT_EQ(lib.store->asset(1)->liveVideo, "Cafe\u0301/a.mov");
}

TEST(StoreReports, UpsertOfAHiddenAssetRemovesItAndItsThumbnail) {
    Started lib;
    const std::string thumb = lib.store->paths().thumbURL(2);
    QImage img(8, 8, QImage::Format_RGB32);
    img.fill(Qt::red);
    ASSERT_TRUE(img.save(QString::fromStdString(thumb), "JPG"));
    ASSERT_TRUE(lib.store->thumbs()->load(thumb).result().width() == 8);
    ASSERT_TRUE(lib.store->thumbs()->cached(thumb));

    Asset hidden = makeAsset(2, "a/2.jpg", 200);
    hidden.hidden = true;
    lib.store->engineDidUpsert({hidden});
    EXPECT_EQ(ids(lib.store->assets()), (std::vector<int64_t>{3, 1}));
    EXPECT_FALSE(lib.store->asset(2));
    EXPECT_FALSE(lib.store->thumbs()->cached(thumb));
}

TEST(StoreReports, RemovalStripsIdsFromAlbums) {
    Started lib;
    const int64_t album = lib.store->createAlbum("Trip", {3, 1, 2});
    const int collections = lib.store->collectionsRevision();
    lib.store->engineDidRemove({1, 99});
    EXPECT_EQ(ids(lib.store->assets()), (std::vector<int64_t>{3, 2}));
    EXPECT_EQ(lib.store->album(album)->assetIDs, (std::vector<int64_t>{3, 2}));
    EXPECT_EQ(*lib.store->asset(2), lib.store->assets()[1]);
    EXPECT_EQ(lib.store->collectionsRevision(), collections);
}

TEST(StoreReports, StatusAndOffline) {
    Started lib;
    SignalLog log(*lib.store);
    lib.store->engineDidChangeStatus(EngineStatus::idle());
    EXPECT_TRUE(log.names.empty());

    lib.store->engineDidGoOffline();
    lib.store->engineDidChangeStatus(EngineStatus::idle());
    EXPECT_TRUE(lib.store->isOffline());

    lib.store->engineDidChangeStatus(EngineStatus::indexing(1, 5));
    lib.store->engineDidChangeStatus(EngineStatus::indexing(1, 5));
    EXPECT_FALSE(lib.store->isOffline());
    EXPECT_EQ(log.names, (std::vector<std::string>{"offline", "status", "offline"}));

    lib.store->engineDidGoOffline();
    EXPECT_EQ(lib.store->status(), EngineStatus::idle());
    lib.store->rescan();
    EXPECT_FALSE(lib.store->isOffline());
}

TEST(StoreReports, ResetPeopleEmptiesThePeople) {
    Started lib;
    insertPerson(lib.db(), 5, "Anna");
    insertFace(lib.db(), 1, 5);
    lib.store->reloadPeople();
    ASSERT_EQ(lib.store->persons().size(), 1u);
    lib.store->resetPeople();
    EXPECT_TRUE(lib.store->persons().empty());
    EXPECT_EQ(countRows(lib.db(), "faces"), 0);
    EXPECT_TRUE(fs::is_directory(lib.store->paths().dataDir + "/faces/7f"));
}

}  // namespace
