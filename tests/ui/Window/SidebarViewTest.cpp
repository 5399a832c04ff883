#include <gtest/gtest.h>

#include <QMenu>
#include <QPushButton>

#include <filesystem>

#include "App/VolumeName.h"
#include "ChromeFixture.h"
#include "UI/Kit/MessageSheet.h"
#include "UI/Window/LibrarySwitcher.h"
#include "UI/Window/RootView.h"
#include "UI/Window/SidebarView.h"
#include "UI/Window/StatusFooter.h"

namespace {

using namespace chrometest;

Asset at(int64_t id, const std::string& path, bool favorite = false) {
    Asset a = photo(id, 2021);
    a.path = path;
    a.favorite = favorite;
    return a;
}

std::vector<std::string> selectedTitles(const SidebarView& s) {
    std::vector<std::string> out;
    for (const SidebarRow& r : s.rows())
        if (r.selected) out.push_back(r.title.toStdString());
    return out;
}

std::vector<std::string> folderTitles(const SidebarView& s) {
    std::vector<std::string> out;
    bool folders = false;
    for (const SidebarRow& r : s.rows()) {
        if (r.kind == SidebarRow::Kind::heading) folders = r.title == "Folders";
        else if (folders) out.push_back(std::string(size_t(r.indent) * 2, ' ') + r.title.toStdString());
    }
    return out;
}

TEST(SidebarView, HighlightFollowsSidebarRouteForFixedRowsAndRouteForAlbumsAndFolders) {
    Chrome c({at(1, "Rome/1.jpg"), at(2, "Oslo/2.jpg")});
    const int64_t album = c.store().createAlbum("Summer", {1});
    c.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(3, 'Rome', 0, 10)");
    c.store().engineDidUpdateTrips();
    SidebarView sidebar(*c.model);

    struct Case {
        const char* name;
        std::function<void()> go;
        std::vector<std::string> selected;
    };
    const Case cases[] = {
        {"start", [] {}, {"Library"}},
        {"fixed row", [&] { c.model->navigate(Route::trips()); }, {"Trips"}},
        {"drilled into a trip", [&] { c.model->push(Route::trip(3)); }, {"Trips"}},
        {"album navigated to", [&] { c.model->navigate(Route::album(album)); }, {"Summer"}},
        {"album drilled into",
         [&] {
             c.model->navigate(Route::albums());
             c.model->push(Route::album(album));
         },
         {"Albums", "Summer"}},
        {"folder", [&] { c.model->navigate(Route::folder("Oslo")); }, {"Oslo"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        k.go();
        EXPECT_EQ(selectedTitles(sidebar), k.selected);
    }
}

TEST(SidebarView, CountsShownOnlyAboveZeroInTheUsersDigits) {
    screentest::NumberLocaleScope locale("en_US.UTF-8");
    Chrome c({at(1, "a/1.jpg", true), at(2, "a/2.jpg")});
    c.store().createAlbum("Empty", {});
    SidebarView sidebar(*c.model);
    auto count = [&](const char* title) { return SidebarList::countText(*sidebar.row(title)).toStdString(); };
    EXPECT_EQ(count("Library"), "2");
    EXPECT_EQ(count("Favourites"), "1");
    EXPECT_EQ(count("Videos"), "");   // 0
    EXPECT_EQ(count("Recently Added"), "");  // none
    EXPECT_EQ(count("Trips"), "");
    EXPECT_EQ(count("Empty"), "");
    SidebarRow many;
    many.count = 1234;
    EXPECT_EQ(SidebarList::countText(many).toStdString(), "1,234");
    EXPECT_EQ(sidebar.row("Empty")->indent, 1);
    EXPECT_FALSE(sidebar.row("Empty")->showIcon);
}

TEST(SidebarView, FolderExpansionKeptByPathAcrossCollapseAndStoreReload) {
    Chrome c({at(1, "a/b/c/1.jpg"), at(2, "a/2.jpg"), at(3, "x/3.jpg")});
    SidebarView sidebar(*c.model);
    sidebar.resize(236, 800);
    sidebar.show();
    EXPECT_EQ(folderTitles(sidebar), (std::vector<std::string>{"a", "x"}));

    // The chevron expands; a click elsewhere on the row goes to the folder.
    auto chevron = [&](const char* title) {
        const SidebarRow* r = sidebar.row(title);
        click(sidebar.list(), sidebar.list()->disclosureRect(*r).center());
    };
    chevron("a");
    chevron("b");
    EXPECT_EQ(folderTitles(sidebar), (std::vector<std::string>{"a", "  b", "    c", "x"}));
    EXPECT_EQ(c.model->route(), Route::library());
    chevron("a");
    EXPECT_EQ(folderTitles(sidebar), (std::vector<std::string>{"a", "x"}));
    chevron("a");
    EXPECT_EQ(folderTitles(sidebar), (std::vector<std::string>{"a", "  b", "    c", "x"}));

    storetest::insertAsset(c.db(), at(4, "a/b/4.jpg"));
    c.store().engineDidUpsert(c.db().assets({4}));
    EXPECT_EQ(folderTitles(sidebar), (std::vector<std::string>{"a", "  b", "    c", "x"}));
    EXPECT_EQ(sidebar.row("b")->count, 2);

    click(sidebar.list(), sidebar.row("x")->rect.topLeft() + QPointF(30, 10));
    EXPECT_EQ(c.model->route(), Route::folder("x"));
    EXPECT_EQ(sidebar.row("x")->disclosure, std::nullopt);
}

TEST(SidebarView, WithoutAStoreOnlyTheStripAndSwitcher) {
    Chrome c;
    c.model->setStore(nullptr);
    c.model->setLibraryPath("/nowhere/Pictures");
    SidebarView sidebar(*c.model);
    EXPECT_TRUE(sidebar.rows().empty());
    EXPECT_EQ(sidebar.footer(), nullptr);
    EXPECT_NE(sidebar.switcher(), nullptr);
    c.model->setStore(c.lib.store);
    EXPECT_FALSE(sidebar.rows().empty());
    EXPECT_NE(sidebar.footer(), nullptr);
}

TEST(LibrarySwitcher, LocationAndName) {
    const std::string user = currentUserName();
    struct Case {
        std::optional<std::string> path;
        const char* location;
        const char* name;
    };
    const Case cases[] = {
        {"/media/" + user + "/Photos Backup/Pictures", "Photos Backup", "Pictures"},
        {"/run/media/" + user + "/Card/DCIM", "Card", "DCIM"},
        {"/home/" + user + "/Pictures", "This Computer", "Pictures"},
        {"/media", "This Computer", "media"},
        {std::nullopt, "", "Vintrelle"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.path.value_or("none"));
        EXPECT_EQ(LibrarySwitcher::location(k.path).toStdString(), k.location);
        EXPECT_EQ(LibrarySwitcher::name(k.path).toStdString(), k.name);
    }
}

TEST(LibrarySwitcher, MenuSwitchesShowsAndRemovesTheLibraryChosen) {
    Chrome c;
    fixtures::TempDir other;
    const std::string open = c.lib.dir.path(), away = other.path() + "/Unplugged";
    c.model->setLibraries({open, away});
    c.model->setLibraryPath(open);
    LibrarySwitcher switcher(*c.model);

    std::unique_ptr<QMenu> menu(switcher.makeMenu());
    const std::string openName = std::filesystem::path(open).filename().string();
    EXPECT_EQ(apptest::titles(*menu), (std::vector<std::string>{openName, "Unplugged \u2014 not connected", "-",
                                                                "Add Folder\u2026", "Show Folder in Files",
                                                                "Remove from Vintrelle\u2026"}));
    EXPECT_TRUE(menu->actions()[0]->isChecked());
    EXPECT_FALSE(menu->actions()[1]->isChecked());

    // A damaged index: once its alert is dismissed, the offer to make it
    // again stays in the menu.
    c.store().db().db().markDamaged();
    ASSERT_TRUE(storetest::spinUntil([&] { return c.store().isDamaged(); }));
    c.model->setErrorMessage(std::nullopt);
    menu.reset(switcher.makeMenu());
    EXPECT_EQ(apptest::titles(*menu), (std::vector<std::string>{openName, "Unplugged \u2014 not connected", "-",
                                                                "Add Folder\u2026", "Show Folder in Files",
                                                                "Rebuild Index\u2026", "Remove from Vintrelle\u2026"}));
    ASSERT_TRUE(apptest::trigger(*menu, "Rebuild Index\u2026"));
    EXPECT_EQ(c.model->errorMessage(), "The index of \u201c" + openName + "\u201d is damaged.");
    EXPECT_EQ(c.model->rebuildOffer(), open);

    ASSERT_TRUE(apptest::trigger(*menu, "Show Folder in Files"));
    ASSERT_EQ(c.desktop->opened.size(), 1u);
    EXPECT_EQ(localPath(c.desktop->opened[0]), open);

    // Cancelling changes nothing.
    switcher.confirmRemoval(open)->cancelButton()->click();
    EXPECT_EQ(c.model->libraries().size(), 2u);

    // The library chosen goes, even when another is shown by the time of the answer.
    MessageSheet* box = switcher.confirmRemoval(open);
    EXPECT_EQ(box->heading().toStdString(), "Remove \u201C" + openName + "\u201D from Vintrelle?");
    c.model->setLibraryPath(away);
    box->confirmButton()->click();
    EXPECT_EQ(c.model->libraries(), std::vector<std::string>{away});
    EXPECT_EQ(c.model->libraryPath(), away);

    // Without a library: the list and "Add Folder…" only.
    c.model->setLibraryPath(std::nullopt);
    menu.reset(switcher.makeMenu());
    EXPECT_EQ(apptest::titles(*menu), (std::vector<std::string>{"Unplugged \u2014 not connected", "-", "Add Folder\u2026"}));
}

TEST(StatusFooter, TextsByStatus) {
    screentest::NumberLocaleScope locale("en_US.UTF-8");
    Chrome c;
    LibraryStore& s = c.store();
    StatusFooter footer(c.lib.store);
    struct Case {
        std::function<void()> report;
        const char* text;
        std::optional<std::string> detail;
        std::optional<double> fraction;
        QColor color;
    };
    const QColor accent = Theme::accent();
    const Case cases[] = {
        {[&] { s.engineDidChangeStatus(EngineStatus::scanning()); }, "Looking for new photos\u2026", {}, {}, accent},
        {[&] { s.engineDidChangeStatus(EngineStatus::indexing(3, 12)); }, "Reading photos", "3 of 12", 0.25, accent},
        {[&] { s.engineDidChangeStatus(EngineStatus::indexing(0, 0)); }, "Reading photos", "0 of 0", 0.0, accent},
        {[&] { s.engineDidChangeStatus(EngineStatus::faces(1234, 5000)); }, "Finding faces", "1,234 of 5,000", 0.2468,
         accent},
        {[&] { s.engineDidChangeStatus(EngineStatus::idle()); }, "Up to date", "Watching for new photos", {},
         StatusFooter::upToDate},
        {[&] { s.engineDidGoOffline(); }, "Drive not connected", {}, {}, StatusFooter::offline},
        // A run stopped with work left is never "Up to date", and goes when the engine goes on.
        {[&] {
             s.engineDidChangeStatus(EngineStatus::scanning());
             s.engineDidHalt(EngineHalt::diskFull);
             s.engineDidChangeStatus(EngineStatus::idle());
         },
         "The disk holding the index is full.", "Goes on once there is room", {}, StatusFooter::offline},
        {[&] { s.engineDidChangeStatus(EngineStatus::scanning()); }, "Looking for new photos\u2026", {}, {}, accent},
        {[&] { s.engineDidHalt(EngineHalt::unwritable); }, "The disk holding the index can\u2019t be written.", {}, {},
         StatusFooter::offline},
        // Photos that wait for a reader that cannot be started.
        {[&] { s.engineDidHalt(EngineHalt::readerUnavailable); }, "Vintrelle\u2019s photo reader is missing.",
         "Some photos wait to be read", {}, StatusFooter::offline},
        // Photos whose reading was cut short, waiting for the engine's next try.
        {[&] {
             s.engineDidChangeStatus(EngineStatus::scanning());
             s.engineDidHalt(EngineHalt::readAgainLater);
             s.engineDidChangeStatus(EngineStatus::idle());
         },
         "Some photos wait to be read again.", "Vintrelle tries again in a few minutes", {}, StatusFooter::offline},
        {[&] {
             s.db().db().markDamaged();
             storetest::spinUntil([&] { return s.isDamaged(); });
             s.engineDidChangeStatus(EngineStatus::idle());
         },
         "The index is damaged.", {}, {}, StatusFooter::offline},
    };
    for (const Case& k : cases) {
        k.report();
        const StatusFooter::Info& shown = footer.shown();
        SCOPED_TRACE(k.text);
        EXPECT_EQ(shown.text.toStdString(), k.text);
        EXPECT_EQ(shown.detail ? std::optional(shown.detail->toStdString()) : std::nullopt, k.detail);
        EXPECT_EQ(shown.fraction.has_value(), k.fraction.has_value());
        if (k.fraction) {
            EXPECT_NEAR(*shown.fraction, *k.fraction, 1e-9);
        }
        EXPECT_EQ(shown.color.resolve(), k.color);
    }
}

// The copy of the marks beside the index cannot be written: the footer says
// so, and says "Up to date" again once it can.
TEST(StatusFooter, SaysWhenTheCopyOfTheMarksCannotBeWritten) {
    Chrome c({storetest::makeAsset(1, "a.jpg", 1e9)});
    LibraryStore& s = c.store();
    StatusFooter footer(c.lib.store);
    s.engineDidChangeStatus(EngineStatus::idle());
    ASSERT_TRUE(s.marksKeeper().waitIdle(std::chrono::milliseconds(fixtures::patientMs)));
    const std::string copy = s.paths().dataDir + "/library.marks";
    std::filesystem::remove(copy);
    std::filesystem::create_directory(copy);
    s.setFavorite({1}, true);
    ASSERT_TRUE(storetest::spinUntil([&] { return s.copyFault() != MarksKeeper::Fault::none; }));
    EXPECT_EQ(footer.shown().text.toStdString(), "The copy of favourites and albums is behind.");
    EXPECT_EQ(footer.shown().detail.value_or("").toStdString(), "Something else is in the place of library.marks");
    EXPECT_EQ(footer.shown().color.resolve(), StatusFooter::offline);

    std::filesystem::remove(copy);
    s.setFavorite({1}, false);
    ASSERT_TRUE(storetest::spinUntil([&] { return s.copyFault() == MarksKeeper::Fault::none; }));
    EXPECT_EQ(footer.shown().text.toStdString(), "Up to date");
}

// The footer keeps its wrapped lines and repaints only the bar while it
// glides: after texts, widths and glides it must paint what a footer made
// afresh in that state and at that width paints.
TEST(StatusFooter, PaintsWhatAFreshFooterPaintsAfterTextsWidthsAndGlides) {
    Chrome c;
    LibraryStore& s = c.store();
    QWidget window;  // inside a window, as in the sidebar: a resize is sent at once
    StatusFooter& footer = *new StatusFooter(c.lib.store, &window);
    window.resize(400, 200);
    window.show();
    auto same = [&](const char* what) {
        EXPECT_TRUE(storetest::spinUntil(
            [&] { return footer.drawnFraction() == footer.shown().fraction.value_or(footer.drawnFraction()); }))
            << what;
        StatusFooter fresh(c.lib.store, &window);
        fresh.show();
        fresh.resize(footer.width(), fresh.height());
        ASSERT_EQ(fresh.size(), footer.size()) << what;
        EXPECT_TRUE(footer.grab().toImage() == fresh.grab().toImage()) << what;
    };
    footer.resize(320, footer.height());
    s.engineDidChangeStatus(EngineStatus::indexing(1, 4));
    s.engineDidChangeStatus(EngineStatus::indexing(3, 4));
    same("a bar that glided");
    s.engineDidHalt(EngineHalt::unwritable);
    footer.resize(150, footer.height());
    same("a long text, narrow");
    footer.resize(320, footer.height());
    same("the same text, wider");
    s.engineDidChangeStatus(EngineStatus::scanning());
    same("another text");
}

TEST(StatusFooter, BarGlidesAndTheFooterKeepsItsWidgets) {
    Chrome c;
    SidebarView sidebar(*c.model);
    StatusFooter* footer = sidebar.footer();
    SidebarList* list = sidebar.list();
    const int restingHeight = footer->height();
    c.store().engineDidChangeStatus(EngineStatus::indexing(1, 4));
    EXPECT_EQ(footer->drawnFraction(), 0.25);  // a new bar starts where it is
    EXPECT_GT(footer->height(), restingHeight);
    c.store().engineDidChangeStatus(EngineStatus::indexing(3, 4));
    EXPECT_LT(footer->drawnFraction(), 0.75);
    EXPECT_TRUE(storetest::spinUntil([&] { return footer->drawnFraction() == 0.75; }));
    c.store().engineDidChangeStatus(EngineStatus::idle());
    EXPECT_EQ(footer->height(), restingHeight);
    EXPECT_EQ(sidebar.footer(), footer);
    EXPECT_EQ(sidebar.list(), list);

    // Why a run stopped takes a second line in the sidebar rather than lose its end.
    sidebar.resize(RootView::sidebarWidth, 700);
    sidebar.show();
    QCoreApplication::processEvents();
    ASSERT_LE(footer->width(), RootView::sidebarWidth);
    const int oneLine = footer->height();
    c.store().engineDidHalt(EngineHalt::diskFull);
    EXPECT_GT(footer->height(), oneLine);
    c.store().engineDidChangeStatus(EngineStatus::scanning());
    c.store().engineDidChangeStatus(EngineStatus::idle());
    EXPECT_EQ(footer->height(), oneLine);
}

}  // namespace
