#include <gtest/gtest.h>

#include "Core/Base/Text.h"
#include "Core/Places/TripDetector.h"
#include "Core/Base/WallClock.h"

using namespace vintrelle;

namespace {

const std::nullopt_t none = std::nullopt;

PlaceName place(std::optional<std::string> locality, std::optional<std::string> admin,
                std::optional<std::string> country) {
    return PlaceName{std::move(locality), std::move(admin), std::move(country)};
}

std::optional<TripTitle> titled(std::string title, std::string subtitle) {
    return TripTitle{std::move(title), std::move(subtitle)};
}

}  // namespace

TEST(TripTitle, mergeNamesSeveralTownsOfOneRegionAfterTheRegion) {
    EXPECT_EQ(TripDetector::merge({}), std::nullopt);
    EXPECT_EQ(TripDetector::merge({place("Belém", "Lisboa", "Portugal"), place("Sintra", "Lisboa", "Portugal")}),
              place("Lisboa", "Lisboa", "Portugal"));
    // No admin area: the first place as it is.
    EXPECT_EQ(TripDetector::merge({place("Lisbon", none, "Portugal"), place("Porto", none, "Portugal")}),
              place("Lisbon", none, "Portugal"));
    EXPECT_EQ(TripDetector::merge({place("Porto", "Porto", "Portugal"), place("Porto", "Porto", "Portugal")}),
              place("Porto", "Porto", "Portugal"));
    // Two regions: the first place.
    EXPECT_EQ(TripDetector::merge({place("Porto", "Porto", "Portugal"), place("Braga", "Braga", "Portugal")}),
              place("Porto", "Porto", "Portugal"));
    // One town spelt composed and decomposed is one town, not two.
    const std::string belemNFD = text::nfd("Belém");
    ASSERT_NE(belemNFD, "Belém");
    EXPECT_EQ(TripDetector::merge({place("Belém", "Lisboa", "Portugal"), place(belemNFD, "Lisboa", "Portugal")})
                  ->locality,
              "Belém");
}

TEST(TripTitle, titleTable) {
    const std::string zurichNFD = text::nfd("Zürich");
    ASSERT_NE(zurichNFD, "Zürich");
    struct Case {
        const char* what;
        std::vector<PlaceName> places;
        std::optional<TripTitle> expected;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, std::nullopt},
        {"no parts at all", {place(none, none, none)}, std::nullopt},
        {"one place, admin equal to the title dropped", {place("Kyoto", "Kyoto", "Japan")}, titled("Kyoto", "Japan")},
        {"one place", {place("Sintra", "Lisboa", "Portugal")}, titled("Sintra", "Lisboa, Portugal")},
        {"one place, only a country", {place(none, none, "Iceland")}, titled("Iceland", "")},
        {"two towns, two regions", {place("Lisbon", "Lisboa", "Portugal"), place("Porto", "Porto", "Portugal")},
         titled("Lisbon & Porto", "Portugal")},
        {"two towns, one region", {place("Lisbon", "Lisboa", "Portugal"), place("Sintra", "Lisboa", "Portugal")},
         titled("Lisbon & Sintra", "Lisboa, Portugal")},
        {"two towns, one region, no country", {place("Lisbon", "Lisboa", none), place("Sintra", "Lisboa", none)},
         titled("Lisbon & Sintra", "Lisboa")},
        {"two towns, two countries", {place("Lille", "Hauts-de-France", "France"), place("Ghent", "Flanders", "Belgium")},
         titled("Lille & Ghent", "Belgium \u00B7 France")},
        {"repeated names count once",
         {place("Paris", "Île-de-France", "France"), place("Paris", "Île-de-France", "France"),
          place("Lyon", "Auvergne-Rhône-Alpes", "France")},
         titled("Paris & Lyon", "France")},
        {"a country stands in for a missing town",
         {place("Lisbon", "Lisboa", "Portugal"), place(none, none, "Spain")}, titled("Lisbon & Spain", "Lisboa")},
        {"four towns of one region",
         {place("Florence", "Tuscany", "Italy"), place("Siena", "Tuscany", "Italy"), place("Pisa", "Tuscany", "Italy"),
          place("Lucca", "Tuscany", "Italy")},
         titled("Tuscany", "Florence \u00B7 Siena \u00B7 Pisa")},
        {"three towns, the region is one of the names",
         {place("Madrid", "Madrid", "Spain"), place("Alcalá", "Madrid", "Spain"), place("Getafe", "Madrid", "Spain")},
         titled("Madrid, Alcalá & more", "Spain")},
        {"three regions of one country",
         {place("Lisbon", "Lisboa", "Portugal"), place("Porto", "Porto", "Portugal"), place("Faro", "Faro", "Portugal")},
         titled("Lisbon, Porto & more", "Portugal")},
        {"three countries, sorted",
         {place("Paris", "Île-de-France", "France"), place("Brussels", "Brussels", "Belgium"),
          place("Cologne", "North Rhine-Westphalia", "Germany")},
         titled("Paris, Brussels & more", "Belgium \u00B7 France \u00B7 Germany")},
        {"three towns, no country", {place("A", "X", none), place("B", "Y", none), place("C", "Z", none)},
         titled("A, B & more", "")},
        // Names are compared canonically, but case still counts.
        {"one town twice, once decomposed",
         {place("Zürich", "Zürich", "Switzerland"), place(zurichNFD, "Zürich", "Switzerland")},
         titled("Zürich", "Switzerland")},
        {"admin equal to the title only canonically", {place("Zürich", zurichNFD, "Switzerland")},
         titled("Zürich", "Switzerland")},
        {"one region spelt two ways",
         {place("Baden", "Zürich", "Switzerland"), place("Uster", zurichNFD, "Switzerland"),
          place("Dietikon", "Zürich", "Switzerland")},
         titled("Zürich", "Baden \u00B7 Uster \u00B7 Dietikon")},
        {"case makes another name", {place("Porto", none, none), place("porto", none, none)},
         titled("Porto & porto", "")},
    };
    for (const Case& c : cases) EXPECT_EQ(TripDetector::title(c.places), c.expected) << c.what;
}

TEST(TripTitle, autoTitleNamesTheWallClockMonthOfTheStart) {
    // The last second of July is still July, in every time zone.
    const double lastSecond = double(WallClock::daysFromCivil(2024, 8, 1)) * 86400.0 - 1;
    const double midJuly = double(WallClock::daysFromCivil(2024, 7, 15)) * 86400.0;
    EXPECT_EQ(TripDetector::autoTitle(lastSecond), "Trip in " + WallClock::format(WallClock::Template::monthOnly, midJuly));
}
