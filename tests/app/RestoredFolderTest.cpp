// A library folder deleted and put back from a backup (its data folder and
// index inside) while the window is open: nothing is indexed into the index
// that went with it, nothing is opened or made while the copy is under way,
// whatever asks for the library meanwhile, and the library opens again by
// itself on the index put back, with the favourite and the album it holds;
// put back without its index, it opens on a new one once the copy is done.
// Its data folder or index alone deleted, emptied or replaced under the
// window: noticed within seconds, the index deleted written back with what
// the user marked meanwhile, and nothing else taken for the library's.
// Real stores, engines and folder watchers over temporary folders.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>

#include <filesystem>
#include <fstream>

#include "App/FolderReturn.h"
#include "App/MountWatcher.h"
#include "AppFixture.h"
#include "Core/Engine/FolderWatcher.h"
#include "Core/Index/MarksCopy.h"
#include "Core/Index/MarksKeeper.h"
#include "UI/Window/StatusFooter.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/TreeChecksum.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;

// What of a folder a copy takes: as `cp -a` copies it, in two goes.
enum class Part { photos, dataFolder, all };

void copyFolder(const std::string& from, const std::string& to, Part part = Part::all) {
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(from)) {
        const bool data = e.path().filename() == LibraryPaths::kDataFolderName;
        if ((part == Part::photos && data) || (part == Part::dataFolder && !data)) continue;
        fs::copy(e.path(), fs::path(to) / e.path().filename(), fs::copy_options::recursive);
    }
}

// Deletes a folder as `rm -rf` does, again while the open library's engine
// still makes files in it.
void removeFolder(const std::string& path) {
    std::error_code ec;
    while (fs::exists(path)) fs::remove_all(path, ec);
}

// A copy still under way for `ms` (longer than the watch waits for stillness):
// a large video being written, deep in a folder of the library, a little at a
// time, while the window goes on.
void copyingFor(const std::string& video, int ms) {
    fs::create_directories(fs::path(video).parent_path());
    std::ofstream out(video, std::ios::binary | std::ios::app);
    QElapsedTimer total, sinceWrite;
    total.start();
    sinceWrite.start();
    spinUntil([&] {
        if (sinceWrite.elapsed() >= 50) {
            out << std::string(4096, 'v') << std::flush;
            sinceWrite.restart();
        }
        return total.elapsed() >= ms;
    });
}

void activate() {
    auto* app = static_cast<QGuiApplication*>(QCoreApplication::instance());
    emit app->applicationStateChanged(Qt::ApplicationActive);
}

// A library of three photos open in a window, with a favourite and an album,
// and a backup of it taken with its data folder.
class RestoredFolder : public ::testing::Test {
protected:
    fixtures::TempDir tmp;
    const std::string library = tmp / "Photos", backup = tmp / "Backup";
    Settings settings;
    std::unique_ptr<AppModel> m;

    void SetUp() override {
        for (const char* photo : {"2019/a.jpg", "2019/b.jpg", "2020/c.jpg"}) {
            const std::string path = library + "/" + photo;
            fs::create_directories(fs::path(path).parent_path());
            ASSERT_TRUE(fixtures::makeJPEG(path, 160, 120));
        }
        fixtures::writeFile(tmp / "mountinfo", "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n");
        settings.open()->setValue("facesEnabled", false);
        start();
        m->addLibrary(library);
        ASSERT_TRUE(m->store());
        ASSERT_TRUE(spinUntil([&] {
            return m->store()->assets().size() == 3 && m->store()->status() == EngineStatus::idle();
        }));
        std::vector<int64_t> ids;
        for (size_t i = 0; i < 3; ++i) ids.push_back(m->store()->assets()[i].id);
        m->store()->setFavorite({ids[0]}, true);
        m->store()->createAlbum("Summer", {ids[1], ids[2]});
        copyFolder(library, backup);
    }
    void TearDown() override { m->closeStore(); }

