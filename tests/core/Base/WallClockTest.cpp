#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "Core/Base/WallClock.h"
#include "fixtures/EnvScope.h"

using namespace vintrelle;

TEST(WallClock, CivilRoundTripOverWideRange) {
    EXPECT_EQ(WallClock::civil(0), (CivilDate{1970, 1, 1}));
    EXPECT_EQ(WallClock::civil(-1), (CivilDate{1969, 12, 31}));
    EXPECT_EQ(WallClock::civil(11016), (CivilDate{2000, 2, 29}));
    EXPECT_EQ(WallClock::civil(-719468), (CivilDate{0, 3, 1}));
    for (long long z = -800000; z <= 800000; z += 7) {
        CivilDate c = WallClock::civil(z);
        ASSERT_EQ(WallClock::daysFromCivil(c.y, c.m, c.d), z) << z;
    }
    // Consecutive days are consecutive dates across a leap century boundary.
    EXPECT_EQ(WallClock::daysFromCivil(2100, 3, 1) - WallClock::daysFromCivil(2100, 2, 28), 1);
    EXPECT_EQ(WallClock::daysFromCivil(2000, 3, 1) - WallClock::daysFromCivil(2000, 2, 28), 2);
}

TEST(WallClock, DayNumberFloorsBefore1970AndMonthKeysAreConsecutive) {
    EXPECT_EQ(WallClock::dayNumber(-1), -1);
    const double jan2021 = double(WallClock::daysFromCivil(2021, 1, 15)) * 86400;
    const double dec2020 = double(WallClock::daysFromCivil(2020, 12, 31)) * 86400 + 86399;
    const double jan2020 = double(WallClock::daysFromCivil(2020, 1, 1)) * 86400;
    EXPECT_EQ(WallClock::monthKey(jan2021), WallClock::monthKey(dec2020) + 1);
    EXPECT_EQ(WallClock::monthKey(jan2021), WallClock::monthKey(jan2020) + 12);
}

// Times beyond any calendar (a corrupt file, an edited index) are clamped to
// the years -9999 to 9999 before they become days, dates or texts.
TEST(WallClock, OutOfRangeTimesAreClampedBeforeConverting) {
    EXPECT_EQ(WallClock::daysFromCivil(-9999, 1, 1), WallClock::minDay);
    EXPECT_EQ(WallClock::daysFromCivil(9999, 12, 31), WallClock::maxDay);
    const double huge = 1e300, nan = std::nan("");
    EXPECT_EQ(WallClock::dayNumber(huge), WallClock::maxDay);
    EXPECT_EQ(WallClock::dayNumber(-huge), WallClock::minDay);
    EXPECT_EQ(WallClock::dayNumber(HUGE_VAL), WallClock::maxDay);
    EXPECT_EQ(WallClock::dayNumber(nan), 0);
    EXPECT_EQ(WallClock::civil(WallClock::dayNumber(huge)), (CivilDate{9999, 12, 31}));
    EXPECT_EQ(WallClock::civil(-(1LL << 62)), (CivilDate{-9999, 1, 1}));
    EXPECT_EQ(WallClock::monthKey(-huge), -9999 * 12);
    EXPECT_FALSE(WallClock::rangeString(-huge, huge).empty());
    EXPECT_EQ(WallClock::dayNumber(1e9), 11574);  // in range: unchanged
}

TEST(WallClock, FormattersStayInUtcWhateverTheZone) {
    fixtures::ZoneScope zone("Pacific/Kiritimati");  // UTC+14
    const double t = double(WallClock::daysFromCivil(2021, 3, 9)) * 86400 + 23 * 3600 + 30 * 60;
    const std::string s = WallClock::format(WallClock::Template::dayShort, t);
    EXPECT_NE(s.find('9'), std::string::npos) << s;
    EXPECT_EQ(s.find("10"), std::string::npos) << s;
    EXPECT_NE(WallClock::format(WallClock::Template::monthYear, t).find("2021"), std::string::npos);
}

namespace {

double at(int y, int m, int d) { return double(WallClock::daysFromCivil(y, m, d)) * 86400 + 3600; }

// The formatters are made once per process with the locale of that moment,
// so each locale is tried in a fresh one; the child names what differed.
void expectTexts(const char* locale, const std::vector<std::pair<std::string (*)(), std::string>>& rows) {
    auto check = [&] {
        unsetenv("LC_ALL");
        setenv("LC_TIME", locale, 1);
        bool ok = true;
        for (const auto& [make, expected] : rows) {
            const std::string got = make();
            if (got == expected) continue;
            std::fprintf(stderr, "%s gave \"%s\", not \"%s\"\n", locale, got.c_str(), expected.c_str());
            ok = false;
        }
        std::exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(check(), testing::ExitedWithCode(0), "") << locale;
}

std::string march2021() { return WallClock::format(WallClock::Template::monthYear, at(2021, 3, 9)); }

}  // namespace

TEST(WallClock, LocalesWithAnotherCalendarWriteGregorianDates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Their own calendars put an era after the year, or the year first.
    expectTexts("ar_SA.UTF-8", {{march2021, "\u0645\u0627\u0631\u0633 \u0662\u0660\u0662\u0661"}});
    expectTexts("fa_IR.UTF-8", {{march2021, "\u0645\u0627\u0631\u0633 \u06f2\u06f0\u06f2\u06f1"}});
    expectTexts("th_TH.UTF-8", {{march2021, "\u0e21\u0e35\u0e19\u0e32\u0e04\u0e21 2021"}});
    expectTexts("de_DE.UTF-8", {{march2021, "M\u00e4rz 2021"}});
}

TEST(WallClock, RangeStringsShortenWhatBothEndsShare) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    expectTexts("en_US.UTF-8",
                {{[] { return WallClock::rangeString(at(2021, 3, 5), at(2021, 3, 5) + 5000); }, "Mar 5, 2021"},
                 {[] { return WallClock::rangeString(at(2021, 3, 5), at(2021, 3, 9)); }, "5 \u2013 Mar 9, 2021"},
                 {[] { return WallClock::rangeString(at(2021, 2, 25), at(2021, 3, 2)); }, "Feb 25 \u2013 Mar 2, 2021"},
                 {[] { return WallClock::rangeString(at(2020, 12, 30), at(2021, 1, 2)); },
                  "Dec 30, 2020 \u2013 Jan 2, 2021"}});
}

