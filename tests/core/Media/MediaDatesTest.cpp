#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"
#include "fixtures/EnvScope.h"
#include "fixtures/MediaFixtures.h"

using namespace vintrelle;
namespace MP = vintrelle::MediaProcessor;

namespace {

using fixtures::wallClock;

int thisYear() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

}  // namespace

TEST(MediaDates, ExifDateTexts) {
    const double july4 = wallClock(2021, 7, 4, 18, 30, 5);
    EXPECT_EQ(MP::parseExifDate("2021:07:04 18:30:05"), july4);
    // The ISO form with an offset: the offset lies past the 19 characters read.
    EXPECT_EQ(MP::parseExifDate("2021-07-04T18:30:05+02:00"), july4);
    EXPECT_EQ(MP::parseExifDate("2021:07:04 18:30:05.123"), july4);
    EXPECT_EQ(MP::parseExifDate("2021:07:04"), wallClock(2021, 7, 4, 12));
    EXPECT_EQ(MP::parseExifDate("2021:07:04 18"), wallClock(2021, 7, 4, 18, 0, 0));
    EXPECT_EQ(MP::parseExifDate("2021:07:04 18:30"), wallClock(2021, 7, 4, 18, 30, 0));
    EXPECT_EQ(MP::parseExifDate("2021:07:04 25:61:61"), wallClock(2021, 7, 4, 23, 59, 59));
    EXPECT_EQ(MP::parseExifDate("2021:02:31 00:00:00"), wallClock(2021, 3, 3, 0, 0, 0));
    EXPECT_EQ(MP::parseExifDate("1969:12:31 23:59:59"), std::nullopt);
    EXPECT_EQ(MP::parseExifDate("2101:01:01 00:00:00"), std::nullopt);
    EXPECT_EQ(MP::parseExifDate("0000:00:00 00:00:00"), std::nullopt);
    EXPECT_EQ(MP::parseExifDate("2021:13:01"), std::nullopt);
    EXPECT_EQ(MP::parseExifDate("2021:07"), std::nullopt);
    EXPECT_EQ(MP::parseExifDate(""), std::nullopt);
    // Leading characters count against the 19: "18:3" is all that is left of the time.
    EXPECT_EQ(MP::parseExifDate("    2021:07:04 18:30:05"), wallClock(2021, 7, 4, 18, 3, 0));
    // Digits of another script end up as 0 (an invalid month), not as 7.
    EXPECT_EQ(MP::parseExifDate("2021:\xD9\xA7:04"), std::nullopt);  // Arabic-Indic seven
    // Too many digits for a number.
    EXPECT_EQ(MP::parseExifDate("99999999999999999999:1:1"), std::nullopt);
    // Invalid UTF-8 separates like any other character.
    EXPECT_EQ(MP::parseExifDate("2021\xff" "07\xfe" "04"), wallClock(2021, 7, 4, 12));
}

TEST(MediaDates, ISO6709Locations) {
    using LatLon = std::optional<std::pair<double, double>>;
    const std::pair<const char*, LatLon> cases[] = {
        {"+37.3349-122.0090+012.345/", std::pair{37.3349, -122.009}},
        {"-33.8688+151.2093/", std::pair{-33.8688, 151.2093}},
        {"+1.5+2.5/+9+9", std::pair{1.5, 2.5}},  // everything after the slash is ignored
        {"+00.0000+000.0000/", std::nullopt},
        {"+91.0000+000.0000/", std::nullopt},
        {"+10.0000+180.5/", std::nullopt},
        {"+37.3349/", std::nullopt},
        {"+37.33x9-122.0090/", std::nullopt},
        {"+nan-122/", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(MP::parseISO6709(text), expected) << text;
}

TEST(MediaDates, FileNameDates) {
    const double noon = wallClock(2021, 7, 4, 12);
    const double evening = wallClock(2021, 7, 4, 18, 30, 5);
    struct Case {
        const char* name;
        std::optional<double> expected;
    } cases[] = {
        {"IMG_20210704_183005.jpg", evening},
        {"VID-20210704-183005.mp4", evening},
        {"2021.07.04.18.30.05.jpg", evening},
        {"PXL_20210704_183005123.jpg", noon},  // milliseconds glued on: the time is rejected
        {"Screenshot 2021-07-04 at 18.30.05.png", evening},
        {"2021-07-04 18:30:05.jpg", evening},
        {"2021-07-04T18:30:05.mov", evening},
        {"2021-07-04t18:30:05.mov", noon},  // lower-case t
        {"2021-07-04 AT 18.30.05.png", noon},
        {"holiday 2021-07-04.jpg", noon},
        {"20210704.jpg", noon},
        {"120210704_183005.jpg", std::nullopt},  // glued to a preceding digit
        {"1985-07-04.jpg", std::nullopt},
        {"2021-13-04.jpg", std::nullopt},
        {"20210231.jpg", wallClock(2021, 3, 3, 12)},
        {"DSC_0042.JPG", std::nullopt},
        {"", std::nullopt},
        {"1990-01-01.jpg", wallClock(1990, 1, 1, 12)},
    };
    for (const auto& c : cases) EXPECT_EQ(MP::guessDate(c.name), c.expected) << c.name;

    int year = thisYear();
    std::string next = std::to_string(year + 1) + "-01-01.jpg";
    std::string afterNext = std::to_string(year + 2) + "-01-01.jpg";
    EXPECT_EQ(MP::guessDate(next), wallClock(year + 1, 1, 1, 12));
    EXPECT_EQ(MP::guessDate(afterNext), std::nullopt);
}

TEST(MediaDates, FallbackIsNameDateElseLocalModificationTime) {
    fixtures::ZoneScope zone("TST-3");  // three hours east of UTC, no daylight saving
    const double mtime = wallClock(2020, 1, 2, 3, 4, 5);  // as seconds since 1970 in UTC
    EXPECT_EQ(MP::fallbackDate("IMG_20210704_183005.jpg", mtime), wallClock(2021, 7, 4, 18, 30, 5));
    EXPECT_EQ(MP::fallbackDate("/some/folder/IMG_20210704_183005.jpg", mtime), wallClock(2021, 7, 4, 18, 30, 5));
    EXPECT_EQ(MP::fallbackDate("DSC_0042.JPG", mtime), mtime + 3 * 3600);
    // A date in a folder name does not count, only the file's own name.
    EXPECT_EQ(MP::fallbackDate("2019-05-05/DSC_0042.JPG", mtime), mtime + 3 * 3600);
}
