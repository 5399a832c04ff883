// A library folder deleted and put back from a backup (its data folder and
// index inside) while the window is open: nothing is indexed into the index
// that went with it, nothing is opened or made while the copy is under way,
// and the library opens again by itself on the index put back, with the
// favourite and the album it holds. Real stores, engines and folder watchers
// over temporary folders.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>

#include <filesystem>

#include "App/FolderReturn.h"
#include "AppFixture.h"
#include "fixtures/MediaFixtures.h"

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

// The library open is the one put back: its own index, with what the user made.
void expectRestored(AppModel& m, const std::string& library) {
    ASSERT_TRUE(m.store());
    EXPECT_EQ(m.store()->paths().dataDir, library + "/.vintrelle");
    EXPECT_FALSE(m.waitingForPath());
    ASSERT_TRUE(spinUntil([&] { return m.store()->assets().size() == 3; }));
    EXPECT_EQ(m.store()->favoriteCount(), 1);
    ASSERT_EQ(m.store()->albums().size(), 1u);
    EXPECT_EQ(m.store()->albums()[0].assetIDs.size(), 2u);
    EXPECT_FALSE(m.store()->indexDeleted());
    EXPECT_FALSE(m.store()->isOffline());
}

// A model on its own settings, closed at the end.
struct Window {
    std::unique_ptr<AppModel> model;
    explicit Window(const Settings& settings) : model(std::make_unique<AppModel>(settings.open())) {}
    ~Window() { model->closeStore(); }
    AppModel* operator->() { return model.get(); }
    AppModel& operator*() { return *model; }
};

}  // namespace

TEST(RestoredFolder, ALibraryDeletedAndPutBackOpensAgainOnTheIndexPutBack) {
    fixtures::TempDir tmp;
    const std::string library = tmp / "Photos", backup = tmp / "Backup";
    for (const char* photo : {"2019/a.jpg", "2019/b.jpg", "2020/c.jpg"}) {
        const std::string path = library + "/" + photo;
        fs::create_directories(fs::path(path).parent_path());
        ASSERT_TRUE(fixtures::makeJPEG(path, 160, 120));
    }
    fixtures::writeFile(tmp / "mountinfo", "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n");
    Settings settings;
    settings.open()->setValue("facesEnabled", false);
    Window m{settings};
    AppModel::Desktop desktop;
    desktop.mountInfoPath = QString::fromStdString(tmp / "mountinfo");
    desktop.fstabPath = QString::fromStdString(tmp / "no-fstab");
    desktop.applicationDir = tmp / "app";
    desktop.homeDir = tmp / "home";
    m->setDesktop(std::move(desktop));
    m->bootstrap();
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

    // Deleted: the folder watcher sees it go, and the library is offline on
    // the index that went with it.
    const auto open = m->store();
    removeFolder(library);
    ASSERT_TRUE(spinUntil([&] { return open->isOffline(); }));
    EXPECT_TRUE(open->indexDeleted());
    EXPECT_EQ(m->store(), open);

    // Put back, the photos first: no index yet, so nothing opens and nothing
    // is made, however long it stays so; a rescan (Ctrl+R) finds the library
    // offline and indexes nothing into the index that went.
    copyFolder(backup, library, Part::photos);
    open->rescan();
    ASSERT_TRUE(spinUntil([&] { return open->isOffline(); }));
    spinUntil([] { return false; }, 2 * FolderReturnWatch::kStillMs);
    EXPECT_EQ(m->store(), open);
    EXPECT_FALSE(fs::exists(library + "/.vintrelle"));
    EXPECT_FALSE(open->halt()) << "the index that went was written to";

    // Then the data folder: the library opens again, on that index.
    copyFolder(backup, library, Part::dataFolder);
    ASSERT_TRUE(spinUntil([&] { return m->store() != open && m->store() != nullptr; }));
    expectRestored(*m, library);

    // Deleted again, and the window comes to the front while it is gone: it
    // waits for the folder, and opens it once it is back whole.
    removeFolder(library);
    auto* app = static_cast<QGuiApplication*>(QCoreApplication::instance());
    emit app->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_FALSE(m->store());
    EXPECT_EQ(m->waitingForPath(), library);
    copyFolder(backup, library);
    ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; }));
    expectRestored(*m, library);
}
