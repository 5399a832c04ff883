#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <future>
#include <random>

#include "Core/Places/PlaceResolver.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

// Time that only moves when the resolver sleeps or the test says so.
class FakeClock final : public ResolverClock {
public:
    double now() override {
        std::lock_guard lock(mutex);
        return t;
    }
    void sleep(double seconds, std::stop_token) override {
        std::lock_guard lock(mutex);
        sleeps.push_back(seconds);
        t += seconds;
    }
    void advance(double seconds) {
        std::lock_guard lock(mutex);
        t += seconds;
    }
    std::mutex mutex;
    double t = 1000;
    std::vector<double> sleeps;
};

// A backend standing in for a network service: it answers what the test
// scripts (an error, nothing, or one placemark) and may be held at a gate.
class ScriptedGeocoder final : public ReverseGeocoder {
public:
    explicit ScriptedGeocoder(double spacing) : spacing_(spacing) {}
    GeocodeAnswer reverseGeocode(double lat, double) override {
        std::shared_future<void> gate;
        {
            std::lock_guard lock(mutex);
            asked += 1;
            if (lat == gatedLatitude) gate = gateOpen;
        }
        if (gate.valid()) {
            entered.set_value();
            gate.wait();
        }
        std::lock_guard lock(mutex);
        if (fail) return GeocodeAnswer{"offline", {}};
        if (!placemark) return {};
        return GeocodeAnswer{std::nullopt, {*placemark, Placemark{"Other", "Other", {}, {}, {}}}};
    }
    double requestSpacing() const override { return spacing_; }
    int askedCount() {
        std::lock_guard lock(mutex);
        return asked;
    }

    std::mutex mutex;
    int asked = 0;
    bool fail = false;
    std::optional<Placemark> placemark = Placemark{"Rossio", "Lisbon", {}, "Lisbon District", "Portugal"};
    double gatedLatitude = NAN;
    std::shared_future<void> gateOpen;
    std::promise<void> entered;

private:
    double spacing_;
};

struct Fixture {
    explicit Fixture(double spacing = 0)
        : db(std::make_shared<LibraryDB>(dir / "library.sqlite")),
          geocoder(std::make_shared<ScriptedGeocoder>(spacing)),
          clock(std::make_shared<FakeClock>()),
          resolver(db, geocoder, clock) {}
    fixtures::TempDir dir;
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<ScriptedGeocoder> geocoder;
    std::shared_ptr<FakeClock> clock;
    PlaceResolver resolver;
};

const PlaceName lisbon{"Lisbon", "Lisbon District", "Portugal"};

}  // namespace

TEST(PlaceResolver, cacheKeyIsPrintfFormattingInEveryLocale) {
    EXPECT_EQ(PlaceResolver::cacheKey(38.7223, -9.1393), "38.72,-9.14");
    EXPECT_EQ(PlaceResolver::cacheKey(-33.8688, 151.2093), "-33.87,151.21");
    EXPECT_EQ(PlaceResolver::cacheKey(-0.001, -0.0), "-0.00,-0.00");

    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    char buf[64];
    for (int i = 0; i < 20000; ++i) {
        const double a = lat(rng), b = i % 7 == 0 ? std::round(lon(rng) * 200) / 200 : lon(rng);
        std::snprintf(buf, sizeof buf, "%.2f,%.2f", a, b);
        ASSERT_EQ(PlaceResolver::cacheKey(a, b), buf) << a << " " << b;
    }

    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "de_DE.UTF-8 locale missing";
    std::snprintf(buf, sizeof buf, "%.2f", 38.7223);
    const std::string german = buf;
    const std::string key = PlaceResolver::cacheKey(38.7223, -9.1393);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(german, "38,72");
    EXPECT_EQ(key, "38.72,-9.14");
}

TEST(PlaceResolver, answersFromTheCacheWithoutAskingOrWaiting) {
    Fixture f(1.3);
    EXPECT_EQ(f.resolver.resolve(38.7223, -9.1393), lisbon);
    EXPECT_EQ(f.geocoder->askedCount(), 1);
    // Same key, asked at once: no request and no wait.
    EXPECT_EQ(f.resolver.resolve(38.7249, -9.1351), lisbon);
    EXPECT_EQ(f.geocoder->askedCount(), 1);
    EXPECT_TRUE(f.clock->sleeps.empty());
    EXPECT_EQ(f.db->cachedPlace("38.72,-9.14"), lisbon);

    // The cache outlives the resolver.
    PlaceResolver again(f.db, f.geocoder, f.clock);
    EXPECT_EQ(again.resolve(38.72, -9.14), lisbon);
    EXPECT_EQ(f.geocoder->askedCount(), 1);

    // A remembered empty answer is a name without parts, not nothing.
    f.db->cachePlace("0.00,-30.00", PlaceName{});
    EXPECT_EQ(f.resolver.resolve(0, -30), PlaceName{});
    EXPECT_EQ(f.geocoder->askedCount(), 1);
}

TEST(PlaceResolver, emptyAnswersAreNeitherCachedNorFailures) {
    Fixture f;
    f.geocoder->placemark.reset();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(f.resolver.resolve(10, 10), std::nullopt);
    EXPECT_EQ(f.geocoder->askedCount(), 6);
    EXPECT_EQ(f.resolver.failures(), 0);
    EXPECT_EQ(f.db->cachedPlace("10.00,10.00"), std::nullopt);
}

