// The root view over a real store: which column shows in each state, which
// screens are made and let go, folders dropped on the window, the two name
// prompts, the error alert, and the colours of its parts.

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "Store/LibraryStore.h"
#include "Core/Index/IndexRepair.h"
#include "UI/Kit/EmptyState.h"
#include "UI/Window/PlainParts.h"
#include "UI/Window/SidebarView.h"
#include "UI/Window/StartScreens.h"
#include "UI/Window/StatusFooter.h"
#include "WindowTestSupport.h"

namespace {

using namespace windowtest;
namespace fs = std::filesystem;

TEST(RootView, ColumnFollowsTheLibraryState) {
    World w(std::vector<Asset>{});
    const auto shows = [&](RootView::Column column, bool sidebar) {
        w.settle();
        EXPECT_EQ(w.root->column(), column);
        EXPECT_EQ(w.root->sidebar() != nullptr, sidebar);
        EXPECT_EQ(w.root->divider() != nullptr, sidebar);
    };
    // No library: the welcome screen, and no sidebar although it is switched on.
    ASSERT_TRUE(w.model->sidebarVisible());
    shows(RootView::Column::welcome, false);

    // A library awaited: the drive-missing screen with the awaited path, beside the sidebar.
    const std::string gone = w.dir / "gone";
    w.model->openLibrary(gone);
    shows(RootView::Column::driveMissing, true);
    EXPECT_EQ(w.root->waitingScreen()->path(), gone);

    w.open();
    shows(RootView::Column::library, true);
    ASSERT_NE(w.root->topBar(), nullptr);
    EXPECT_FALSE(qobject_cast<DriveMissingView*>(w.root->screen()));

    // The drive goes: the top bar stays, the screen names the library folder.
    QPointer<QWidget> bar = w.root->topBar();
    w.lib().store->engineDidGoOffline();
    w.settle();
    auto* missing = qobject_cast<DriveMissingView*>(w.root->screen());
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->path(), w.lib().store->paths().root);
    EXPECT_EQ(w.root->topBar(), bar.data());

    w.lib().store->rescan();  // back
    w.settle();
    EXPECT_FALSE(qobject_cast<DriveMissingView*>(w.root->screen()));

    w.model->setSidebarVisible(false);
    shows(RootView::Column::library, false);
    w.model->closeStore();
    w.model->setLibraryPath(std::nullopt);
    w.model->setSidebarVisible(true);
    shows(RootView::Column::welcome, false);
    EXPECT_EQ(w.root->topBar(), nullptr);
}

TEST(RootView, ScreensAreMadeWhenShownAndLetGo) {
    World w(std::vector<Asset>{});
    std::map<ScreenKind, int> made;
    for (ScreenKind kind : {ScreenKind::assets, ScreenKind::trips})
        w.root->setScreen(kind, {[&made, kind](AppModel&, const std::shared_ptr<LibraryStore>&, QWidget* parent) {
                                     ++made[kind];
                                     return new QWidget(parent);
                                 },
                                 {}});
    int sidebars = 0;
    w.root->setSidebar([&](AppModel&, QWidget* parent) {
        ++sidebars;
        return new QWidget(parent);
    });
    w.open();
    EXPECT_EQ(made[ScreenKind::assets], 1);
    EXPECT_EQ(sidebars, 1);

    // One grid screen for every asset route, drilled down or not.
    QPointer<QWidget> grid = w.root->screen();
    w.model->navigate(Route::favorites());
    w.model->push(Route::folder("2021"));
    w.settle();
    EXPECT_EQ(made[ScreenKind::assets], 1);
    EXPECT_EQ(w.root->screen(), grid.data());

    // An overview starts afresh each time it is shown; the screen it replaced goes.
    w.model->navigate(Route::trips());
    w.settle();
    EXPECT_TRUE(grid.isNull());
    QPointer<QWidget> trips = w.root->screen();
    w.model->navigate(Route::library());
    w.model->navigate(Route::trips());
    w.settle();
    EXPECT_TRUE(trips.isNull());
    EXPECT_EQ(made[ScreenKind::trips], 2);
    // A route whose screen is not plugged in stands as its empty state.
    w.model->navigate(Route::people());
    w.settle();
    EXPECT_TRUE(qobject_cast<RoutePlaceholder*>(w.root->screen()));

    // Another library: new screens and a new top bar.
    QPointer<QWidget> bar = w.root->topBar();
    apptest::Library other;
    w.model->setStore(other.store);
    w.settle();
    EXPECT_TRUE(bar.isNull());
    EXPECT_EQ(made[ScreenKind::assets], 2);

    // The sidebar is made when it appears and let go when hidden.
    QPointer<QWidget> sidebar = w.root->sidebar();
    w.model->setSidebarVisible(false);
    w.settle();
    EXPECT_TRUE(sidebar.isNull());
    w.model->setSidebarVisible(true);
    w.settle();
    EXPECT_EQ(sidebars, 2);
    w.model->closeStore();
}

