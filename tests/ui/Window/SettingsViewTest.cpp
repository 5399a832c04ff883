#include <gtest/gtest.h>

#include <QPushButton>
#include <QThreadPool>

#include <atomic>
#include <map>
#include <mutex>

#include "ChromeFixture.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/SettingsView.h"

namespace {

using namespace chrometest;

TEST(SettingsView, SectionsFollowTheOpenLibrary) {
    Chrome c({photo(1, 2021), photo(2, 2020)});
    Asset clip = photo(3, 2019);
    clip.kind = MediaKind::video;
    storetest::insertAsset(c.db(), clip);
    c.store().engineDidUpsert(c.db().assets({3}));
    c.model->setStore(nullptr);
    SettingsView settings(*c.model);
    EXPECT_EQ(settings.librarySection(), nullptr);
    EXPECT_TRUE(settings.startOverButton()->isHidden());
    EXPECT_EQ(settings.versionText().toStdString(), "1.0");
    EXPECT_EQ(settings.width(), SettingsView::windowWidth);

    c.model->setStore(c.lib.store);
    ASSERT_NE(settings.librarySection(), nullptr);
    EXPECT_FALSE(settings.startOverButton()->isHidden());
    EXPECT_EQ(settings.folderText().toStdString(), c.lib.dir.path());
    EXPECT_EQ(settings.contentsText().toStdString(), "2 photos, 1 video");
    EXPECT_EQ(settings.indexCaption().toStdString(), "Kept inside the folder, so it travels with the drive.");
    EXPECT_EQ(settings.width(), SettingsView::windowWidth);

    settings.showIndexButton()->click();
    ASSERT_EQ(c.desktop->opened.size(), 1u);
    EXPECT_EQ(localPath(c.desktop->opened[0]), c.store().paths().dataDir);

    settings.facesSwitch()->click();
    EXPECT_EQ(settings.facesSwitch()->isChecked(), c.model->facesEnabled());
}

TEST(SettingsView, AppearanceChoiceRepaintsInTheNewPalette) {
    Chrome c;
    QObject context;
    QObject::connect(&*c.model, &AppModel::darkAppearanceChanged, &context,
                     [&] { Theme::setDark(c.model->darkAppearance()); });
    c.model->setAppearance("light");
    Theme::setDark(false);
    SettingsView settings(*c.model);
    settings.show();
    // The application's palette reaches the window through posted events.
    auto corner = [&] {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        return settings.grab().toImage().pixelColor(3, 3);
    };
    EXPECT_EQ(corner(), Theme::color(ThemeColor::canvas, false));

    SegmentedControl* picker = settings.themePicker();
    click(picker, picker->segmentRect(1).center());
    EXPECT_EQ(c.model->appearance(), "dark");
    EXPECT_EQ(corner(), Theme::color(ThemeColor::canvas, true));

    click(picker, picker->segmentRect(2).center());
    EXPECT_EQ(c.model->appearance(), "system");
    click(picker, picker->segmentRect(0).center());
    EXPECT_EQ(c.model->appearance(), "light");
    EXPECT_EQ(corner(), Theme::color(ThemeColor::canvas, false));
    EXPECT_EQ(picker->current(), 0);
}

TEST(SettingsView, StartOverResetsOnlyTheLibraryAskedAbout) {
    struct Case {
        const char* name;
        bool switchLibrary;
        bool closeLibrary;
        bool askedLibraryReset;
    };
    const Case cases[] = {
        {"still open", false, false, true},
        {"switched meanwhile", true, false, false},
        {"closed meanwhile", false, true, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Chrome c({photo(1, 2021)});
        apptest::Library other({photo(1, 2021)});
        for (LibraryDB* db : {&c.db(), &other.db()}) {
            storetest::insertPerson(*db, 1, "Ada");
            storetest::insertFace(*db, 1, 1);
        }
        c.store().reloadPeople();
        other.store->reloadPeople();
        SettingsView settings(*c.model);

        MessageSheet* box = settings.confirmStartOver();
        EXPECT_EQ(box->heading().toStdString(), "Forget everyone and start again?");
        if (k.switchLibrary) c.model->setStore(other.store);
        if (k.closeLibrary) c.model->setStore(nullptr);
        box->confirmButton()->click();
        EXPECT_EQ(c.store().persons().empty(), k.askedLibraryReset);
        EXPECT_EQ(other.store->persons().size(), 1u);
    }
}

TEST(SettingsView, IndexSizeBelongsToItsLibraryAndRevision) {
    Chrome c({photo(1, 2021)});
    apptest::Library other({photo(1, 2021)});
    const std::string first = c.store().paths().dataDir, second = other.store->paths().dataDir;

    // The first library's measurements wait until released.
    std::atomic<bool> release = false;
    std::mutex m;
    std::map<std::string, int> calls;
    SettingsView settings(*c.model);
    settings.setSizeMeter([&](const std::string& dir, std::stop_token) -> uint64_t {
        {
            std::lock_guard lock(m);
            ++calls[dir];
        }
        if (dir == first) {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return 1'000'000;
        }
        return 2'000;
    });
    EXPECT_EQ(settings.indexSize().toStdString(), "\u2026");

    c.model->setStore(other.store);
    EXPECT_EQ(settings.indexSize().toStdString(), "\u2026");
    ASSERT_TRUE(storetest::spinUntil([&] { return settings.indexSize() == SettingsView::formatSize(2000); }));
    // The first library's answer, once it has come, is dropped.
    release = true;
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(fixtures::patientMs));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(settings.indexSize(), SettingsView::formatSize(2000));

    // Revisions 0 to 49 share a measurement; the 50th asks again.
    LibraryStore& s = *other.store;
    const std::vector<Asset> same = s.assets().toVector();
    while (s.revision() < 49) s.engineDidUpsert(same);
    QCoreApplication::sendPostedEvents();
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(fixtures::patientMs));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(calls[second], 1);
    }
    s.engineDidUpsert(same);
    EXPECT_EQ(s.revision(), 50);
    ASSERT_TRUE(storetest::spinUntil([&] {
        std::lock_guard lock(m);
        return calls[second] == 2;
    }));
    QThreadPool::globalInstance()->waitForDone();
}

TEST(SettingsView, FolderSizeCountsEveryFileAndNothingForAMissingFolder) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "a.bin", std::string(1000, 'x'));
    fixtures::writeFile(dir / ".hidden/b.bin", std::string(250, 'y'));
    fixtures::writeFile(dir / "thumbs/00/c.jpg", std::string(5, 'z'));
    std::filesystem::create_symlink(dir / "a.bin", dir / "link");
    EXPECT_EQ(SettingsView::folderSize(dir.path(), {}), 1255u);
    EXPECT_EQ(SettingsView::folderSize(dir / "missing", {}), 0u);
    EXPECT_EQ(SettingsView::formatSize(0).toStdString(), QLocale().formattedDataSize(0, 1, QLocale::DataSizeSIFormat).toStdString());
}

}  // namespace
