// The grid screen: which block an empty route shows, which header a route
// gets and how tall, and how grid, header, scrubber and bar follow the model.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPushButton>

#include "ScreenFixture.h"
#include "UI/Grid/AssetGridScreen.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Grid/SelectionBar.h"
#include "UI/Grid/YearScrubber.h"
#include "UI/Kit/EmptyState.h"

using namespace screentest;

namespace {

using Kind = Route::Kind;

TEST(AssetGridScreen, EmptyStateTable) {
    const EngineStatus idle = EngineStatus::idle(), busy = EngineStatus::indexing(3, 10);
    struct Row {
        Route route;
        std::string search;
        EngineStatus status;
        bool loaded;
        std::string title;  // empty: the progress block
        bool lookAgain;
        std::optional<EngineHalt> halt = std::nullopt;
        bool damaged = false;
    };
    const Row rows[] = {
        {Route::library(), "Lisbon", idle, true, "Nothing matches “Lisbon”", false},
        {Route::album(1), "q", idle, true, "Nothing matches “q”", false},  // search wins over the route
        {Route::favorites(), "q", busy, false, "Nothing matches “q”", false},
        {Route::album(1), "", busy, false, "This album is empty", false},
        {Route::favorites(), "", idle, true, "No favourites yet", false},
        {Route::videos(), "", busy, true, "No videos here", false},
        {Route::trip(1), "", idle, true, "No photos in this folder", true},
        {Route::folder("a/b"), "", idle, true, "No photos in this folder", true},
        {Route::library(), "", EngineStatus::scanning(), true, "", false},
        {Route::recent(), "", idle, false, "", false},  // not loaded yet
        {Route::person(2), "", busy, true, "", false},
        // Photos found but not saved: never "No photos", nor "Reading your photos…".
        {Route::library(), "", idle, true, "The disk holding the index is full", false, EngineHalt::diskFull},
        {Route::folder("a"), "", idle, false, "The disk holding the index can’t be written", false,
         EngineHalt::unwritable},
        {Route::album(1), "", idle, true, "This album is empty", false, EngineHalt::diskFull},
        {Route::library(), "Lisbon", idle, true, "Nothing matches “Lisbon”", false, EngineHalt::diskFull},
        {Route::folder("a"), "", idle, true, "Vintrelle’s photo reader is missing", false,
         EngineHalt::readerUnavailable},
        {Route::library(), "", idle, true, "Some photos wait to be read again", false, EngineHalt::readAgainLater},
        // A damaged index read nothing: never "No photos in this folder".
        {Route::library(), "", idle, true, "The index is damaged", false, std::nullopt, true},
        {Route::favorites(), "", idle, true, "The index is damaged", false, std::nullopt, true},
    };
    for (const Row& r : rows) {
        const auto s = AssetGridScreen::emptyScreen(r.route, r.search, r.status, r.loaded, r.halt, r.damaged);
        EXPECT_EQ(s.progress, r.title.empty()) << r.route.text();
        EXPECT_EQ(s.title.toStdString(), r.title) << r.route.text();
        EXPECT_EQ(s.action.has_value(), r.lookAgain) << r.route.text();
    }
    EXPECT_EQ(AssetGridScreen::emptyScreen(Route::library(), "x", idle, true).symbol, "magnifyingglass");
}

struct Library3Years : Screen {
    Library3Years() : Screen({photo(1, 2019), photo(2, 2020), photo(3, 2021), photo(4, 2021, 20)}) {
        db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Spain', ?, ?)",
                      {fixtures::wallClock(2021, 3, 1), fixtures::wallClock(2021, 3, 31)});
        store().engineDidUpdateTrips();
        album = store().createAlbum("Empty", {});
        std::vector<float> same(128, 0.0f);
        same[0] = 1.0f;
        // Two look-alikes, never in the same photo: 5 in 1 and 2, 6 in 3 and 4.
        for (int64_t person : {5, 6}) {
            storetest::insertPerson(db(), person, "");
            for (int64_t asset : {2 * person - 9, 2 * person - 8}) {
                db().db().run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) "
                              "VALUES(?,0.1,0.1,0.2,0.2,0.9,?,?)",
                              {asset, LibraryDB::encodeEmbedding(same), person});
                db().db().run("UPDATE assets SET faces_done=1 WHERE id=?", {asset});
            }
        }
        store().reloadPeople();
    }
    int64_t album = 0;
};

TEST(AssetGridScreen, HeaderHeightPerRoute) {
    Library3Years s;
    const auto height = [&](const Route& r, const std::string& search = "") {
        const auto h = AssetGridScreen::headerFor(r, search, s.store());
        return h ? h->height : 0;
    };
    EXPECT_EQ(height(Route::trip(1)), 300);
    EXPECT_EQ(height(Route::album(s.album)), 104);
    EXPECT_EQ(height(Route::person(5)), 132);
    EXPECT_EQ(height(Route::trip(1), "Spain"), 0);  // none under a search
    for (const Route& r : {Route::trip(99), Route::person(99), Route::album(99), Route::library(), Route::recent(),
                           Route::folder("p"), Route::place(PlaceBox{0, 1, 0, 1, "Here"})})
        EXPECT_EQ(height(r), 0) << r.text();

}

