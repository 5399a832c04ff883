#include "Core/Engine/TripPass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <thread>

#include "Core/Places/Geocoder.h"
#include "Core/Search/AssetSearch.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

constexpr double kJan2023 = 1672531200;  // 2023-01-01 00:00 wall clock
constexpr double kDay = 86400;

struct CountingDelegate : EngineDelegate {
    std::atomic<int> tripsUpdated{0};
    void engineDidUpsert(const std::vector<Asset>&) override {}
    void engineDidRemove(const std::vector<int64_t>&) override {}
    void engineDidUpdateTrips() override { ++tripsUpdated; }
    void engineDidUpdatePeople() override {}
    void engineDidChangeStatus(const EngineStatus&) override {}
    void engineDidGoOffline() override {}
    void engineDidHalt(EngineHalt) override {}
};

// Answers one fixed place; the first request can be held until released,
// so a test can act while naming is in the middle of a trip.
struct FakeGeocoder : ReverseGeocoder {
    std::mutex mutex;
    std::condition_variable cv;
    bool holdFirst = false;
    bool entered = false;
    bool released = false;
    int calls = 0;
    std::string firstLocality = "Paris";
    std::string locality = "Paris";

    GeocodeAnswer reverseGeocode(double, double) override {
        std::unique_lock lock(mutex);
        int call = ++calls;
        if (call == 1 && holdFirst) {
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return released; });
        }
        Placemark p;
        p.locality = call == 1 ? firstLocality : locality;
        p.administrativeArea = "Île-de-France";
        p.country = "France";
        return {std::nullopt, {p}};
    }
    double requestSpacing() const override { return 0; }

    void waitEntered() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
};

class TripPassTest : public ::testing::Test {
protected:
    fixtures::TempDir dir;
    std::shared_ptr<LibraryDB> db = std::make_shared<LibraryDB>(dir / "library.sqlite");
    std::shared_ptr<FakeGeocoder> geocoder = std::make_shared<FakeGeocoder>();
    std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
    ManualMainQueue mainQueue;
    std::unique_ptr<TripPass> pass;
    int nextPath = 0;

    void SetUp() override { makePass(); }

    // A pass as a newly opened library has it, naming through `places`
    // (the fake geocoder unless told).
    void makePass(std::shared_ptr<ReverseGeocoder> places = nullptr) {
        pass.reset();
        auto resolver = std::make_shared<PlaceResolver>(db, places ? places : geocoder);
        pass = std::make_unique<TripPass>(db, resolver, mainQueue.poster(), delegate);
    }

    void addPhoto(double taken, double lat, double lon) {
        db->db().run(
            "INSERT INTO assets(path, kind, size, mtime, taken, lat, lon, meta_done, thumb) VALUES(?,0,1,0,?,?,?,1,1)",
            {"p" + std::to_string(nextPath++) + ".jpg", taken, lat, lon});
    }

    // Home in Lisbon, one photo a week for 40 weeks, and ten photos in
    // Paris over a July weekend.
    void makeLibrary() {
        for (int w = 0; w < 40; ++w) addPhoto(kJan2023 + 2 * kDay + w * 7 * kDay + 3600, 38.72, -9.14);
        for (int i = 0; i < 10; ++i) addPhoto(kJan2023 + 190 * kDay + i * 7200, 48.8566, 2.3522);
    }

    // Every stored byte of the table: texts as stored, reals to the last bit.
    std::string tripsDump() {
        std::string out;
        db->db().forEachRow("SELECT *, typeof(start), typeof(lat) FROM trips ORDER BY id", {}, [&](const Row& r) {
            for (int c = 0; c < 13; ++c) {
                if (r.isNull(c)) {
                    out += "NULL|";
                } else if (c >= 4 && c <= 7) {
                    char buf[32];
                    auto end = std::to_chars(buf, buf + sizeof buf, r.dbl(c)).ptr;
                    out += std::string(buf, end) + "|";
                } else {
                    out += r.text(c) + "|";
                }
            }
            out += "\n";
        });
        return out;
    }

    std::vector<Trip> namedTrips() {
        EXPECT_TRUE(pass->waitForNaming(std::chrono::seconds(10)));
        mainQueue.drain();
        return db->loadTrips();
    }
};

TEST_F(TripPassTest, DetectsNamesAndLeavesAnUnchangedLibraryAlone) {
    makeLibrary();
    pass->detectTrips();
    auto trips = namedTrips();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(trips[0].autoTitle, "Paris");
    EXPECT_EQ(trips[0].subtitle, "Île-de-France, France");
    EXPECT_TRUE(trips[0].named);
    EXPECT_NEAR(trips[0].lat, 48.8566, 1e-9);
    EXPECT_EQ(pass->tripStops().count(trips[0].id), 1u);
    EXPECT_GE(delegate->tripsUpdated, 2);  // detection, then naming

    // The user's choices survive re-detection, and nothing else is written.
    db->db().run("UPDATE trips SET custom_title='Summer', hidden=1, cover_asset=3 WHERE id=?", {trips[0].id});
    std::string before = tripsDump();
    int callsBefore = geocoder->calls;
    pass->detectTrips();
    namedTrips();
    EXPECT_EQ(tripsDump(), before);
    EXPECT_EQ(geocoder->calls, callsBefore);

    // After a restart the stops are gone from memory, but a named trip is
    // not named again.
    makePass();
    pass->detectTrips();
    namedTrips();
    EXPECT_EQ(tripsDump(), before);
}