TEST(PlaceResolver, givesUpAfterFourFailuresUntilResetOrSuccess) {
    Fixture f;
    f.geocoder->fail = true;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(f.resolver.resolve(i, 0), std::nullopt);
    EXPECT_EQ(f.resolver.failures(), 3);
    // Three failures do not stop it: the fourth request is still made.
    EXPECT_EQ(f.resolver.resolve(3, 0), std::nullopt);
    EXPECT_EQ(f.geocoder->askedCount(), 4);
    // Now only the cache answers.
    f.geocoder->fail = false;
    EXPECT_EQ(f.resolver.resolve(4, 0), std::nullopt);
    EXPECT_EQ(f.geocoder->askedCount(), 4);
    f.db->cachePlace("5.00,0.00", lisbon);
    EXPECT_EQ(f.resolver.resolve(5, 0), lisbon);
    EXPECT_EQ(f.db->cachedPlace("0.00,0.00"), std::nullopt);  // failures are not remembered

    f.resolver.resetFailures();
    EXPECT_EQ(f.resolver.resolve(4, 0), lisbon);
    EXPECT_EQ(f.geocoder->askedCount(), 5);

    // A success clears the count: three failures, a success, three more, and still asking.
    f.geocoder->fail = true;
    for (int i = 0; i < 3; ++i) f.resolver.resolve(20 + i, 0);
    f.geocoder->fail = false;
    EXPECT_EQ(f.resolver.resolve(30, 0), lisbon);
    EXPECT_EQ(f.resolver.failures(), 0);
    f.geocoder->fail = true;
    for (int i = 0; i < 4; ++i) f.resolver.resolve(40 + i, 0);
    EXPECT_EQ(f.geocoder->askedCount(), 5 + 3 + 1 + 4);
}

TEST(PlaceResolver, takesTheFirstPlacemarksTownElseAreaElseName) {
    Fixture f;
    f.geocoder->placemark = Placemark{"Cabo da Roca", std::nullopt, "Sintra", "Lisbon District", "Portugal"};
    EXPECT_EQ(f.resolver.resolve(38.78, -9.5), (PlaceName{"Sintra", "Lisbon District", "Portugal"}));
    f.geocoder->placemark = Placemark{"Cabo da Roca", std::nullopt, std::nullopt, std::nullopt, "Portugal"};
    EXPECT_EQ(f.resolver.resolve(38.79, -9.5), (PlaceName{"Cabo da Roca", std::nullopt, "Portugal"}));
    // Absent parts are stored as absent, and come back so from the cache.
    EXPECT_EQ(f.db->cachedPlace("38.79,-9.50"), (PlaceName{"Cabo da Roca", std::nullopt, "Portugal"}));
}

TEST(PlaceResolver, spacesRequestsAsTheBackendDemands) {
    Fixture f(1.3);
    f.resolver.resolve(1, 1);
    EXPECT_TRUE(f.clock->sleeps.empty());  // the first request waits for nothing
    f.clock->advance(0.5);
    f.resolver.resolve(2, 2);
    ASSERT_EQ(f.clock->sleeps.size(), 1u);
    EXPECT_NEAR(f.clock->sleeps[0], 0.8, 1e-9);
    // Spacing counts from when the last request started, after its wait.
    f.clock->advance(2.0);
    f.resolver.resolve(3, 3);
    EXPECT_EQ(f.clock->sleeps.size(), 1u);
    // Failed requests are spaced too.
    f.geocoder->fail = true;
    f.resolver.resolve(4, 4);
    ASSERT_EQ(f.clock->sleeps.size(), 2u);
    EXPECT_NEAR(f.clock->sleeps[1], 1.3, 1e-9);

    // A backend without a rate limit is never waited for.
    Fixture offline(0);
    for (int i = 0; i < 5; ++i) offline.resolver.resolve(i, i);
    EXPECT_TRUE(offline.clock->sleeps.empty());
    EXPECT_EQ(offline.geocoder->askedCount(), 5);
}

TEST(PlaceResolver, aLookupNeverQueuesBehindAnotherThatIsWaitingForTheGeocoder) {
    Fixture f;
    f.db->cachePlace("1.00,1.00", lisbon);
    std::promise<void> open;
    f.geocoder->gatedLatitude = 50;
    f.geocoder->gateOpen = open.get_future().share();
    auto entered = f.geocoder->entered.get_future();

    auto slow = std::async(std::launch::async, [&] { return f.resolver.resolve(50, 0); });
    ASSERT_EQ(entered.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // While that request hangs: a cached answer and a fresh request both complete.
    EXPECT_EQ(f.resolver.resolve(1, 1), lisbon);
    EXPECT_EQ(f.resolver.resolve(2, 2), lisbon);
    EXPECT_EQ(slow.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    open.set_value();
    EXPECT_EQ(slow.get(), lisbon);
}

TEST(PlaceResolver, systemClockSleepEndsWhenStopped) {
    std::stop_source stop;
    stop.request_stop();
    const auto t0 = std::chrono::steady_clock::now();
    ResolverClock::system()->sleep(30, stop.get_token());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

    const auto clock = ResolverClock::system();
    const double a = clock->now();
    clock->sleep(0.02, {});
    EXPECT_GE(clock->now() - a, 0.02);
}
