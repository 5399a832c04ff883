// Opening a library whose index cannot be used: the message is a sentence a
// person can act on (never the statement that failed), a failed open changes
// nothing, and a damaged index is offered for making again, which keeps the
// damaged file and the user's favourites and albums, says what it could not
// keep, and leaves the library whole however the process ends meanwhile.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "AppFixture.h"
#include "Core/Index/IndexRepair.h"
#include "Core/Index/LibraryLock.h"
#include "Core/Index/MarksKeeper.h"
#include "Core/Media/MediaProcessor.h"
#include "fixtures/ChildProcess.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TreeChecksum.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;

struct Folder {
    fixtures::TempDir dir;
    std::string root = dir / "Lib";
    std::string index = root + "/.vintrelle/library.sqlite";
    std::string copy = root + "/.vintrelle/library.marks";
    explicit Folder(const std::string& name = "IMG_") {
        fs::create_directories(root + "/.vintrelle");
        for (int i = 0; i < 3; ++i)
            fixtures::makeJPEG(root + "/" + name + std::to_string(i) + ".jpg", 64, 48, {uint8_t(60 * i), 80, 120});
    }
};

bool indexed(AppModel& m, size_t count) {
    return spinUntil(
        [&] {
            return m.store() && m.store()->assets().size() == count && m.store()->status() == EngineStatus::idle() &&
                   !m.store()->engine()->isRunning();
        },
        60'000);
}

// Asks for the rebuild the alert offers, and waits for it to end.
void rebuild(AppModel& m, const std::string& root) {
    m.rebuildIndex(root);
    ASSERT_TRUE(m.rebuilding()) << "made again on the main thread";
    ASSERT_TRUE(spinUntil([&] { return !m.rebuilding(); }));
}

// Opens the library, lets it read its photos and marks them as a user does
// (the second a favourite, the third and the first in an album, in that
// order), and closes it: the photos as the window showed them.
std::vector<Asset> markedLibrary(const std::string& root, const std::string& album = "Best") {
    Model m;
    m->openLibrary(root);
    if (!indexed(*m, 3)) return {};
    std::vector<Asset> shown = m->store()->assets().toVector();
    m->store()->setFavorite({shown[1].id}, true);
    m->store()->createAlbum(album, {shown[2].id, shown[0].id});
    return shown;
}

// The library holds the marks markedLibrary() made, by path, and no other.
void expectMarked(LibraryStore& store, const std::vector<Asset>& shown) {
    std::vector<std::string> favourites, album;
    for (const Asset& a : store.assets())
        if (a.favorite) favourites.push_back(a.path);
    EXPECT_EQ(favourites, std::vector<std::string>{shown[1].path});
    ASSERT_EQ(store.albums().size(), 1u);
    EXPECT_EQ(store.albums()[0].name, "Best");
    for (int64_t id : store.albums()[0].assetIDs) album.push_back(store.asset(id).value_or(Asset{}).path);
    EXPECT_EQ(album, (std::vector<std::string>{shown[2].path, shown[0].path}));
}

// Spoils a page of photo rows the library no longer shows: enough rows (of
// photos long gone) for the damage to miss the real ones.
void damageBeyondThePhotos(const std::string& index) {
    {
        LibraryDB db(index);
        db.db().transaction([&] {
            for (int i = 0; i < 600; ++i)
                db.db().run("INSERT INTO assets(path, kind, size, mtime, meta_done, thumb) VALUES(?,0,1,1,1,1)",
                            {"old/a folder that was deleted long ago/IMG_" + std::to_string(i) + ".JPG"});
        });
    }
    const auto leaves = fixtures::leafPages(index, "assets");
    fixtures::spoilPage(index, leaves[leaves.size() / 2]);
}

// The copy of the marks has followed every change made so far.
void copied(AppModel& m) { ASSERT_TRUE(m.store()->marksKeeper().waitIdle(std::chrono::milliseconds(fixtures::patientMs))); }

struct DamagedIndex : ::testing::Test {
    static void SetUpTestSuite() { MediaProcessor::initialize(); }
};

}  // namespace