TEST_F(TripPassTest, CentreMovingFarMakesTheTripUnnamedAndNamesItAgain) {
    makeLibrary();
    pass->detectTrips();
    auto first = namedTrips();
    ASSERT_EQ(first.size(), 1u);

    // The same weekend, but the photos now say Lyon (about 390 km away).
    db->db().run("UPDATE assets SET lat=45.764, lon=4.8357 WHERE lat > 48");
    geocoder->locality = "Lyon";
    pass->detectTrips();
    auto second = namedTrips();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].id, first[0].id);
    EXPECT_NEAR(second[0].lat, 45.764, 1e-9);
    EXPECT_EQ(second[0].autoTitle, "Lyon");
    EXPECT_TRUE(second[0].named);

    // A move of a few kilometres keeps the name and the centre.
    db->db().run("UPDATE assets SET lat=45.80 WHERE lat > 45 AND lat < 46");
    geocoder->locality = "Elsewhere";
    pass->detectTrips();
    auto third = namedTrips();
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].autoTitle, "Lyon");
    EXPECT_NEAR(third[0].lat, 45.764, 1e-9);

    // A day more at the end: the span and centre follow, the name stays.
    db->db().run("UPDATE trips SET custom_title='Lyon trip'");
    const double later = second[0].end + kDay;
    addPhoto(later, 45.80, 4.8357);
    pass->detectTrips();
    auto fourth = namedTrips();
    ASSERT_EQ(fourth.size(), 1u);
    EXPECT_EQ(fourth[0].id, first[0].id);
    EXPECT_EQ(fourth[0].end, later);
    EXPECT_NEAR(fourth[0].lat, 45.80, 1e-9);
    EXPECT_EQ(fourth[0].autoTitle, "Lyon");
    EXPECT_EQ(fourth[0].customTitle, "Lyon trip");
    EXPECT_TRUE(fourth[0].named);
}

// Paris, Brussels and Aachen on one journey, named by the real offline
// geocoder. Photos that move to another town of the trip, three photos at
// home in the middle of it (splitting it), and photos of another town found
// after a restart: each time the trips are named for the places they keep,
// a title the user gave is kept, and a search for a country finds only the
// photos of the trip that went there.
TEST_F(TripPassTest, ATripWhosePlacesChangeIsNamedForThePlacesItKeeps) {
    makePass(OfflineGeocoder::shared());
    for (int w = 0; w < 40; ++w) addPhoto(kJan2023 + 2 * kDay + w * 7 * kDay + 3600, 38.72, -9.14);
    const double day = kJan2023 + 190 * kDay;
    for (int i = 0; i < 8; ++i) addPhoto(day + 9 * 3600 + i * 2400, 48.8566, 2.3522);
    for (int i = 0; i < 6; ++i) addPhoto(day + kDay + 9 * 3600 + i * 1800, 50.8467, 4.3525);
    for (int i = 0; i < 6; ++i) addPhoto(day + 2 * kDay + 9 * 3600 + i * 1800, 50.7753, 6.0839);
    // The trips after a detection, earliest first, once named.
    std::vector<Trip> trips;
    auto detect = [&] {
        pass->detectTrips();
        trips = namedTrips();
        std::sort(trips.begin(), trips.end(), [](const Trip& a, const Trip& b) { return a.start < b.start; });
        std::vector<std::string> titles;
        for (const Trip& t : trips)
            titles.push_back(t.customTitle.value_or("") + " | " + t.autoTitle + " | " + t.subtitle);
        return titles;
    };
    using Titles = std::vector<std::string>;

    EXPECT_EQ(detect(), Titles{" | Paris, Brussels & more | Belgium \u00B7 France \u00B7 Germany"});
    const int64_t id = trips.at(0).id;

    // The Brussels photos were taken in Antwerp: the centre stays in Paris,
    // the span stays, the places do not.
    db->db().run("UPDATE assets SET lat=51.2194, lon=4.4025 WHERE lat > 50.8 AND lat < 50.9");
    EXPECT_EQ(detect(), Titles{" | Paris, Antwerp & more | Belgium \u00B7 France \u00B7 Germany"});

    db->db().run("UPDATE trips SET custom_title='Summer'");
    for (int i = 0; i < 3; ++i) addPhoto(day + 20 * 3600 + i * 600, 38.72, -9.14);
    EXPECT_EQ(detect(), (Titles{"Summer | Paris | Île-de-France Region, France",
                                " | Antwerp & Aachen | Belgium \u00B7 Germany"}));
    ASSERT_EQ(trips.size(), 2u);
    EXPECT_EQ(trips[0].id, id);
    EXPECT_TRUE(trips[0].named && trips[1].named);

    const std::vector<Asset> assets = db->loadAssets();
    SearchSources sources;
    sources.trips = &trips;
    AssetSearch search;
    auto found = [&](const char* text) {
        std::vector<double> lats;
        for (const Asset& a : search.search(assets, text, sources)) lats.push_back(*a.lat);
        return lats;
    };
    EXPECT_EQ(found("belgium").size(), 12u);
    for (double lat : found("belgium")) EXPECT_GT(lat, 50) << "only the photos of Antwerp and Aachen";
    EXPECT_EQ(found("france").size(), 8u);
    EXPECT_EQ(found("summer").size(), 8u);

    // Photos of an afternoon in Reims join the Paris part while the library
    // is closed: found at the first detection after opening, when the
    // trip's earlier stops are not known.
    for (int i = 0; i < 3; ++i) addPhoto(day + 15 * 3600 + i * 1800, 49.2583, 4.0317);
    makePass(OfflineGeocoder::shared());
    EXPECT_EQ(detect(), (Titles{"Summer | Paris & Reims | France", " | Antwerp & Aachen | Belgium \u00B7 Germany"}));
    EXPECT_EQ(trips.at(0).id, id);
}

