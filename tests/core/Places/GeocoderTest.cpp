#include <gtest/gtest.h>

#include <geonames.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "Core/Places/Geocoder.h"
#include "Core/Places/PlaceResolver.h"
#include "Core/Base/WallClock.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

struct Expect {
    double lat, lon;
    std::optional<std::string> locality, admin, country;
};

std::optional<Placemark> placemark(std::optional<std::string> city, std::optional<std::string> state,
                                   std::optional<std::string> country) {
    if (!city) return std::nullopt;
    return Placemark{city, city, std::nullopt, std::move(state), std::move(country)};
}

}  // namespace

TEST(Geocoder, namesWellKnownPlacesAndNothingFarFromAnyCity) {
    OfflineGeocoder g;
    EXPECT_EQ(g.requestSpacing(), 0);
    EXPECT_EQ(g.cityCount(), size_t(geonames_get_n_cities()));
    const std::vector<Expect> cases = {
        {38.7223, -9.1393, "Lisbon", "Lisbon District", "Portugal"},
        {52.52, 13.405, "Berlin", "Berlin", "Germany"},
        {35.6762, 139.6503, "Tokyo", "Tokyo", "Japan"},
        {-33.8688, 151.2093, "Sydney", "New South Wales", "Australia"},
        {64.1466, -21.9426, "Reykjavik", "Capital Region", "Iceland"},
        // Villages are named after the town nearby.
        {39.3606, -9.1571, "Caldas da Rainha", "Leiria", "Portugal"},  // Óbidos
        {49.0756, 1.5336, "Vernon", "Normandy", "France"},             // Giverny
        // Fiji, a degree west of the antimeridian.
        {-16.5, 179.7, "Labasa", "Northern", "Fiji"},
        // Mid-ocean, the poles, the antimeridian on the equator.
        {0, -30, {}, {}, {}},
        {-40, -120, {}, {}, {}},
        {90, 0, {}, {}, {}},
        {-90, 0, {}, {}, {}},
        {0, 180, {}, {}, {}},
        {0, -180, {}, {}, {}},
    };
    for (const Expect& c : cases) {
        EXPECT_EQ(g.nearest(c.lat, c.lon), placemark(c.locality, c.admin, c.country)) << c.lat << "," << c.lon;
        const GeocodeAnswer a = g.reverseGeocode(c.lat, c.lon);
        EXPECT_FALSE(a.error);
        EXPECT_EQ(a.placemarks.size(), c.locality ? 1u : 0u);
    }
    // Not a coordinate: no placemark, and no error either.
    for (auto [lat, lon] : {std::pair{NAN, 0.0}, {0.0, INFINITY}, {90.5, 0.0}, {0.0, -180.5}}) {
        const GeocodeAnswer a = g.reverseGeocode(lat, lon);
        EXPECT_FALSE(a.error);
        EXPECT_TRUE(a.placemarks.empty());
    }
}

TEST(Geocoder, agreesWithAScanOfEveryCity) {
    struct City {
        double lat, lon;
        std::string name;
    };
    std::vector<City> cities;
    for (int i = 0, n = geonames_get_n_cities(); i < n; ++i) {
        GeonamesCity* c = geonames_get_city(i);
        cities.push_back({geonames_city_get_latitude(c), geonames_city_get_longitude(c), geonames_city_get_name(c)});
        geonames_city_free(c);
    }
    OfflineGeocoder g;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180), edge(-2, 2);
    int named = 0;
    for (int i = 0; i < 400; ++i) {
        // Anywhere, near the antimeridian, near the poles, and right beside a city.
        double a = lat(rng), b = lon(rng);
        if (i % 4 == 1) b = std::fmod(180 + edge(rng) + 360, 360) - 180;
        if (i % 4 == 2) a = std::copysign(88 + std::fabs(edge(rng)), edge(rng));
        if (i % 4 == 3) {
            const City& c = cities[rng() % cities.size()];
            a = std::clamp(c.lat + edge(rng) / 4, -90.0, 90.0);
            b = std::clamp(c.lon + edge(rng) / 4, -180.0, 180.0);
        }
        const City* best = nullptr;
        double bestKm = OfflineGeocoder::cutoffKm;
        for (const City& c : cities) {
            const double km = haversineKm(a, b, c.lat, c.lon);
            if (km <= bestKm) best = &c, bestKm = km;
        }
        const auto p = g.nearest(a, b);
        ASSERT_EQ(p.has_value(), best != nullptr) << a << "," << b;
        if (!best) continue;
        ++named;
        const double km = haversineKm(a, b, best->lat, best->lon);
        // Exact ties aside, the same city.
        if (*p->locality != best->name) {
            bool tie = false;
            for (const City& c : cities)
                tie |= c.name == *p->locality && std::fabs(haversineKm(a, b, c.lat, c.lon) - km) < 1e-6;
            EXPECT_TRUE(tie) << a << "," << b << ": " << *p->locality << " vs " << best->name;
        }
    }
    EXPECT_GT(named, 100);
}

TEST(Geocoder, isThreadSafeWhileTheIndexIsBuilt) {
    OfflineGeocoder g;
    std::vector<std::thread> threads;
    std::vector<std::optional<Placemark>> got(6);
    for (size_t i = 0; i < got.size(); ++i) threads.emplace_back([&, i] { got[i] = g.nearest(38.7223, -9.1393); });
    for (auto& t : threads) t.join();
    for (const auto& p : got) {
        ASSERT_TRUE(p);
        EXPECT_EQ(p->locality, "Lisbon");
    }
}

TEST(Geocoder, namesComeInTheUsersLanguageAsUtf8) {
    // Messages in German while the character set stays the C locale's ASCII:
    // the names must still arrive as UTF-8, not transliterated.
    const std::string savedMessages = std::setlocale(LC_MESSAGES, nullptr);
    const char* language = std::getenv("LANGUAGE");
    const std::optional<std::string> savedLanguage = language ? std::optional<std::string>(language) : std::nullopt;
    unsetenv("LANGUAGE");
    ASSERT_NE(std::setlocale(LC_MESSAGES, "de_DE.UTF-8"), nullptr) << "de_DE.UTF-8 locale missing";
    OfflineGeocoder g;
    const auto munich = g.nearest(48.1351, 11.582);
    std::setlocale(LC_MESSAGES, savedMessages.c_str());
    if (savedLanguage) setenv("LANGUAGE", savedLanguage->c_str(), 1);
    ASSERT_TRUE(munich);
    EXPECT_EQ(munich->locality, "München");
    EXPECT_EQ(munich->administrativeArea, "Bayern");
    EXPECT_EQ(munich->country, "Deutschland");
}

TEST(Geocoder, resolverOverTheOfflineGeocoderCachesOnlyRealPlaces) {
    fixtures::TempDir dir;
    auto db = std::make_shared<LibraryDB>(dir / "library.sqlite");
    PlaceResolver resolver(db);
    const PlaceName lisbon{"Lisbon", "Lisbon District", "Portugal"};
    EXPECT_EQ(resolver.resolve(38.7223, -9.1393), lisbon);
    EXPECT_EQ(db->cachedPlace("38.72,-9.14"), lisbon);
    EXPECT_EQ(resolver.resolve(0, -30), std::nullopt);
    EXPECT_EQ(db->cachedPlace("0.00,-30.00"), std::nullopt);
    EXPECT_EQ(resolver.failures(), 0);
}