    // The window, as it starts.
    void start() {
        m = std::make_unique<AppModel>(settings.open());
        AppModel::Desktop desktop;
        desktop.mountInfoPath = QString::fromStdString(tmp / "mountinfo");
        desktop.fstabPath = QString::fromStdString(tmp / "no-fstab");
        desktop.applicationDir = tmp / "app";
        desktop.homeDir = tmp / "home";
        m->setDesktop(std::move(desktop));
        m->bootstrap();
    }

    const std::string dataDir() const { return library + "/.vintrelle"; }
    const std::string index() const { return dataDir() + "/library.sqlite"; }

    // The library opened again on another store than `before`, soon after
    // the change that called for it has settled.
    std::shared_ptr<LibraryStore> reopenedAfter(const std::shared_ptr<LibraryStore>& before) {
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(spinUntil([&] { return m->store() != before; }));
        EXPECT_LT(clock.elapsed(), 10 * FolderWatcher::kDataQuiet.count()) << "not noticed within seconds";
        return m->store();
    }

    // The window closed and opened again, as at the next start.
    void restart() {
        m->closeStore();
        start();
        ASSERT_TRUE(m->store());
        ASSERT_TRUE(spinUntil([&] { return m->store()->assets().size() == 3; }));
    }

    // Deleted while open, and the window brought to the front while it is
    // gone: the window waits for the folder.
    void deleteAndWait() {
        removeFolder(library);
        activate();
        ASSERT_FALSE(m->store());
        ASSERT_EQ(m->waitingForPath(), library);
    }

    // The library open is the one put back: its own index, with what the user made.
    void expectRestored() {
        ASSERT_TRUE(m->store());
        EXPECT_EQ(m->store()->paths().dataDir, library + "/.vintrelle");
        EXPECT_FALSE(m->waitingForPath());
        ASSERT_TRUE(spinUntil([&] { return m->store()->assets().size() == 3; }));
        EXPECT_EQ(m->store()->favoriteCount(), 1);
        ASSERT_EQ(m->store()->albums().size(), 1u);
        EXPECT_EQ(m->store()->albums()[0].assetIDs.size(), 2u);
        EXPECT_FALSE(m->store()->indexDeleted());
        EXPECT_FALSE(m->store()->isOffline());
    }
};

}  // namespace

TEST_F(RestoredFolder, ALibraryDeletedAndPutBackOpensAgainOnTheIndexPutBack) {
    // Deleted: the folder watcher sees it go, and the library is offline on
    // the index that went with it.
    const auto open = m->store();
    removeFolder(library);
    ASSERT_TRUE(spinUntil([&] { return open->isOffline(); }));
    EXPECT_TRUE(open->indexDeleted());
    EXPECT_EQ(m->store(), open);

    // Put back, the photos first, while the copy is still at a video in a
    // folder below: nothing opens and nothing is made, however long the
    // copy takes; a rescan (Ctrl+R) finds the library offline and indexes
    // nothing into the index that went.
    copyFolder(backup, library, Part::photos);
    open->rescan();
    ASSERT_TRUE(spinUntil([&] { return open->isOffline(); }));
    copyingFor(library + "/2020/trip/clip.mov", 2 * FolderReturnWatch::kStillMs);
    fs::remove_all(library + "/2020/trip");
    EXPECT_EQ(m->store(), open);
    EXPECT_FALSE(fs::exists(library + "/.vintrelle"));
    EXPECT_FALSE(open->halt()) << "the index that went was written to";

    // Then the data folder: the library opens again, on that index.
    copyFolder(backup, library, Part::dataFolder);
    ASSERT_TRUE(spinUntil([&] { return m->store() != open && m->store() != nullptr; }));
    expectRestored();

    // Deleted again, and the window comes to the front while it is gone: it
    // waits for the folder, and opens it once it is back whole.
    deleteAndWait();
    copyFolder(backup, library);
    ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; }));
    expectRestored();
}

