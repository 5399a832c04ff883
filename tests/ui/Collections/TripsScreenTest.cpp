#include <gtest/gtest.h>

#include <QPushButton>

#include "CollectionsFixture.h"
#include "UI/Collections/TripsScreen.h"
#include "UI/Kit/EmptyState.h"
#include "fixtures/MediaFixtures.h"

using namespace collectionstest;

namespace {

void insertTrip(LibraryDB& db, int64_t id, const std::string& title, double start, double end, bool hidden = false) {
    db.db().run("INSERT INTO trips(id, title, subtitle, start, end, hidden) VALUES(?,?,'',?,?,?)",
                {id, title, start, end, hidden ? 1 : 0});
}

Asset located(int64_t id, double taken) {
    Asset a = makeAsset(id, "p/" + std::to_string(id) + ".jpg", taken);
    a.lat = 38.7;
    a.lon = -9.1;
    return a;
}

}  // namespace

TEST(TripsScreen, emptyStateFollowsTheEngineAndTheLocatedPhotos) {
    std::vector<Asset> assets{makeAsset(100, "plain.jpg", 1.6e9)};
    for (int i = 1; i <= 19; ++i) assets.push_back(located(i, 1.6e9 + i));
    Fixture f(assets);
    f.open();
    TripsScreen screen(f.model);
    struct Case {
        std::function<void()> change;
        const char* symbol;
        const char* title;
    };
    const std::vector<Case> cases{
        {[&] { f.lib.store->engineDidChangeStatus(EngineStatus::indexing(3, 40)); }, "suitcase",
         "Trips appear on their own"},
        {[&] { f.lib.store->engineDidChangeStatus(EngineStatus::scanning()); }, "suitcase", "Trips appear on their own"},
        {[&] { f.lib.store->engineDidChangeStatus(EngineStatus::idle()); }, "location.slash", "No trips found yet"},
        {[&] { f.lib.store->engineDidUpsert({located(20, 1.6e9 + 20)}); }, "suitcase", "No trips found yet"},
    };
    for (const Case& c : cases) {
        c.change();
        ASSERT_TRUE(screen.showsEmptyState());
        EXPECT_EQ(screen.emptyState()->symbol(), c.symbol) << c.title;
        EXPECT_EQ(screen.emptyState()->title(), c.title) << c.symbol;
        EXPECT_FALSE(screen.emptyState()->actionButton()) << "no button on the trips' empty state";
    }
}

TEST(TripsScreen, yearsRunNewestFirstByTheStartsCalendarDate) {
    Fixture f({makeAsset(1, "a.jpg", fixtures::wallClock(2023, 12, 31, 20)),
               makeAsset(2, "b.jpg", fixtures::wallClock(2024, 1, 1, 9))});
    insertTrip(f.db(), 1, "Lisbon", fixtures::wallClock(2023, 12, 31, 23, 30), fixtures::wallClock(2024, 1, 2));
    insertTrip(f.db(), 2, "Porto", fixtures::wallClock(2024, 1, 1, 0, 10), fixtures::wallClock(2024, 1, 3));
    insertTrip(f.db(), 3, "Faro", fixtures::wallClock(2023, 12, 31, 8), fixtures::wallClock(2023, 12, 31, 21));
    f.open();
    TripsScreen screen(f.model);
    screen.resize(1000, 700);
    ASSERT_FALSE(screen.showsEmptyState());
    ASSERT_EQ(screen.groups().size(), 2u);
    EXPECT_EQ(screen.groups()[0].year, 2024);
    EXPECT_EQ(screen.groups()[1].year, 2023);
    ASSERT_EQ(screen.groups()[1].trips.size(), 2u);
    EXPECT_EQ(screen.groups()[1].trips[0].id, 1);  // newest start first within the year
    // The card: its own title, the span and the items it holds (one photo on 31 December at 20:00).
    EXPECT_EQ(screen.titleOf(3), "Faro");
    EXPECT_TRUE(screen.detailOf(3).endsWith(QStringLiteral("  \u00b7  1 item"))) << screen.detailOf(3).toStdString();
    EXPECT_FALSE(screen.dismissedButton());

    // A click opens the trip, on top of the overview.
    f.model.navigate(Route::trips());
    screen.show();
    const QRectF card = *screen.canvas()->cardRect(TripsScreen::card(2));
    EXPECT_NEAR(card.width() / card.height(), 1.5, 0.01);
    QTest::mouseClick(screen.canvas()->viewport(), Qt::LeftButton, {}, card.center().toPoint());
    EXPECT_EQ(f.model.route(), Route::trip(2));
    EXPECT_EQ(f.model.backStack(), std::vector<Route>{Route::trips()});
}