// ---- drops ------------------------------------------------------------------------

struct DropCase {
    const char* what;
    std::vector<std::string> items;  // "dir:" folders, "file:" files, others as URLs
    Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    bool internal = false;
    bool offered;                 // the overlay shows while it hovers
    std::optional<std::string> added;
};

TEST(RootView, FoldersDroppedOnTheWindowBecomeLibraries) {
    const DropCase cases[] = {
        {"a folder", {"dir:A"}, Qt::CopyAction | Qt::MoveAction, false, true, "A"},
        {"a file", {"file:photo.jpg"}, Qt::CopyAction, false, true, std::nullopt},
        {"two folders: the first", {"dir:A", "dir:B"}, Qt::CopyAction, false, true, "A"},
        {"a file, then a folder", {"file:photo.jpg", "dir:B"}, Qt::CopyAction, false, true, "B"},
        {"linked", {"dir:A"}, Qt::LinkAction, false, true, "A"},
        {"move only", {"dir:A"}, Qt::MoveAction, false, false, std::nullopt},
        {"from the grid", {"dir:A"}, Qt::CopyAction, true, false, std::nullopt},
        {"not a local file", {"https://example.com/a/"}, Qt::CopyAction, false, false, std::nullopt},
    };
    for (const DropCase& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        w.openNothing();
        fs::create_directories(w.dir / "drops/A");
        fs::create_directories(w.dir / "drops/B");
        fixtures::writeFile(w.dir / "drops/photo.jpg", "jpeg");
        w.root->setInternalDragCheck([&c](const QDropEvent&) { return c.internal; });
        QMimeData mime;
        QList<QUrl> urls;
        for (const std::string& item : c.items) {
            if (item.rfind("dir:", 0) == 0 || item.rfind("file:", 0) == 0)
                urls.push_back(
                    QUrl::fromLocalFile(QString::fromStdString(w.dir / ("drops/" + item.substr(item.find(':') + 1)))));
            else
                urls.push_back(QUrl(QString::fromStdString(item)));
        }
        mime.setUrls(urls);
        const QPointF at(300, 300);

        QDragEnterEvent enter(at.toPoint(), c.actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.root.get(), &enter);
        EXPECT_EQ(enter.isAccepted(), c.offered);
        EXPECT_EQ(w.model->isDropTargeted(), c.offered);
        EXPECT_EQ(w.root->dropOverlay()->isVisible(), c.offered);
        if (c.offered) {
            EXPECT_NE(enter.dropAction(), Qt::MoveAction);
        }

        QDropEvent drop(at, c.actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.root.get(), &drop);
        EXPECT_FALSE(w.model->isDropTargeted());
        EXPECT_FALSE(w.root->dropOverlay()->isVisible());
        QCoreApplication::processEvents();
        if (c.added) {
            EXPECT_EQ(w.model->libraryPath(), w.dir / ("drops/" + *c.added));
            EXPECT_EQ(w.model->libraries().size(), 1u);
        } else {
            EXPECT_TRUE(w.model->libraries().empty());
        }
    }
}

TEST(RootView, DropOverlayResetsOnLeaveAndDeactivation) {
    World w;
    fs::create_directories(w.dir / "A");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(w.dir / "A"))});
    for (bool leave : {true, false}) {
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w.root.get(), &enter);
        ASSERT_TRUE(w.model->isDropTargeted());
        if (leave) {
            QDragLeaveEvent left;
            QApplication::sendEvent(w.root.get(), &left);
        } else {
            QEvent deactivated(QEvent::WindowDeactivate);
            QApplication::sendEvent(w.root.get(), &deactivated);
        }
        EXPECT_FALSE(w.model->isDropTargeted());
        EXPECT_FALSE(w.root->dropOverlay()->isVisible());
    }
}

// ---- prompts and the alert ----------------------------------------------------------

void typeAndReturn(TextPromptSheet* sheet, const QString& text) {
    sheet->field()->setText(text);
    QTest::keyClick(sheet->field(), Qt::Key_Return);
    QCoreApplication::processEvents();
}