// While the window waits, the photos are back before the data folder: the
// window brought to the front, the library chosen again, added again, or a
// drive mounted meanwhile open nothing and make nothing in the folder; the
// library opens on the index the copy brings.
TEST_F(RestoredFolder, NothingAsksTheLibraryOpenWhileItIsCopiedBack) {
    deleteAndWait();
    copyFolder(backup, library, Part::photos);
    // All but the folder the copy is still writing in, data folder included.
    const uint64_t copied = fixtures::treeChecksum(library, "Videos");

    activate();
    m->openLibrary(library);
    m->addLibrary(library);
    fixtures::writeFile(tmp / "mountinfo", "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n"
                                           "2 1 8:17 / " + (tmp / "usb") + " rw shared:2 - ext4 /dev/sdb1 rw\n");
    m->mountWatcher()->refresh();
    copyingFor(library + "/Videos/clip.mov", AppModel::kReopenAfterMountMs + 500);
    EXPECT_FALSE(m->store());
    EXPECT_EQ(m->waitingForPath(), library);
    EXPECT_EQ(fixtures::treeChecksum(library, "Videos"), copied) << "something was made or written in the folder";
    fs::remove_all(library + "/Videos");

    copyFolder(backup, library, Part::dataFolder);
    ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; }));
    expectRestored();
}

// Put back without its data folder: an empty folder is left waiting, as
// the copy may not have begun; photos that have been still open on a new
// index.
TEST_F(RestoredFolder, PutBackWithoutItsIndexItOpensOnANewOneOnceTheCopyIsDone) {
    deleteAndWait();
    fs::create_directories(library);
    spinUntil([] { return false; }, 2 * FolderReturnWatch::kStillMs);
    EXPECT_FALSE(m->store());
    EXPECT_TRUE(fs::is_empty(library));

    copyFolder(backup, library, Part::photos);
    QElapsedTimer sinceCopy;
    sinceCopy.start();
    ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; }));
    EXPECT_GE(sinceCopy.elapsed(), FolderReturnWatch::kStillMs) << "opened before the copy had been still";
    EXPECT_EQ(m->store()->paths().dataDir, library + "/.vintrelle");
    ASSERT_TRUE(spinUntil([&] { return m->store()->assets().size() == 3; }));
    EXPECT_EQ(m->store()->favoriteCount(), 0);
    EXPECT_FALSE(m->waitingForPath());
}

// Put back without its data folder however it went: deleted and copied back
// at once (the window never brought to the front), or moved away while the
// window waited for it as for a drive: it opens by itself on a new index
// once the copy has been still.
TEST_F(RestoredFolder, PutBackWithoutItsDataFolderItOpensByItselfHoweverItWent) {
    auto open = m->store();
    removeFolder(library);
    copyFolder(backup, library, Part::photos);
    ASSERT_TRUE(spinUntil([&] { return m->store() != open && m->store() != nullptr; }));
    EXPECT_FALSE(m->waitingForPath());
    ASSERT_TRUE(spinUntil([&] { return m->store()->assets().size() == 3; }));
    EXPECT_EQ(m->store()->favoriteCount(), 0);

    fs::rename(library, tmp / "Moved");
    activate();
    ASSERT_FALSE(m->store());
    ASSERT_EQ(m->waitingForPath(), library);
    copyFolder(backup, library, Part::photos);
    QElapsedTimer sinceCopy;
    sinceCopy.start();
    ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; })) << "still waiting for an index";
    EXPECT_GE(sinceCopy.elapsed(), FolderReturnWatch::kStillMs) << "opened before the copy had been still";
    EXPECT_EQ(m->store()->paths().dataDir, dataDir());
    ASSERT_TRUE(spinUntil([&] { return m->store()->assets().size() == 3; }));
}

