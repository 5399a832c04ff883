// The welcome and drive-missing screens, and every label of the window kept
// whole at the window's smallest size.

#include <gtest/gtest.h>

#include <QPushButton>

#include "App/VolumeName.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Kit/Labels.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/StartScreens.h"
#include "WindowTestSupport.h"

namespace {

using namespace windowtest;

TEST(DriveMissingView, NamesTheDriveFromThePath) {
    const std::string user = currentUserName();
    const struct {
        std::string path, title, folder;
    } cases[] = {
        {"/media/" + user + "/Photo Disk/Pictures", "Plug in \u201CPhoto Disk\u201D", "Pictures"},
        {"/run/media/" + user + "/Archive", "Plug in \u201CArchive\u201D", "Archive"},
        {"/mnt/Backup/2020/", "Plug in \u201CBackup\u201D", "2020"},
        {"/Volumes/Archive/x", "Plug in \u201CArchive\u201D", "x"},
        {"/home/" + user + "/Pictures", "Plug in the drive", "Pictures"},
        {"/media", "Plug in the drive", "media"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DriveMissingView::title(c.path).toStdString(), c.title);
        EXPECT_EQ(DriveMissingView::message(c.path).toStdString(),
                  "\u201C" + c.folder +
                      "\u201D lives on a drive that isn\u2019t connected. Vintrelle will open it by itself the moment "
                      "the drive appears.");
    }
}

TEST(StartScreens, ButtonsAskForAFolder) {
    World w;
    int asked = 0;
    w.model->setFolderChooser([&](auto answer) {
        ++asked;
        answer(std::nullopt);
    });
    w.root->welcome()->chooseButton()->click();
    w.model->openLibrary(w.dir / "gone");
    w.settle();
    QPushButton* another = w.root->waitingScreen()->block()->actionButton();
    ASSERT_NE(another, nullptr);
    EXPECT_EQ(another->text(), "Choose Another Folder\u2026");
    another->click();
    EXPECT_EQ(asked, 2);
}

// Every text of the window fits where it is placed: one-line texts at their
// natural width, wrapped ones at their height, buttons at their size, all
// inside the window.
void expectNothingClipped(QWidget& root) {
    const QRect window = root.rect();
    for (QWidget* w : root.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&root)) continue;
        const QRect at(w->mapTo(&root, QPoint(0, 0)), w->size());
        if (auto* text = qobject_cast<TextBlock*>(w)) {
            SCOPED_TRACE(text->text().toStdString());
            EXPECT_TRUE(window.contains(at));
            if (text->hasHeightForWidth()) EXPECT_GE(text->height(), text->heightForWidth(text->width()));
            else EXPECT_GE(text->width(), text->sizeHint().width());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            SCOPED_TRACE(button->text().toStdString());
            EXPECT_TRUE(window.contains(at));
            EXPECT_GE(button->width(), button->sizeHint().width());
        }
    }
}

TEST(StartScreens, NothingIsClippedAtTheSmallestWindow) {
    World w(std::vector<Asset>{});
    MainWindow window(*w.model);
    window.resize(window.minimumSize());
    window.show();
    RootView& root = window.root();
    const auto settle = [&] {
        w.settle();
        root.finishAnimations();
        QCoreApplication::processEvents();
    };
    settle();
    ASSERT_EQ(window.size(), QSize(940, 600));
    {
        SCOPED_TRACE("welcome");
        expectNothingClipped(root);
    }
    {
        SCOPED_TRACE("drive missing, beside the sidebar");
        w.model->openLibrary("/media/" + currentUserName() + "/A Rather Long Drive Name/Family Photos 2009-2024");
        settle();
        expectNothingClipped(root);
    }
    {
        SCOPED_TRACE("a library");
        w.open();
        for (const Route& r : {Route::library(), Route::trips(), Route::people(), Route::places(), Route::albums()}) {
            w.model->navigate(r);
            settle();
            expectNothingClipped(root);
        }
    }
    w.model->closeStore();
}

}  // namespace