TEST(AssetGridScreen, FollowsTheModelThroughOneUpdatePerTurn) {
    Library3Years s;
    auto shown = shownScreen(s, 900, 600);
    AssetGridScreen& screen = *shown;

    // The library: grid, scrubber over three years, no header, no bar.
    EXPECT_TRUE(screen.isShowingGrid());
    EXPECT_EQ(screen.itemCount(), 4u);
    EXPECT_EQ(screen.header(), nullptr);
    EXPECT_EQ(screen.scrubber()->entries().size(), 3u);
    EXPECT_FALSE(screen.isSelectionBarShown());

    // Several changes in one turn make one update.
    const int before = screen.updates();
    s.model->setSelection({1, 3});
    s.model->setThumbSize(200);
    s.model->setVisibleSection("x");
    QCoreApplication::processEvents();
    EXPECT_EQ(screen.updates(), before + 1);
    EXPECT_TRUE(screen.isSelectionBarShown());
    EXPECT_EQ(screen.selectionBar()->ids(), (std::vector<int64_t>{3, 1}));  // grid order, newest first
    EXPECT_EQ(screen.grid()->selectedIDs(), (std::vector<int64_t>{3, 1}));
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_TRUE(screen.selectionBar()->isVisible());
    EXPECT_EQ(screen.selectionBar()->geometry().bottom(), screen.height() - 1 - 18);

    // Opening from the grid gives the viewer the grid's whole list.
    s.model->setSelection({3});
    screen.refreshNow();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(screen.grid(), &enter);
    ASSERT_TRUE(s.model->viewer());
    EXPECT_EQ(s.model->viewer()->assets, screen.content()->flat);
    EXPECT_EQ(s.model->viewer()->current()->id, 3);
    s.model->setViewer(std::nullopt);

    // Clearing slides the bar away.
    s.model->clearSelection();
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_FALSE(screen.isSelectionBarShown());
    EXPECT_FALSE(screen.selectionBar()->isVisible());

    // A search on the library: no scrubber; with no hits, the search block.
    s.model->setActiveSearch("2021");
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_EQ(screen.itemCount(), 2u);
    EXPECT_TRUE(screen.scrubber()->entries().empty());
    s.model->setActiveSearch("nothing-like-this");
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_TRUE(screen.isShowingEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "Nothing matches “nothing-like-this”");

    // The trip: its header scrolls in the grid, 300 px tall; no scrubber.
    s.model->push(Route::trip(1));
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    ASSERT_NE(screen.header(), nullptr);
    EXPECT_EQ(screen.header()->kind(), RouteHeader::Kind::trip);
    EXPECT_EQ(screen.header()->height(), 300);
    EXPECT_EQ(screen.grid()->header(), screen.header());
    EXPECT_TRUE(screen.scrubber()->entries().empty());

    // An empty album: its header right above "This album is empty", and no
    // bar even though ids stay selected.
    s.model->navigate(Route::album(s.album));
    s.model->setSelection({1});
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_FALSE(screen.isShowingGrid());
    ASSERT_NE(screen.header(), nullptr);
    EXPECT_EQ(screen.header()->kind(), RouteHeader::Kind::album);
    EXPECT_EQ(screen.header()->geometry(), QRect(0, 0, 900, 104));
    EXPECT_EQ(screen.emptyState()->title(), "This album is empty");
    EXPECT_GE(screen.emptyState()->geometry().top(), 104);
    EXPECT_FALSE(screen.isSelectionBarShown());

    // The album gains photos: the header moves into the grid.
    s.store().addToAlbum(s.album, {2});
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_TRUE(screen.isShowingGrid());
    EXPECT_EQ(screen.grid()->header(), screen.header());
    EXPECT_EQ(screen.headerHeight(), 104);

    // The album is deleted elsewhere: no header.
    s.store().deleteAlbum(s.album);
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_EQ(screen.header(), nullptr);
    EXPECT_TRUE(screen.isShowingEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "This album is empty");
}

TEST(AssetGridScreen, AnIdleEmptyLibraryOffersToLookAgainUnlessIndexingHalted) {
    Screen s;
    auto shown = shownScreen(s, 800, 500);
    AssetGridScreen& screen = *shown;
    ASSERT_TRUE(screen.isShowingEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "No photos in this folder");
    ASSERT_NE(screen.emptyState()->actionButton(), nullptr);
    EXPECT_EQ(screen.emptyState()->actionButton()->text(), "Look Again");

    // Indexing halts with what it found unsaved: the block says why, as the footer does.
    s.store().engineDidHalt(EngineHalt::diskFull);
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    ASSERT_TRUE(screen.isShowingEmptyState());
    EXPECT_EQ(screen.emptyState()->title(), "The disk holding the index is full");
    EXPECT_EQ(screen.emptyState()->actionButton(), nullptr);
    s.store().engineDidHalt(EngineHalt::unwritable);
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_EQ(screen.emptyState()->title(), "The disk holding the index can’t be written");

    s.store().engineDidChangeStatus(EngineStatus::scanning());
    ASSERT_TRUE(screen.settle(fixtures::patientMs));
    EXPECT_TRUE(screen.isShowingProgress());
    EXPECT_FALSE(screen.isShowingEmptyState());
}

TEST(AssetGridScreen, PersonHeaderGrowsWhenSuggestionsArrive) {
    Library3Years s;
    s.model->navigate(Route::people());
    s.model->push(Route::person(5));
    auto shown = shownScreen(s, 900, 600);
    AssetGridScreen& screen = *shown;
    // The header asks for the suggestions itself when it appears.
    ASSERT_TRUE(storetest::spinUntil([&] { return screen.headerHeight() == 228; }));
    auto* header = static_cast<PersonHeader*>(screen.header());
    EXPECT_EQ(header->chipIDs(), (std::vector<int64_t>{6}));
    EXPECT_EQ(screen.grid()->gridLayout().topInset(), 228);
}

}  // namespace