// rm -rf of the data folder under the window, and a favourite clicked at
// once: the index the window holds is written back with it, every photo is
// read again for its thumbnail, and all of it is there at the next start.
TEST_F(RestoredFolder, ADataFolderDeletedUnderTheWindowIsWrittenBackWithWhatTheUserMarks) {
    const auto open = m->store();
    const int64_t clicked = open->assets()[2].id;
    removeFolder(dataDir());
    open->setFavorite({clicked}, true);
    const auto reopened = reopenedAfter(open);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(StatusFooter::info(*open).text, "The index was deleted.");
    ASSERT_TRUE(spinUntil([&] {
        return reopened->assets().size() == 3 && reopened->status() == EngineStatus::idle();
    }));
    for (const Asset& a : reopened->assets()) EXPECT_TRUE(fs::exists(reopened->paths().thumbURL(a.id))) << a.path;
    EXPECT_EQ(StatusFooter::info(*reopened).text, "Up to date");

    restart();
    EXPECT_EQ(m->store()->favoriteCount(), 2);
    EXPECT_TRUE(m->store()->asset(clicked).value_or(Asset{}).favorite);
    ASSERT_EQ(m->store()->albums().size(), 1u);
    EXPECT_EQ(m->store()->albums()[0].assetIDs.size(), 2u);
}

// Another library's index copied over it in place (one of this Vintrelle,
// with its identity, or of an earlier one, without): the window opens the
// library again, for its opening to judge the file, which offers to make the
// index again; the rebuild brings back this library's marks, the last
// clicked included, and nothing of the other's, and its copy never took the
// other's marks meanwhile.
class WrittenOver : public RestoredFolder, public ::testing::WithParamInterface<bool> {};

TEST_P(WrittenOver, AnIndexWrittenOverUnderTheWindowIsMadeAgainFromTheCopy) {
    fixtures::TempDir elsewhere;
    {
        LibraryDB other(elsewhere / "library.sqlite");
        for (int i = 0; i < 5; ++i)
            other.db().run("INSERT INTO assets(path, kind, size, mtime, favorite) VALUES(?,0,1,1,1)",
                           {"x" + std::to_string(i)});
        if (GetParam()) other.db().transaction([&] { setLibraryIdentity(other.db(), newLibraryIdentity()); });
    }
    const auto open = m->store();
    const int64_t clicked = open->assets()[2].id;
    const std::string clickedPath = open->assets()[2].path;
    open->setFavorite({clicked}, true);
    // Written over within the keeper's second after a click, the click is
    // read back from the other file: it is the marks before that the copy
    // must keep from being written over with the other's.
    ASSERT_TRUE(open->marksKeeper().waitIdle(std::chrono::milliseconds(fixtures::patientMs)));
    fs::copy_file(elsewhere / "library.sqlite", index(), fs::copy_options::overwrite_existing);
    ASSERT_TRUE(reopenedAfter(open));
    EXPECT_EQ(StatusFooter::info(*open).text, "The index was written over.");

    ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == library; })) << "another library's index was taken";
    m->rebuildIndex(library);
    ASSERT_TRUE(spinUntil([&] { return !m->rebuilding() && m->store() && m->store()->assets().size() == 3; }));
    EXPECT_EQ(m->store()->favoriteCount(), 2);
    for (const Asset& a : m->store()->assets())
        if (a.path == clickedPath) {
            EXPECT_TRUE(a.favorite) << "the favourite clicked before it was written over";
        }
    ASSERT_EQ(m->store()->albums().size(), 1u);
    EXPECT_EQ(m->store()->albums()[0].assetIDs.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Identities, WrittenOver, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OfThisVersion" : "OfAnEarlierVersion"; });

// Emptied: offered for rebuild, and the copy of the marks never written
// from it.
TEST_F(RestoredFolder, AnIndexEmptiedUnderTheWindowIsOfferedForRebuild) {
    ASSERT_TRUE(m->store()->marksKeeper().waitIdle(std::chrono::milliseconds(fixtures::patientMs)));
    const std::string marks = fixtures::readFile(dataDir() + "/library.marks");
    fs::resize_file(index(), 0);
    ASSERT_TRUE(spinUntil([&] { return m->rebuildOffer() == library; }));
    EXPECT_EQ(fixtures::readFile(dataDir() + "/library.marks"), marks);
}