TEST_F(DamagedIndex, AFailedOpenSaysWhyInWordsAndChangesNothing) {
    struct Row {
        const char* name;
        std::function<void(Folder&)> make;
        std::string reason;
        bool offered;
    } rows[] = {
        {"an index that is no database", [](Folder& f) { fixtures::writeFile(f.index, std::string(8192, 'Z')); },
         "Its index is damaged or was written by a newer Vintrelle.", true},
        {"a damaged list of tables",
         [](Folder& f) {
             LibraryDB{f.index};
             fixtures::spoilPage(f.index, 1, 100);
         },
         "Its index is damaged or was written by a newer Vintrelle.", true},
        {"a table made by hand without a column of the index",
         [](Folder& f) {
             Database(f.index).exec("CREATE TABLE assets (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                    "path TEXT NOT NULL UNIQUE, kind INTEGER NOT NULL, size INTEGER NOT NULL, "
                                    "mtime REAL NOT NULL)");
         },
         "Its index is damaged or was written by a newer Vintrelle.", true},
        {"a folder in the index's place", [](Folder& f) { fs::create_directories(f.index); },
         "Its index is not a file.", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Folder f;
        row.make(f);
        const uint64_t photos = fixtures::treeChecksum(f.root);
        auto indexState = [&] {
            if (fs::is_directory(f.index)) return std::to_string(fixtures::treeChecksum(f.index));
            return fixtures::readFile(f.index) + std::to_string(fs::last_write_time(f.index).time_since_epoch().count());
        };
        const std::string index = indexState();
        Model m;
        m->openLibrary(f.root);
        EXPECT_FALSE(m->store());
        EXPECT_FALSE(m->libraryPath());
        EXPECT_EQ(m->errorMessage(), "Couldn\u2019t open \u201cLib\u201d. " + row.reason);
        EXPECT_EQ(m->rebuildOffer() == f.root, row.offered);
        EXPECT_EQ(fixtures::treeChecksum(f.root), photos);
        EXPECT_EQ(indexState(), index) << "the index was changed";
    }

    // Held by another process: the same form, with its own sentence.
    Folder f;
    LibraryLock elsewhere(f.root + "/.vintrelle");
    Model m;
    m->openLibrary(f.root);
    EXPECT_EQ(m->errorMessage(), "Couldn\u2019t open \u201cLib\u201d. This library is open in another Vintrelle.");
    EXPECT_FALSE(m->rebuildOffer());
}

TEST_F(DamagedIndex, DamageFoundWhileOpenIsOfferedAndTheRebuildKeepsTheUsersData) {
    Folder f;
    Model m;
    m->openLibrary(f.root);
    ASSERT_TRUE(indexed(*m, 3));
    const std::vector<Asset> shown = m->store()->assets().toVector();
    m->store()->setFavorite({shown[1].id}, true);
    m->store()->createAlbum("Best", {shown[2].id, shown[0].id});
    m->closeStore();
    damageBeyondThePhotos(f.index);
    const std::string damaged = fixtures::readFile(f.index);

    m->setErrorMessage(std::nullopt);
    m->openLibrary(f.root);
    ASSERT_TRUE(m->store());
    ASSERT_TRUE(spinUntil([&] { return m->store()->isDamaged(); }, 60'000)) << "the damage went unnoticed";
    EXPECT_EQ(m->errorMessage(), "The index of \u201cLib\u201d is damaged.");
    EXPECT_EQ(m->rebuildOffer(), f.root);

    rebuild(*m, f.root);
    // The list the window showed was read through the damage, but the copy
    // of the marks, as new as the index, stands for what the damaged page
    // held: nothing is missing, and nothing is said.
    EXPECT_FALSE(m->errorMessage()) << *m->errorMessage();
    EXPECT_FALSE(m->rebuildOffer());
    ASSERT_TRUE(indexed(*m, 3));
    EXPECT_FALSE(m->store()->isDamaged());
    LibraryStore& store = *m->store();
    EXPECT_TRUE(store.asset(shown[1].id).value_or(Asset{}).favorite);
    EXPECT_FALSE(store.asset(shown[0].id).value_or(Asset{}).favorite);
    ASSERT_EQ(store.albums().size(), 1u);
    EXPECT_EQ(store.albums()[0].name, "Best");
    EXPECT_EQ(store.albums()[0].assetIDs, (std::vector<int64_t>{shown[2].id, shown[0].id}));
    int kept = 0;
    for (const auto& e : fs::directory_iterator(f.root + "/.vintrelle")) {
        if (!e.path().filename().string().starts_with("library-damaged-") || e.path().extension() != ".sqlite") continue;
        ++kept;
        EXPECT_EQ(fixtures::readFile(e.path()), damaged);
    }
    EXPECT_EQ(kept, 1);
}

TEST_F(DamagedIndex, WhatTheRebuildCouldNotRecoverIsCountedAgainstWhatTheWindowShowed) {
    Folder f;
    Model m;
    m->openLibrary(f.root);
    ASSERT_TRUE(indexed(*m, 3));
    const std::vector<Asset> shown = m->store()->assets().toVector();
    m->store()->setFavorite({shown[0].id, shown[1].id}, true);
    m->store()->createAlbum("Best", {shown[2].id});
    m->store()->createAlbum("Kept", {});
    ASSERT_TRUE(m->store()->userMade()) << "the lists read whole";
    copied(*m);

    // The photos' only page goes bad under the open library, and the next
    // change meets it: the window shows it made, though it never reached
    // the index, nor its copy.
    fixtures::spoilPage(f.index, fixtures::rootPage(f.index, "assets"));
    fixtures::bumpChangeCounter(f.index);
    m->store()->setFavorite({shown[2].id}, true);
    ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == f.root; }, 60'000)) << "the damage went unnoticed";

    rebuild(*m, f.root);
    EXPECT_FALSE(m->rebuildOffer());
    ASSERT_TRUE(m->errorMessage());
    // The copy brings back the photos' favourites and the album's member:
    // only the favourite that never reached the index is lost.
    EXPECT_TRUE(m->errorMessage()->starts_with(
        "1 favourite could not be recovered; the damaged index is kept as \u201clibrary-damaged-"))
        << *m->errorMessage();
    // The photos themselves are read again, and what did come over stays.
    ASSERT_TRUE(indexed(*m, 3));
    ASSERT_EQ(m->store()->albums().size(), 2u);
    EXPECT_EQ(m->store()->albums()[0].assetIDs.size(), 1u);
    EXPECT_EQ(m->store()->albums()[1].name, "Kept");
    EXPECT_EQ(m->store()->favoriteCount(), 2);

    // What is known is said as it stands: the counts, an album back without
    // some of its photos, what may be missing besides (never what was
    // counted), the damaged file only when there was one, and, plainly,
    // when nothing could be recovered at all.
    struct Said {
        int favourites = 0, albums = 0, names = 0;
        bool uncounted = false, nothingRead = false;
        int incompleteAlbums = 0, missingMembers = 0;
        bool listsCounted = false;
        std::string kept = "/d/library-damaged-1.sqlite";
    };
    auto report = [&](const Said& s) {
        IndexRebuild done;
        done.keptPath = s.kept;
        done.lostFavorites = s.favourites;
        done.lostAlbums = s.albums;
        done.lostNames = s.names;
        done.uncounted = s.uncounted;
        done.nothingRead = s.nothingRead;
        done.incompleteAlbums = s.incompleteAlbums;
        done.missingMembers = s.missingMembers;
        done.listsCounted = s.listsCounted;
        return AppModel::rebuildReport(done).value_or("(nothing)");
    };
    const std::string none = "Nothing could be recovered: the damaged index could not be read, and no copy of its "
                             "favourites, albums, names and trip titles was found. ";
    const std::string keptAs = "\u201clibrary-damaged-1.sqlite\u201d.";
    EXPECT_EQ(report({}), "(nothing)");
    EXPECT_EQ(report({.favourites = 1, .names = 3, .uncounted = true, .listsCounted = true}),
              "1 favourite and 3 names could not be recovered; parts of the damaged index could not be read, so some "
              "hidden people, faces taken out of people or trip titles may be missing too; it is kept as " + keptAs);
    EXPECT_EQ(report({.albums = 2}), "2 albums could not be recovered; the damaged index is kept as " + keptAs);
    EXPECT_EQ(report({.incompleteAlbums = 1, .missingMembers = 3}),
              "1 album came back without 3 of its photos; the damaged index is kept as " + keptAs);
    EXPECT_EQ(report({.albums = 1, .incompleteAlbums = 2, .missingMembers = 5}),
              "1 album could not be recovered; 2 albums came back without 5 of their photos; the damaged index is "
              "kept as " + keptAs);
    EXPECT_EQ(report({.uncounted = true}),
              "Parts of the damaged index could not be read, so some favourites, albums, names or trip titles may "
              "be missing; it is kept as " + keptAs);
    EXPECT_EQ(report({.uncounted = true, .listsCounted = true}),
              "Parts of the damaged index could not be read, so some hidden people, faces taken out of people or "
              "trip titles may be missing; it is kept as " + keptAs);
    EXPECT_EQ(report({.favourites = 2, .kept = ""}), "2 favourites could not be recovered.");
    EXPECT_EQ(report({.uncounted = true, .nothingRead = true}), none + "Any it held are lost; it is kept as " + keptAs);
    EXPECT_EQ(report({.favourites = 74, .albums = 2, .names = 8, .uncounted = true, .nothingRead = true}),
              none + "74 favourites, 2 albums and 8 names are lost; the damaged index is kept as " + keptAs);
    EXPECT_EQ(report({.albums = 1, .nothingRead = true}),
              none + "1 album is lost; the damaged index is kept as " + keptAs);
}

// Lists read again after the damage showed (an album renamed, people
// reported) may come back empty from the damaged index: they are no longer
// what the window showed, and nothing is counted against them. The copy of
// the marks brings the albums back; without it, their loss is not passed
// over in silence.
TEST_F(DamagedIndex, ListsReadAgainThroughTheDamageAreNeverCountedAsWhole) {
    for (const bool withCopy : {true, false}) {
        SCOPED_TRACE(withCopy ? "with the copy" : "without it");
        Folder f;
        Model m;
        m->openLibrary(f.root);
        ASSERT_TRUE(indexed(*m, 3));
        const std::vector<Asset> shown = m->store()->assets().toVector();
        m->store()->createAlbum("Best", {shown[0].id});
        m->store()->createAlbum("Kept", {shown[1].id});
        ASSERT_EQ(m->store()->albums().size(), 2u);
        copied(*m);

        fixtures::spoilPage(f.index, fixtures::rootPage(f.index, "albums"));
        fixtures::bumpChangeCounter(f.index);
        m->store()->renameAlbum(m->store()->albums()[0].id, "Better");
        ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == f.root; }, 60'000)) << "the damage went unnoticed";
        m->store()->renameAlbum(m->store()->albums().empty() ? 0 : m->store()->albums()[0].id, "Best");
        EXPECT_FALSE(m->store()->userMade());
        if (!withCopy) fs::remove(f.root + "/.vintrelle/library.marks");

        rebuild(*m, f.root);
        if (withCopy) {
            EXPECT_FALSE(m->errorMessage()) << *m->errorMessage();
            ASSERT_TRUE(indexed(*m, 3));
            ASSERT_EQ(m->store()->albums().size(), 2u);
            EXPECT_EQ(m->store()->albums()[0].name, "Best");
            EXPECT_EQ(m->store()->albums()[1].assetIDs, std::vector<int64_t>{shown[1].id});
            continue;
        }
        ASSERT_TRUE(m->errorMessage()) << "albums lost, and nothing said";
        EXPECT_TRUE(m->errorMessage()->starts_with("2 albums could not be recovered; parts of the damaged index could "
                                                   "not be read, so some favourites, albums, names or trip titles "
                                                   "may be missing too"))
            << *m->errorMessage();
    }
}

// A file system can leave an index of no bytes after a power cut, and
// something else may take its place (a folder): neither is taken for a new
// library's, and the marks come back from the copy. A folder is kept aside
// as a damaged index is.
TEST_F(DamagedIndex, AnEmptiedIndexOrAFolderInItsPlaceIsOfferedAndTheMarksComeBackFromTheCopy) {
    struct Case {
        const char* name;
        std::function<void(const std::string& index)> spoil;
        std::string reason;
    } cases[] = {
        {"emptied", [](const std::string& index) { fs::resize_file(index, 0); },
         "Its index is empty, as a power cut can leave it."},
        {"a folder in its place",
         [](const std::string& index) {
             fs::remove(index);
             fs::create_directories(index + "/inside");
         },
         "Its index is not a file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder f;
        const std::vector<Asset> shown = markedLibrary(f.root);
        ASSERT_EQ(shown.size(), 3u);
        c.spoil(f.index);
        const bool folder = fs::is_directory(f.index);

        Model m;
        m->openLibrary(f.root);
        EXPECT_FALSE(m->store());
        EXPECT_EQ(m->errorMessage(), "Couldn\u2019t open \u201cLib\u201d. " + c.reason);
        EXPECT_EQ(m->rebuildOffer(), f.root);
        EXPECT_TRUE(folder ? fs::is_directory(f.index) : fs::file_size(f.index) == 0) << "the index was made anew";

        rebuild(*m, f.root);
        EXPECT_FALSE(m->errorMessage()) << *m->errorMessage();
        ASSERT_TRUE(indexed(*m, 3));
        expectMarked(*m->store(), shown);
        if (folder) {
            int kept = 0;
            for (const auto& e : fs::directory_iterator(f.root + "/.vintrelle"))
                kept += e.path().filename().string().starts_with("library-damaged-") && fs::is_directory(e.path() / "inside");
            EXPECT_EQ(kept, 1) << "the folder was not kept aside";
        }
    }
}

// The rebuild runs on a thread of its own: the window goes on meanwhile,
// and opening another library stops it, leaving the damaged index as it was.
TEST_F(DamagedIndex, OpeningAnotherLibraryStopsTheRebuildAndChangesNothing) {
    Folder f, other;
    {
        Model m;
        m->openLibrary(f.root);
        ASSERT_TRUE(indexed(*m, 3));
    }
    fixtures::spoilBytes(f.index, 0, 100);
    const std::string damaged = fixtures::readFile(f.index);

    // The rebuild waits at its first rows until it is asked to stop.
    struct Hold {
        std::mutex mutex;
        std::condition_variable cv;
        bool stopAsked = false;
        std::atomic<bool> carrying{false};
        Hold() {
            setRebuildStepHook([this](std::string_view step) {
                std::unique_lock lock(mutex);
                if (step == "stop asked") {
                    stopAsked = true;
                    cv.notify_all();
                } else if (step.starts_with("carrying") && !carrying.exchange(true)) {
                    cv.wait(lock, [&] { return stopAsked; });
                }
            });
        }
        ~Hold() { setRebuildStepHook({}); }
    } hold;
    std::atomic<bool>& carrying = hold.carrying;
    Model m;
    m->openLibrary(f.root);
    ASSERT_EQ(m->rebuildOffer(), f.root);
    m->rebuildIndex(f.root);
    EXPECT_EQ(m->libraryPath(), f.root);
    EXPECT_FALSE(m->store());
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(1);
    ASSERT_TRUE(spinUntil([&] { return carrying && ticks > 3; })) << "the main thread waited for the rebuild";
    // Chosen again while it is made: it opens when that is done.
    m->openLibrary(f.root);
    EXPECT_TRUE(m->rebuilding());

    m->openLibrary(other.root);
    EXPECT_FALSE(m->rebuilding());
    ASSERT_TRUE(indexed(*m, 3));
    EXPECT_EQ(m->libraryPath(), other.root);
    EXPECT_EQ(fixtures::readFile(f.index), damaged);
    for (const auto& e : fs::directory_iterator(f.root + "/.vintrelle")) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(name.starts_with("library-rebuilding") || name.starts_with("library-damaged-")) << name;
    }
    // Nothing of it comes later: the library shown stays the one chosen.
    QCoreApplication::processEvents();
    EXPECT_FALSE(m->errorMessage());
    EXPECT_EQ(m->libraryPath(), other.root);
}

namespace {

const char* const kChildLibrary = "VINTRELLE_REBUILD_LIBRARY";
const char* const kChildKillAt = "VINTRELLE_REBUILD_KILL_AT";

std::vector<fs::path> keptCopies(const std::string& dataDir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dataDir))
        if (e.path().filename().string().starts_with("library-damaged-") && e.path().extension() == ".sqlite")
            out.push_back(e.path());
    return out;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    struct stat x {}, y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

// The child: makes the library's index again, and is killed at one step.
TEST_F(DamagedIndex, RebuildChild) {
    const char* root = std::getenv(kChildLibrary);
    const char* at = std::getenv(kChildKillAt);
    if (!root || !at) GTEST_SKIP() << "runs only as a child of the test below";
    setRebuildStepHook([stop = std::string(at)](std::string_view step) {
        if (step == stop) ::raise(SIGKILL);
    });
    vintrelle::rebuildIndex(LibraryPaths::resolve(root));
    ADD_FAILURE() << "never reached " << at;
}

TEST_F(DamagedIndex, ARebuildKilledAtAnyStepEndsInTheOfferOrTheWholeResult) {
    Folder f;
    const std::vector<Asset> shown = markedLibrary(f.root);
    ASSERT_EQ(shown.size(), 3u);
    fixtures::spoilBytes(f.index, 0, 100);
    const std::string damaged = fixtures::readFile(f.index);

    const std::string data = f.root + "/.vintrelle";
    const char* const steps[] = {"carrying assets", "carrying album_assets", "built", "kept", "journal kept", "placed"};
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        // Each kill starts from the same damaged index, with a journal it
        // left, which must go with it, and no copy kept before.
        for (const fs::path& kept : keptCopies(data)) fs::remove(kept);
        fixtures::writeFile(f.index, damaged);
        fixtures::writeFile(f.index + "-journal", "");

        const std::string log = f.dir / "child.log";
        const pid_t child = fixtures::spawnTestChild(
            "DamagedIndex.RebuildChild", {std::string(kChildLibrary) + "=" + f.root, std::string(kChildKillAt) + "=" + step},
            log);
        ASSERT_GT(child, 0);
        const int status = fixtures::waitForChild(child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << fixtures::readFile(log);

        Model m;
        m->openLibrary(f.root);
        // Once open, no kept name is the index's own file: what is written
        // into the index never changes the kept copy.
        for (const fs::path& kept : keptCopies(data)) EXPECT_FALSE(sameFile(kept, f.index)) << kept;
        if (std::string_view(step) != "placed") {
            // Cut short: the damaged index is as it was, and offered again.
            EXPECT_EQ(fixtures::readFile(f.index), damaged);
            EXPECT_TRUE(fs::exists(f.index + "-journal")) << "its journal was not given back";
            EXPECT_EQ(m->rebuildOffer(), f.root);
            rebuild(*m, f.root);
            EXPECT_FALSE(m->errorMessage()) << m->errorMessage().value_or("");
        }
        ASSERT_TRUE(indexed(*m, 3));
        LibraryStore& store = *m->store();
        EXPECT_TRUE(store.asset(shown[1].id).value_or(Asset{}).favorite);
        ASSERT_EQ(store.albums().size(), 1u);
        EXPECT_EQ(store.albums()[0].assetIDs, (std::vector<int64_t>{shown[2].id, shown[0].id}));
        for (const auto& e : fs::directory_iterator(data)) {
            const std::string name = e.path().filename().string();
            EXPECT_FALSE(name.starts_with("library-rebuilding")) << "left behind: " << name;
        }
        // One kept copy, the damaged file as it was, apart from the index.
        const std::vector<fs::path> kept = keptCopies(data);
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(fixtures::readFile(kept[0]), damaged);
        EXPECT_FALSE(sameFile(kept[0], f.index));
        EXPECT_TRUE(fs::exists(kept[0].string() + "-journal")) << "the damaged file's journal did not go with it";
    }
}

// Another library's index copied into this one's place: the window offers
// to make the index again, which brings back this library's favourites and
// albums from its copy, and none of the other's.
TEST_F(DamagedIndex, AnotherLibrarysIndexInItsPlaceIsMadeAgainFromTheCopy) {
    Folder mine, theirs("DSC_");
    const std::vector<Asset> shown = markedLibrary(mine.root);
    ASSERT_EQ(shown.size(), 3u);
    // Theirs the newer: the stamps alone would take it for ours.
    ASSERT_EQ(markedLibrary(theirs.root, "Theirs").size(), 3u);
    fs::copy_file(theirs.index, mine.index, fs::copy_options::overwrite_existing);

    Model m;
    m->openLibrary(mine.root);
    ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == mine.root; }, 60'000)) << "another library's index was taken";
    rebuild(*m, mine.root);
    ASSERT_TRUE(indexed(*m, 3));
    expectMarked(*m->store(), shown);
}

