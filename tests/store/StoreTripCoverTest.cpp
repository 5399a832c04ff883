// A trip's cover is one of its photos: the one the user chose while it lies
// in the trip, through the trip pass's splits and joins.

#include <gtest/gtest.h>

#include <algorithm>

#include "Core/Engine/TripPass.h"
#include "Core/Places/Geocoder.h"
#include "StoreFixture.h"

using namespace storetest;

namespace {

constexpr double kJan2023 = 1672531200;  // 2023-01-01 00:00 wall clock
constexpr double kDay = 86400;

}  // namespace

// Home in Lisbon, and a July journey from Paris through Brussels to Aachen
// whose cover the user chose in Aachen. Photos taken at home on the first
// evening split it: the Paris part keeps the trip's row, title and chosen
// cover, but shows one of its own photos; when the home photos go, the
// journey is whole again and its cover is the one chosen.
TEST(StoreTrips, ATripsCoverIsOneOfItsPhotosThroughASplitAndAJoin) {
    Library lib;
    int64_t next = 1;
    auto add = [&](double taken, double lat, double lon) {
        const int64_t id = next++;
        Asset a = makeAsset(id, "p" + std::to_string(id) + ".jpg", taken);
        a.lat = lat;
        a.lon = lon;
        insertAsset(lib.db(), a);
        return a;
    };
    for (int w = 0; w < 40; ++w) add(kJan2023 + 2 * kDay + w * 7 * kDay + 3600, 38.72, -9.14);
    const double day = kJan2023 + 190 * kDay;
    for (int i = 0; i < 8; ++i) add(day + 9 * 3600 + i * 2400, 48.8566, 2.3522);
    for (int i = 0; i < 6; ++i) add(day + kDay + 9 * 3600 + i * 1800, 50.8467, 4.3525);
    int64_t aachen = 0;
    for (int i = 0; i < 6; ++i) aachen = add(day + 2 * kDay + 9 * 3600 + i * 1800, 50.7753, 6.0839).id;
    lib.store->start(false);
    ASSERT_TRUE(spinUntil([&] { return lib.store->hasLoaded(); }));

    // The pass the engine runs, on the library's index.
    const std::shared_ptr<LibraryDB> db(std::shared_ptr<LibraryDB>{}, &lib.db());
    TripPass pass(db, std::make_shared<PlaceResolver>(db, OfflineGeocoder::shared()), {}, {});
    auto detect = [&] {
        pass.detectTrips();
        lib.store->engineDidUpdateTrips();
        std::vector<Trip> trips = lib.store->trips();
        std::sort(trips.begin(), trips.end(), [](const Trip& a, const Trip& b) { return a.start < b.start; });
        return trips;
    };
    auto isPhotoOf = [&](const Trip& t, std::optional<int64_t> id) {
        const auto a = id ? lib.store->asset(*id) : std::nullopt;
        return a && a->taken >= t.start && a->taken <= t.end;
    };

    std::vector<Trip> trips = detect();
    ASSERT_EQ(trips.size(), 1u);
    const int64_t journey = trips[0].id;
    Trip chosen = trips[0];
    chosen.coverAssetID = aachen;  // "Use as Trip Cover"
    lib.db().updateTrip(chosen);
    lib.store->engineDidUpdateTrips();
    EXPECT_EQ(lib.store->coverID(*lib.store->trip(journey)), aachen);

    std::vector<Asset> home;
    for (int i = 0; i < 3; ++i) home.push_back(add(day + 20 * 3600 + i * 600, 38.72, -9.14));
    lib.store->engineDidUpsert(home);
    trips = detect();
    ASSERT_EQ(trips.size(), 2u);
    const Trip& paris = trips[0];
    ASSERT_EQ(paris.id, journey);
    EXPECT_EQ(paris.coverAssetID, aachen) << "the choice stays with the trip's row";
    const std::optional<int64_t> shown = lib.store->coverID(paris);
    EXPECT_NE(shown, aachen);
    EXPECT_TRUE(isPhotoOf(paris, shown)) << "the Paris part shows one of its own photos";
    EXPECT_TRUE(isPhotoOf(trips[1], lib.store->coverID(trips[1])));

    for (const Asset& a : home) lib.db().db().run("DELETE FROM assets WHERE id=?", {a.id});
    lib.store->engineDidRemove({home[0].id, home[1].id, home[2].id});
    trips = detect();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(trips[0].id, journey);
    EXPECT_EQ(lib.store->coverID(trips[0]), aachen) << "the cover chosen comes back with the whole journey";
}