TEST(RootView, AlbumPromptRefusesABlankNameAndConfirmsOnce) {
    World w(someAssets(3));
    w.open();
    PromptSeam seam;
    w.model->setAlbumPrompt(AppModel::AlbumPrompt{QUuid::createUuid(), {2, 3}});
    QCoreApplication::processEvents();
    ASSERT_EQ(seam.presented, 1);
    EXPECT_EQ(seam.sheet->windowTitle(), "New Album");

    typeAndReturn(seam.sheet, "   ");
    EXPECT_FALSE(seam.sheet->confirmButton()->isEnabled());
    EXPECT_TRUE(w.lib().store->albums().empty());
    ASSERT_TRUE(w.model->albumPrompt());

    QPointer<TextPromptSheet> sheet = seam.sheet;
    typeAndReturn(sheet, " Rome ");
    ASSERT_EQ(w.lib().store->albums().size(), 1u);
    if (sheet) sheet->commit();  // a second Return, or the button after it
    ASSERT_EQ(w.lib().store->albums().size(), 1u);
    EXPECT_EQ(w.lib().store->albums()[0].name, "Rome");
    EXPECT_EQ(w.lib().store->albums()[0].assetIDs, (std::vector<int64_t>{2, 3}));
    EXPECT_FALSE(w.model->albumPrompt());
    EXPECT_EQ(seam.presented, 1);
    w.model->closeStore();
}

TEST(RootView, RenamePromptTakesEmptyTextAndGoesWithItsPrompt) {
    World w(someAssets(3));
    storetest::insertPerson(w.lib().db(), 7, "Ann");
    storetest::insertFace(w.lib().db(), 1, 7);  // a person is listed by its faces
    w.lib().store->reloadPeople();
    ASSERT_TRUE(w.lib().store->person(7));
    w.open();
    PromptSeam seam;
    const auto rename = [&](int64_t person) {
        AppModel::RenamePrompt p;
        p.target = {AppModel::RenamePrompt::Target::Kind::person, person};
        p.title = "Rename Ann";
        p.text = "Ann";
        w.model->setRenamePrompt(p);
        QCoreApplication::processEvents();
    };
    rename(7);
    ASSERT_TRUE(seam.sheet);
    EXPECT_EQ(seam.sheet->windowTitle(), "Rename Ann");
    EXPECT_EQ(seam.sheet->field()->text(), "Ann");
    typeAndReturn(seam.sheet, "");
    ASSERT_TRUE(w.lib().store->person(7));
    EXPECT_EQ(w.lib().store->person(7)->name, "");  // an empty name reaches the store
    EXPECT_FALSE(w.model->renamePrompt());

    // Cancelling clears the prompt; a prompt cleared elsewhere closes its sheet.
    rename(7);
    seam.sheet->reject();
    EXPECT_FALSE(w.model->renamePrompt());
    rename(7);
    QPointer<TextPromptSheet> open = seam.sheet;
    w.model->closeStore();
    QCoreApplication::processEvents();
    EXPECT_TRUE(open.isNull() || !open->isVisible() || open->result() == QDialog::Rejected);
    EXPECT_EQ(seam.presented, 3);
}

TEST(RootView, ErrorAlertClearsTheMessageAndComesBackForTheSameOne) {
    World w;
    for (int round = 0; round < 2; ++round) {
        w.model->setErrorMessage("“Photos” is not a folder Vintrelle can open.");
        QCoreApplication::processEvents();
        MessageSheet* alert = w.root->alert();
        ASSERT_NE(alert, nullptr);
        EXPECT_EQ(alert->heading(), "Vintrelle");
        EXPECT_EQ(alert->message(), "“Photos” is not a folder Vintrelle can open.");
        EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
        EXPECT_EQ(alert->cancelButton(), nullptr);
        EXPECT_EQ(alert->confirmButton()->text(), "OK");
        alert->confirmButton()->click();
        QCoreApplication::processEvents();
        EXPECT_FALSE(w.model->errorMessage());
        EXPECT_EQ(w.root->alert(), nullptr);
    }
}