// Once the offer to make a damaged index again is turned down, the library
// is only read: a change is refused, and the offer comes back, saying why.
TEST_F(DamagedIndex, ADamagedIndexTakesNoChangeTillItIsMadeAgain) {
    Folder f;
    const std::vector<Asset> shown = markedLibrary(f.root);
    ASSERT_EQ(shown.size(), 3u);
    damageBeyondThePhotos(f.index);

    Model m;
    m->openLibrary(f.root);
    ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == f.root; }, 60'000)) << "the damage went unnoticed";
    m->setErrorMessage(std::nullopt);
    LibraryStore& store = *m->store();
    store.setFavorite({shown[1].id}, false);
    // Its row lies before the damage, where a lookup by id still finds it.
    EXPECT_EQ(store.db().db().scalarInt("SELECT favorite FROM assets WHERE id=?", {shown[1].id}), 1)
        << "a change went into the damaged index";
    EXPECT_EQ(store.createAlbum("New", {shown[0].id}), 0);
    EXPECT_EQ(store.db().db().scalarInt("SELECT COUNT(*) FROM albums"), 1);
    EXPECT_EQ(m->errorMessage(), "The index of \u201cLib\u201d is damaged: nothing can be changed until it is made again.");
    EXPECT_EQ(m->rebuildOffer(), f.root);

    rebuild(*m, f.root);
    ASSERT_TRUE(indexed(*m, 3));
    EXPECT_TRUE(m->store()->asset(shown[1].id).value_or(Asset{}).favorite) << "what the window showed";
}