TEST(TripsScreen, dismissingKeepsWhatTheEngineWroteMeanwhile) {
    Fixture f;
    insertTrip(f.db(), 1, "Lisbon", fixtures::wallClock(2022, 5, 1), fixtures::wallClock(2022, 5, 3));
    insertTrip(f.db(), 2, "Rome", fixtures::wallClock(2021, 5, 1), fixtures::wallClock(2021, 5, 3));
    f.open();
    TripsScreen screen(f.model);
    screen.resize(1000, 700);
    screen.canvas()->openMenu(TripsScreen::card(1), {});
    ASSERT_TRUE(f.caught.menu);
    EXPECT_EQ(f.caught.texts(), "Open|Rename Trip\u2026|This Isn\u2019t a Trip");

    // The engine names the trip and widens it after the card was made.
    f.db().db().run("UPDATE trips SET custom_title='Spring in Lisbon', end=? WHERE id=1",
                    {fixtures::wallClock(2022, 5, 9)});
    f.caught.action(QStringLiteral("This Isn\u2019t a Trip"))->trigger();
    const std::vector<Trip> rows = f.db().loadTrips();
    const auto lisbon = std::find_if(rows.begin(), rows.end(), [](const Trip& t) { return t.id == 1; });
    ASSERT_NE(lisbon, rows.end());
    EXPECT_TRUE(lisbon->hidden);
    EXPECT_EQ(lisbon->customTitle, "Spring in Lisbon");
    EXPECT_EQ(lisbon->end, fixtures::wallClock(2022, 5, 9));
    delete f.caught.menu.data();

    // Its year went with it; the button offers it back, and unfolds it faded.
    ASSERT_EQ(screen.groups().size(), 1u);
    EXPECT_EQ(screen.groups()[0].year, 2021);
    ASSERT_TRUE(screen.dismissedButton());
    EXPECT_EQ(screen.dismissedButton()->text(), "Show 1 dismissed trip");
    EXPECT_FALSE(screen.canvas()->cardRect(TripsScreen::card(1)));
    screen.dismissedButton()->click();
    EXPECT_EQ(screen.dismissedButton()->text(), "Hide dismissed trips");
    ASSERT_TRUE(screen.canvas()->cardRect(TripsScreen::card(1)));
    EXPECT_EQ(screen.canvas()->blocks().back().opacity, 0.6);

    // "Bring Back" from the faded card.
    screen.canvas()->openMenu(TripsScreen::card(1), {});
    ASSERT_TRUE(f.caught.action(QStringLiteral("Bring Back")));
    f.caught.action(QStringLiteral("Bring Back"))->trigger();
    delete f.caught.menu.data();
    EXPECT_EQ(screen.groups().size(), 2u);
    EXPECT_EQ(screen.titleOf(1), "Spring in Lisbon");
    EXPECT_FALSE(screen.dismissedButton());
}

TEST(TripsScreen, onlyDismissedTripsShowTheButtonAlone) {
    Fixture f;
    insertTrip(f.db(), 1, "Lisbon", 1.6e9, 1.6e9 + 86400, true);
    insertTrip(f.db(), 2, "Rome", 1.5e9, 1.5e9 + 86400, true);
    f.open();
    TripsScreen screen(f.model);
    ASSERT_FALSE(screen.showsEmptyState());
    EXPECT_TRUE(screen.groups().empty());
    ASSERT_TRUE(screen.dismissedButton());
    EXPECT_EQ(screen.dismissedButton()->text(), "Show 2 dismissed trips");

    // Renaming starts from the title shown now, the automatic one when the custom one is empty.
    f.db().db().run("UPDATE trips SET custom_title='' WHERE id=2");
    screen.dismissedButton()->click();
    screen.canvas()->openMenu(TripsScreen::card(2), {});
    f.caught.action(QStringLiteral("Rename Trip\u2026"))->trigger();
    ASSERT_TRUE(f.model.renamePrompt());
    EXPECT_EQ(f.model.renamePrompt()->text, "Rome");
    EXPECT_EQ(f.model.renamePrompt()->title, "Rename Trip");
    EXPECT_EQ(f.model.renamePrompt()->target, (AppModel::RenamePrompt::Target{AppModel::RenamePrompt::Target::Kind::trip, 2}));
}