// A damaged index: the alert offers to make it again, and its button does;
// another message in its place takes the offer with it.
TEST(RootView, ErrorAlertOffersToRebuildADamagedIndex) {
    World w;
    const std::string lib = w.dir / "Holiday";
    fixtures::writeFile(lib + "/.vintrelle/library.sqlite", std::string(8192, '\x5a'));
    auto offered = [&] {
        w.model->openLibrary(lib);
        QCoreApplication::processEvents();
        MessageSheet* alert = w.root->alert();
        EXPECT_NE(alert, nullptr);
        if (!alert) return alert;
        EXPECT_TRUE(alert->message().startsWith(
            "Couldn\u2019t open \u201cHoliday\u201d. Its index is damaged or was written by a newer Vintrelle.\n\n"));
        EXPECT_EQ(alert->confirmButton()->text(), "Rebuild Index");
        EXPECT_NE(alert->cancelButton(), nullptr);
        return alert;
    };
    ASSERT_TRUE(offered());
    w.model->setErrorMessage("\u201cPhotos\u201d is not a folder Vintrelle can open.");
    QCoreApplication::processEvents();
    ASSERT_NE(w.root->alert(), nullptr);
    EXPECT_EQ(w.root->alert()->confirmButton()->text(), "OK");
    EXPECT_EQ(w.root->alert()->cancelButton(), nullptr);
    w.root->alert()->confirmButton()->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(w.model->store());

    // The index is made again on a thread of its own, held at its end here
    // while the window is looked at: it answers, says what goes on, and
    // shows how far in the sidebar's footer.
    struct Hold {
        std::mutex mutex;
        std::condition_variable cv;
        bool built = false, released = false;
        Hold() {
            setRebuildStepHook([this](std::string_view step) {
                if (step != "built") return;
                std::unique_lock lock(mutex);
                built = true;
                cv.wait(lock, [&] { return released; });
            });
        }
        bool reached() {
            std::lock_guard lock(mutex);
            return built;
        }
        void release() {
            std::lock_guard lock(mutex);
            released = true;
            cv.notify_all();
        }
        ~Hold() {
            release();
            setRebuildStepHook({});
        }
    } hold;
    w.root->setSidebar([](AppModel& m, QWidget* parent) { return new SidebarView(m, parent); });
    MessageSheet* alert = offered();
    ASSERT_TRUE(alert);
    alert->confirmButton()->click();
    ASSERT_TRUE(spinUntil([&] { return hold.reached(); }));
    w.settle();
    EXPECT_EQ(w.root->column(), RootView::Column::rebuilding);
    EXPECT_EQ(w.root->rebuildingScreen()->title(), "Making the index of \u201cHoliday\u201d again");
    ASSERT_TRUE(w.root->sidebar());
    const auto* footer = w.root->sidebar()->findChild<StatusFooter*>();
    ASSERT_TRUE(footer);
    EXPECT_EQ(footer->shown().text, "Making the index again\u2026");
    EXPECT_EQ(w.root->alert(), nullptr);

    hold.release();
    ASSERT_TRUE(spinUntil([&] { return w.model->store() && w.root->alert(); }));
    EXPECT_EQ(w.root->column(), RootView::Column::library);
    // Nothing of that file read, and no copy of its marks: said plainly.
    EXPECT_TRUE(w.root->alert()->message().startsWith("Nothing could be recovered"));
    EXPECT_EQ(w.root->alert()->cancelButton(), nullptr);
}

// ---- colours ----------------------------------------------------------------------

QColor over(const QColor& top, const QColor& bottom) {
    const double a = top.alphaF();
    return QColor(qRound(top.red() * a + bottom.red() * (1 - a)), qRound(top.green() * a + bottom.green() * (1 - a)),
                  qRound(top.blue() * a + bottom.blue() * (1 - a)));
}

TEST(RootView, ColoursOfCanvasSidebarDividerAndTopRule) {
    World w(std::vector<Asset>{});
    w.open();
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        Theme::setDark(dark);
        w.settle();
        const QImage shot = w.root->grab().toImage();
        const auto near = [&](QPoint at, const QColor& want) {
            const QColor got = shot.pixelColor(at);
            EXPECT_LE(std::abs(got.red() - want.red()) + std::abs(got.green() - want.green()) +
                          std::abs(got.blue() - want.blue()),
                      3)
                << at.x() << "," << at.y() << " is " << got.name().toStdString() << ", want "
                << want.name().toStdString();
        };
        const QColor canvas = Theme::color(ThemeColor::canvas, dark);
        const QColor line = over(Theme::color(ThemeColor::line, dark), canvas);
        near({100, 650}, Theme::color(ThemeColor::sidebar, dark));
        near({RootView::sidebarWidth, 400}, line);                // divider
        near({RootView::sidebarWidth + 300, 52}, line);           // rule under the top bar
        near({RootView::sidebarWidth + 300, 53}, canvas);
        near({1080, 20}, canvas);                                  // top bar
        near({1080, 680}, canvas);                                 // main column
    }
    Theme::setDark(false);
    w.model->closeStore();
}

}  // namespace