TEST(Format, TablesIgnoreTheNumericLocale) {
    // Under a comma-decimal locale the texts must not change.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(Format::duration(75), "1:15");
    EXPECT_EQ(Format::duration(5), "0:05");
    EXPECT_EQ(Format::duration(3725), "1:02:05");
    EXPECT_EQ(Format::duration(59.5), "1:00");
    EXPECT_EQ(Format::duration(3599.4), "59:59");
    EXPECT_EQ(Format::duration(3600), "1:00:00");
    EXPECT_EQ(Format::exposure(2), "2.0 s");
    EXPECT_EQ(Format::exposure(1.5), "1.5 s");
    EXPECT_EQ(Format::exposure(1), "1.0 s");
    EXPECT_EQ(Format::exposure(0.004), "1/250 s");
    EXPECT_EQ(Format::exposure(0.3), "1/3 s");
    EXPECT_EQ(Format::exposure(0.5), "1/2 s");
    EXPECT_EQ(Format::exposure(0.8), "1/1 s");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Format, ExposureOfExtremeTimesIsAllDigits) {
    // A file may store its exposure as any double; the text must still be
    // made of the number's own digits.
    const std::string big = Format::exposure(1e300);
    EXPECT_EQ(big.size(), 305u) << big;  // 301 digits, ".0 s"
    EXPECT_EQ(big.substr(0, 16), "1000000000000000") << big;
    EXPECT_EQ(big.substr(big.size() - 4), ".0 s") << big;
    EXPECT_EQ(big.find_first_not_of("0123456789"), 301u) << big;
    const std::string tiny = Format::exposure(1e-300);
    ASSERT_EQ(tiny.substr(0, 2), "1/") << tiny;
    EXPECT_EQ(tiny.size(), 2 + 300 + 2u) << tiny;
    EXPECT_EQ(tiny.find_first_not_of("0123456789", 2), tiny.size() - 2) << tiny;
    EXPECT_EQ(tiny.substr(tiny.size() - 2), " s") << tiny;
    EXPECT_EQ(Format::exposure(1.0 / 4294967295.0), "1/4294967295 s");
}

TEST(Format, DurationsNoReaderShouldGiveStillReadAsClockTexts) {
    EXPECT_EQ(Format::duration(std::nan("")), "0:00");
    EXPECT_EQ(Format::duration(INFINITY), "0:00");
    EXPECT_EQ(Format::duration(-5), "0:00");
    EXPECT_EQ(Format::duration(-0.4), "0:00");
    EXPECT_EQ(Format::duration(360000), "100:00:00") << "no rollover into days";
    EXPECT_EQ(Format::duration(1e15), "277777777777:46:40");
    EXPECT_EQ(Format::duration(1e300), "277777777777:46:40");
    EXPECT_EQ(Format::duration(9.3e18), "277777777777:46:40") << "past the largest whole number of seconds";
}

TEST(Format, ItemsUsesPluralRules) {
    EXPECT_EQ(Format::items(1, "photo"), "1 photo");
    EXPECT_EQ(Format::items(0, "photo"), "0 photos");
    EXPECT_EQ(Format::items(2, "person", "people"), "2 people");
}

TEST(Haversine, KnownDistances) {
    EXPECT_DOUBLE_EQ(haversineKm(48.85, 2.35, 48.85, 2.35), 0.0);
    EXPECT_NEAR(haversineKm(0, 0, 1, 0), 111.19, 0.01);
    EXPECT_NEAR(haversineKm(0, 179.5, 0, -179.5), 111.19, 0.01);
}

// A home in Spain and photos in New Zealand: the points are all but opposite
// each other, where rounding once made the distance no number at all.
TEST(Haversine, OppositeSidesOfTheEarthAreHalfItsCircumference) {
    const double half = 12742.0 * M_PI / 2;
    for (double lat = 36.0; lat < 43.8; lat += 0.0173)
        for (double lon = -9.3; lon < 3.3; lon += 0.0291)
            for (double off : {0.0, 1e-9, 0.01}) {
                const double km = haversineKm(lat, lon, -lat + off, lon + 180 - off);
                ASSERT_TRUE(std::isfinite(km)) << lat << ", " << lon << " and its opposite, off by " << off;
                ASSERT_LE(km, half);
                ASSERT_GT(km, half - 2);
            }
    EXPECT_NEAR(haversineKm(40.4168, -3.7038, -40.4168, 176.2962), half, 1e-6);
    EXPECT_NEAR(haversineKm(90, 0, -90, 0), half, 1e-6);
}