TEST_F(TripPassTest, TripsWithoutGeotaggedPhotosAreRemoved) {
    makeLibrary();
    pass->detectTrips();
    ASSERT_EQ(namedTrips().size(), 1u);
    int updates = delegate->tripsUpdated;
    db->db().run("UPDATE assets SET lat=NULL, lon=NULL");
    pass->detectTrips();
    EXPECT_TRUE(namedTrips().empty());
    EXPECT_TRUE(pass->tripStops().empty());
    EXPECT_EQ(delegate->tripsUpdated, updates + 1);
}

TEST_F(TripPassTest, AFailedReadOfTheAssetsKeepsEveryTrip) {
    makeLibrary();
    pass->detectTrips();
    ASSERT_EQ(namedTrips().size(), 1u);
    db->db().run("UPDATE trips SET custom_title='Summer'");
    std::string before = tripsDump();
    int updates = delegate->tripsUpdated;

    // The asset query now fails while the trips table stays writable.
    db->db().exec("ALTER TABLE assets RENAME COLUMN lat TO latitude");
    pass->detectTrips();
    namedTrips();
    EXPECT_EQ(tripsDump(), before);
    EXPECT_EQ(delegate->tripsUpdated, updates);
}

TEST_F(TripPassTest, ARenameDuringNamingSurvives) {
    makeLibrary();
    geocoder->holdFirst = true;
    pass->detectTrips();
    geocoder->waitEntered();

    // What the store does when the user renames, dismisses and picks a cover.
    auto id = db->loadTrips().at(0).id;
    db->db().run("UPDATE trips SET custom_title='Our weekend', hidden=1, cover_asset=42 WHERE id=?", {id});
    geocoder->release();

    auto trips = namedTrips();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(trips[0].customTitle, "Our weekend");
    EXPECT_TRUE(trips[0].hidden);
    EXPECT_EQ(trips[0].coverAssetID, 42);
    EXPECT_EQ(trips[0].autoTitle, "Paris");
    EXPECT_TRUE(trips[0].named);
}

TEST_F(TripPassTest, ANewDetectionCancelsTheRunningNaming) {
    makeLibrary();
    geocoder->holdFirst = true;
    geocoder->firstLocality = "Stale";
    pass->detectTrips();
    geocoder->waitEntered();

    // The second run names the trip while the first is still waiting.
    pass->detectTrips();
    auto id = db->loadTrips().at(0).id;
    for (int i = 0; i < 500 && !db->loadTrips().at(0).named; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    geocoder->release();

    auto trips = namedTrips();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(trips[0].id, id);
    EXPECT_EQ(trips[0].autoTitle, "Paris");
}

TEST_F(TripPassTest, StopEndsNamingAndStartsNoMore) {
    makeLibrary();
    geocoder->holdFirst = true;
    pass->detectTrips();
    geocoder->waitEntered();
    pass->stop();
    geocoder->release();
    auto trips = namedTrips();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_FALSE(trips[0].named);
    EXPECT_EQ(trips[0].autoTitle, "Trip in July");

    pass->detectTrips();
    EXPECT_TRUE(pass->waitForNaming(std::chrono::seconds(1)));
    EXPECT_FALSE(db->loadTrips().at(0).named);
}

}  // namespace
