// The trip, person and album headers: what they show and what their menus,
// chips and confirmation do to the library and the route.

#include <gtest/gtest.h>

#include <QPushButton>

#include "ScreenFixture.h"
#include "UI/Grid/RouteHeaders.h"
#include "UI/Kit/MessageSheet.h"

using namespace screentest;

namespace {

using fixtures::wallClock;

TEST(TripHero, DaysItemsAndFacts) {
    Screen s({photo(1, 2021, 10), photo(2, 2021, 11)});
    const auto trip = [](double start, double end, std::string subtitle = "") {
        Trip t;
        t.id = 1;
        t.autoTitle = "Lisbon";
        t.subtitle = std::move(subtitle);
        t.start = start;
        t.end = end;
        return t;
    };
    struct Row {
        Trip trip;
        long long days;
        QStringList facts;
    };
    const Row rows[] = {
        {trip(wallClock(2021, 3, 10, 8), wallClock(2021, 3, 10, 20)), 1, {"1 day", "·", "1 item"}},
        {trip(wallClock(2021, 3, 10, 23), wallClock(2021, 3, 11, 1)), 2, {"2 days", "·", "0 items"}},
        {trip(wallClock(2021, 3, 9), wallClock(2021, 3, 11, 23), "Portugal"), 3,
         {"Portugal", "·", "3 days", "·", "2 items"}},
    };
    for (const Row& r : rows) {
        TripHero hero(*s.model, s.store(), r.trip);
        EXPECT_EQ(TripHero::dayCount(r.trip), r.days);
        EXPECT_EQ(hero.facts(), r.facts);
    }
    Trip named = trip(wallClock(2021, 3, 10), wallClock(2021, 3, 12));
    named.customTitle = "";
    TripHero hero(*s.model, s.store(), named);
    EXPECT_EQ(hero.titleText(), "Lisbon");  // an empty custom title shows the automatic one
    std::unique_ptr<QMenu> menu(hero.makeMenu());
    EXPECT_EQ(titles(*menu), (std::vector<std::string>{"Rename Trip…", "Use Suggested Name", "-", "This Isn’t a Trip"}));
    action(*menu, "Rename Trip…")->trigger();
    ASSERT_TRUE(s.model->renamePrompt());
    EXPECT_EQ(s.model->renamePrompt()->title, "Rename Trip");
    EXPECT_EQ(s.model->renamePrompt()->text, "Lisbon");
}

TEST(TripHero, ThisIsntATripKeepsWhatChangedMeanwhileAndGoesBack) {
    Screen s({photo(1, 2021)});
    s.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(1, 'Lisbon', 0, 1)");
    s.store().engineDidUpdateTrips();
    s.model->navigate(Route::trips());
    s.model->push(Route::trip(1));
    TripHero hero(*s.model, s.store(), *s.store().trip(1));
    std::unique_ptr<QMenu> menu(hero.makeMenu());
    EXPECT_EQ(titles(*menu), (std::vector<std::string>{"Rename Trip…", "-", "This Isn’t a Trip"}));

    s.db().db().run("UPDATE trips SET custom_title='Named meanwhile' WHERE id=1");
    action(*menu, "This Isn’t a Trip")->trigger();
    const Trip row = s.db().loadTrips().at(0);
    EXPECT_TRUE(row.hidden);
    EXPECT_EQ(row.customTitle, "Named meanwhile");
    EXPECT_TRUE(s.store().visibleTrips().empty());
    EXPECT_EQ(s.model->route(), Route::trips());
}

// People 5, 6 and 7 who look alike, 8 who does not; all unnamed with three
// photos each, so all are listed. Each is seen apart from the others: 5 in
// photos 1 to 3, 6 in 4 to 6, and so on.
struct People : Screen {
    People()
        : Screen({photo(1, 2020), photo(2, 2021), photo(3, 2022), photo(4, 2020, 16), photo(5, 2021, 16),
                  photo(6, 2022, 16), photo(7, 2020, 17), photo(8, 2021, 17), photo(9, 2022, 17),
                  photo(10, 2020, 18), photo(11, 2021, 18), photo(12, 2022, 18)}) {
        std::vector<float> same(128, 0.0f), other(128, 0.0f);
        same[0] = 1.0f;
        other[1] = 1.0f;
        for (int64_t person : {5, 6, 7, 8}) {
            storetest::insertPerson(db(), person, person == 7 ? "Rosa & Co" : "");
            const int64_t first = 3 * (person - 5) + 1;
            for (int64_t asset : {first, first + 1, first + 2}) {
                db().db().run("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id) "
                              "VALUES(?,0.1,0.1,0.2,0.2,0.9,?,?)",
                              {asset, LibraryDB::encodeEmbedding(person == 8 ? other : same), person});
                db().db().run("UPDATE assets SET faces_done=1 WHERE id=?", {asset});
            }
        }
        store().reloadPeople();
        model->navigate(Route::people());
        model->push(Route::person(5));
    }
};

TEST(PersonHeader, MenuMergesIntoTheChosenPersonAndFollowsIt) {
    People s;
    PersonHeader header(*s.model, s.store(), *s.store().person(5));
    EXPECT_EQ(header.nameText(), "Add a name");
    EXPECT_EQ(header.countText(), "3 items");
    std::unique_ptr<QMenu> menu(header.makeMenu());
    ASSERT_EQ(titles(*menu), (std::vector<std::string>{"This Is the Same Person As>", "Don’t Show This Person"}));
    const QMenu& same = *menu->actions()[0]->menu();
    EXPECT_EQ(titles(same), (std::vector<std::string>{"Rosa && Co", "Unnamed (6)", "Unnamed (8)"}));

    action(same, "Unnamed (6)")->trigger();
    EXPECT_FALSE(s.store().person(5));
    EXPECT_EQ(s.store().person(6)->faceCount, 6);
    EXPECT_EQ(s.model->route(), Route::person(6));
    EXPECT_EQ(s.model->backStack(), (std::vector<Route>{Route::people()}));
}

TEST(PersonHeader, AStaleMenuChoiceChangesNothing) {
    People s;
    PersonHeader header(*s.model, s.store(), *s.store().person(5));
    std::unique_ptr<QMenu> menu(header.makeMenu());
    s.store().mergePerson(6, 8);  // 6 is gone before the choice is made
    action(*menu->actions()[0]->menu(), "Unnamed (6)")->trigger();
    EXPECT_TRUE(s.store().person(5));
    EXPECT_EQ(s.model->route(), Route::person(5));
    EXPECT_EQ(s.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id=6", {}), 0);
    EXPECT_EQ(s.db().db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id=5", {}), 3);
}

TEST(PersonHeader, SuggestionChipMergesIntoTheShownPersonAndStays) {
    People s;
    PersonHeader header(*s.model, s.store(), *s.store().person(5));
    ASSERT_TRUE(storetest::spinUntil([&] { return s.store().mergeSuggestions().count(5) == 1; }));
    header.setPerson(*s.store().person(5));
    ASSERT_FALSE(header.chipIDs().empty());
    EXPECT_EQ(PersonHeader::heightFor(s.store(), 5), 228);
    const int64_t chip = header.chipIDs().front();
    EXPECT_NE(chip, 8);  // the look-alikes only

    header.mergeSuggested(chip);
    EXPECT_FALSE(s.store().person(chip));
    EXPECT_TRUE(s.store().person(5));
    EXPECT_EQ(s.model->route(), Route::person(5));
    header.mergeSuggested(chip);  // again, from a chip not yet gone: nothing
    header.mergeSuggested(5);
    EXPECT_TRUE(s.store().person(5));
}

TEST(PersonHeader, HidingGoesBackAndTheMenuCapsItsList) {
    People s;
    for (int64_t id = 100; id < 145; ++id) {
        storetest::insertPerson(s.db(), id, "P" + std::to_string(id));
        storetest::insertFace(s.db(), 1, id);
    }
    s.store().reloadPeople();
    PersonHeader header(*s.model, s.store(), *s.store().person(5));
    std::unique_ptr<QMenu> menu(header.makeMenu());
    EXPECT_EQ(menu->actions()[0]->menu()->actions().size(), 40);

    action(*menu, "Don’t Show This Person")->trigger();
    EXPECT_TRUE(s.store().person(5)->hidden);
    EXPECT_EQ(s.model->route(), Route::people());

    // Alone, the menu holds only the hiding item.
    Screen lone({photo(1, 2020)});
    storetest::insertPerson(lone.db(), 5, "Solo");
    storetest::insertFace(lone.db(), 1, 5);
    lone.store().reloadPeople();
    PersonHeader solo(*lone.model, lone.store(), *lone.store().person(5));
    std::unique_ptr<QMenu> only(solo.makeMenu());
    EXPECT_EQ(titles(*only), (std::vector<std::string>{"Don’t Show This Person"}));
}

struct AlbumScreen : Screen {
    AlbumScreen() : Screen({photo(1, 2020)}) {
        album = store().createAlbum("Summer", {1});
        model->navigate(Route::albums());
        model->push(Route::album(album));
        MessageSheet::setPresenter([this](MessageSheet* box) { shown = box; });
    }
    ~AlbumScreen() {
        MessageSheet::setPresenter({});
        delete shown.data();
    }
    int64_t album = 0;
    QPointer<MessageSheet> shown;
};

TEST(AlbumHeader, DeleteCancelledKeepsTheAlbumAndTheRoute) {
    AlbumScreen s;
    AlbumHeader header(*s.model, s.store(), *s.store().album(s.album));
    header.deleteButton()->click();
    ASSERT_TRUE(s.shown);
    EXPECT_EQ(s.shown->heading(), "Delete the album “Summer”?");
    EXPECT_EQ(s.shown->message(), "The photos themselves stay in your library.");
    s.shown->cancelButton()->click();
    EXPECT_TRUE(s.store().album(s.album));
    EXPECT_EQ(s.model->route(), Route::album(s.album));
}

TEST(AlbumHeader, DeleteConfirmedGoesToTheAlbums) {
    AlbumScreen s;
    AlbumHeader header(*s.model, s.store(), *s.store().album(s.album));
    header.renameButton()->click();
    ASSERT_TRUE(s.model->renamePrompt());
    EXPECT_EQ(s.model->renamePrompt()->text, "Summer");

    header.confirmDelete();
    ASSERT_TRUE(s.shown);
    ASSERT_EQ(s.shown->confirmButton()->text(), "Delete Album");
    s.shown->confirmButton()->click();
    EXPECT_FALSE(s.store().album(s.album));
    EXPECT_TRUE(s.store().asset(1));  // the photo stays
    EXPECT_EQ(s.model->route(), Route::albums());
    EXPECT_TRUE(s.model->backStack().empty());
}

}  // namespace