// The index gone, and in the copy's place a pipe (which once hung the
// window), or a later Vintrelle's copy: the window never waits on it, and
// never opens the library as new when the copy may hold its marks.
TEST_F(DamagedIndex, AMissingIndexBesideACopyItCannotUseNeverOpensAsNew) {
    Folder f;
    ASSERT_EQ(markedLibrary(f.root).size(), 3u);
    const std::string copy = fixtures::readFile(f.copy);
    fs::remove(f.index);
    fs::remove(f.copy);
    ASSERT_EQ(::mkfifo(f.copy.c_str(), 0644), 0);
    // Lets a reader stuck on the pipe go, so that the test ends and says so.
    std::atomic<bool> opened{false}, stuck{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 600 && !opened; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!opened) {
            stuck = true;
            const int fd = ::open(f.copy.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
    });
    {
        Model m;
        m->openLibrary(f.root);
        opened = true;
        watchdog.join();
        EXPECT_FALSE(stuck) << "the window waited on a pipe in the copy's place";
        ASSERT_TRUE(m->store()) << m->errorMessage().value_or("");
        ASSERT_TRUE(spinUntil([&] { return m->store()->copyFault() == MarksKeeper::Fault::notAFile; }))
            << "the footer would say \u201cUp to date\u201d";
    }

    const std::string later = fixtures::asLaterFormat(copy);
    fs::remove(f.index);
    fs::remove(f.copy);
    fixtures::writeFile(f.copy, later);
    Model m;
    m->openLibrary(f.root);
    EXPECT_FALSE(m->store());
    EXPECT_EQ(m->rebuildOffer(), f.root);
    rebuild(*m, f.root);
    EXPECT_FALSE(m->store());
    EXPECT_EQ(m->errorMessage(), "Couldn\u2019t make the index of \u201cLib\u201d again. Its index is missing, and the "
                                 "copy of its favourites and albums was written by a newer Vintrelle.");
    EXPECT_FALSE(fs::exists(f.index)) << "the library was made anew";
    EXPECT_EQ(fixtures::readFile(f.copy), later);
}
