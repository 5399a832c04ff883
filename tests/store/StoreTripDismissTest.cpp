// "This isn't a trip" and "Bring Back": only the hidden flag is written,
// against the row as it stands in the index.

#include <gtest/gtest.h>

#include "StoreFixture.h"

using namespace storetest;

TEST(StoreTrips, DismissAndBringBackWriteOnlyTheHiddenFlag) {
    Library lib;
    lib.db().db().run("INSERT INTO trips(id, title, subtitle, start, end) VALUES(1, 'Lisbon', 'Portugal', 100, 400)");
    lib.store->start(false);
    ASSERT_TRUE(lib.store->trip(1));

    // Named and re-detected behind the store's back, after its list was loaded.
    lib.db().db().run("UPDATE trips SET custom_title='Holiday', end=900, cover_asset=7 WHERE id=1");
    const int collections = lib.store->collectionsRevision();
    for (bool hidden : {true, false}) {
        SignalLog log(*lib.store);
        lib.store->setTripHidden(1, hidden);
        const std::vector<Trip> rows = lib.db().loadTrips();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].hidden, hidden);
        EXPECT_EQ(rows[0].customTitle, "Holiday");
        EXPECT_EQ(rows[0].end, 900);
        EXPECT_EQ(rows[0].coverAssetID, 7);
        EXPECT_EQ(rows[0].subtitle, "Portugal");
        EXPECT_EQ(lib.store->trip(1)->hidden, hidden);
        EXPECT_EQ(lib.store->visibleTrips().size(), hidden ? 0u : 1u);
        EXPECT_TRUE(log.has("trips"));
    }
    EXPECT_EQ(lib.store->collectionsRevision(), collections + 2);

    // A trip the store does not hold is left alone, as is the index.
    lib.db().db().run("INSERT INTO trips(id, title, start, end) VALUES(2, 'Rome', 500, 600)");
    lib.store->setTripHidden(2, true);
    EXPECT_EQ(lib.db().db().scalarInt("SELECT hidden FROM trips WHERE id=2", {}), 0);
    EXPECT_EQ(lib.store->collectionsRevision(), collections + 2);
}
