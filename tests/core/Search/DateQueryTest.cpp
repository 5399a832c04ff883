#include <gtest/gtest.h>

#include <sstream>

#include "Core/Search/DateQuery.h"
#include "Core/Base/WallClock.h"
#include "fixtures/EnvScope.h"

using namespace vintrelle;

namespace {

using fixtures::ZoneScope;
using LocaleScope = fixtures::TimeLocaleScope;

double utc(int y, int m, int d, int hour = 12, int minute = 0) {
    return double(WallClock::daysFromCivil(y, m, d)) * 86400 + hour * 3600 + minute * 60;
}

std::vector<std::string> split(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string show(const std::vector<DateQuery::Match>& matches) {
    std::string out;
    auto opt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("-"); };
    for (const auto& m : matches) {
        out += "[" + std::to_string(m.firstWord) + "," + std::to_string(m.endWord) + ") d" + opt(m.filter.day) +
               " m" + opt(m.filter.month) + " y" + opt(m.filter.year) + (m.filter.eitherOrder ? " either" : "") + ";";
    }
    return out;
}

struct Row {
    const char* text;
    bool dayFirst;
    const char* expected;
};

}  // namespace

TEST(DateQuery, PhrasesAsPeopleTypeThem) {
    ZoneScope zone("UTC");
    LocaleScope locale("en_US.UTF-8");
    const double today = utc(2026, 6, 15);
    const Row rows[] = {
        {"today", false, "[0,1) d15 m6 y2026;"},
        {"yesterday", false, "[0,1) d14 m6 y2026;"},
        {"2019", false, "[0,1) d- m- y2019;"},
        {"1899", false, ""},
        {"2200 2201", false, "[0,1) d- m- y2200;"},
        {"march", false, "[0,1) d- m3 y-;"},
        {"mar", false, "[0,1) d- m3 y-;"},
        {"marc", false, "[0,1) d- m3 y-;"},
        {"sep sept", false, "[0,1) d- m9 y-;[1,2) d- m9 y-;"},
        {"ma", false, ""},
        {"12 march", false, "[0,2) d12 m3 y-;"},
        {"12th of march 2021", false, "[0,4) d12 m3 y2021;"},
        {"march 12 21", false, "[0,3) d12 m3 y2021;"},
        {"march 2021", false, "[0,2) d- m3 y2021;"},
        {"march 69", false, "[0,2) d- m3 y1969;"},
        {"12mar21", false, "[0,1) d12 m3 y2021;"},
        {"mar12", false, "[0,1) d12 m3 y-;"},
        {"12th-march-2021", false, "[0,1) d12 m3 y2021;"},
        {"1.mar.21", false, "[0,1) d1 m3 y2021;"},
        {"march-12th", false, "[0,1) d12 m3 y-;"},
        {"12/3", false, "[0,1) d3 m12 y- either;"},
        {"12/3", true, "[0,1) d12 m3 y- either;"},
        {"25/12", false, "[0,1) d25 m12 y-;"},
        {"25/12", true, "[0,1) d25 m12 y-;"},
        {"4/5", false, "[0,1) d5 m4 y- either;"},
        {"4/5", true, "[0,1) d4 m5 y- either;"},
        {"5/5", true, "[0,1) d5 m5 y-;"},
        {"13/13", false, ""},
        {"13/13", true, ""},
        {"3/5/21", false, "[0,1) d5 m3 y2021 either;"},
        {"3.12.2021", true, "[0,1) d3 m12 y2021 either;"},
        {"2021-03-12", false, "[0,1) d12 m3 y2021;"},
        {"2021/3", false, "[0,1) d- m3 y2021;"},
        {"3/2021", false, "[0,1) d- m3 y2021;"},
        {"1/2/3", false, ""},
        {"99999999999999999999/3", false, ""},
        // Two-digit years in 2026: up to 27 this century, from 28 the last.
        {"1/2/27 1/2/28 1/2/00", false, "[0,1) d2 m1 y2027 either;[1,2) d2 m1 y1928 either;[2,3) d2 m1 y2000 either;"},
        {"12", false, ""},
        {"1st", false, "[0,1) d1 m- y-;"},
        {"12 of", false, ""},
        {"kyoto 12 march 2021 videos", false, "[1,4) d12 m3 y2021;"},
        {"march 12 march", false, "[0,2) d12 m3 y-;[2,3) d- m3 y-;"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(show(DateQuery::find(split(row.text), row.dayFirst, today)), row.expected)
            << row.text << (row.dayFirst ? " (day first)" : "");
    }
}

TEST(DateQuery, YesterdayIsTheCivilDayBeforeAfterA23HourDay) {
    ZoneScope zone("Europe/Berlin");
    // 00:30 CEST on 29 March 2021, the morning after clocks went forward:
    // only 23.5 hours after the start of 28 March.
    const double moment = utc(2021, 3, 28, 22, 30);
    EXPECT_EQ(show(DateQuery::find({"today"}, false, moment)), "[0,1) d29 m3 y2021;");
    EXPECT_EQ(show(DateQuery::find({"yesterday"}, false, moment)), "[0,1) d28 m3 y2021;");
    // Across a month and a year boundary.
    EXPECT_EQ(show(DateQuery::find({"yesterday"}, false, utc(2021, 1, 1, 0, 30))), "[0,1) d31 m12 y2020;");
}

TEST(DateQuery, DatesAreGregorianWhateverTheLocaleCalendar) {
    ZoneScope zone("UTC");
    const double today = utc(2026, 6, 15);
    for (const char* name : {"th_TH.UTF-8", "fa_IR.UTF-8", "ar_SA.UTF-8"}) {
        LocaleScope locale(name);
        EXPECT_EQ(show(DateQuery::find({"today"}, false, today)), "[0,1) d15 m6 y2026;") << name;
        EXPECT_EQ(show(DateQuery::find({"1/2/69"}, false, today)), "[0,1) d2 m1 y1969 either;") << name;
    }
    {
        LocaleScope locale("th_TH.UTF-8");
        EXPECT_EQ(DateQuery::month("มีนาคม"), 3);
        EXPECT_EQ(DateQuery::month("march"), 3);
    }
    {
        // The Gregorian February in Persian, not the first Persian month.
        LocaleScope locale("fa_IR.UTF-8");
        EXPECT_EQ(DateQuery::month("فوریه"), 2);
        EXPECT_EQ(DateQuery::month("فروردین"), std::nullopt);
    }
}

TEST(DateQuery, MonthNamesOfTheUsersLanguage) {
    ZoneScope zone("UTC");
    const double today = utc(2026, 6, 15);
    {
        LocaleScope locale("fr_FR.UTF-8");
        EXPECT_EQ(DateQuery::month("févr"), 2);   // "févr." without its full stop
        EXPECT_EQ(DateQuery::month("août"), 8);
        EXPECT_EQ(DateQuery::month("june"), 6);   // English always works
        EXPECT_EQ(show(DateQuery::find(split("12 mars 2021"), true, today)), "[0,3) d12 m3 y2021;");
    }
    {
        LocaleScope locale("de_DE.UTF-8");
        EXPECT_EQ(DateQuery::month("märz"), 3);
        EXPECT_EQ(DateQuery::month("dez"), 12);
        EXPECT_EQ(DateQuery::month("mä"), std::nullopt);
    }
    {
        // The script the locale's modifier names, not the language's usual one.
        LocaleScope locale("sr_RS.UTF-8@latin");
        EXPECT_EQ(DateQuery::month("avgust"), 8);
        EXPECT_EQ(show(DateQuery::find(split("14 mart 2021"), true, today)), "[0,3) d14 m3 y2021;");
    }
    {
        LocaleScope locale("sr_RS.UTF-8");
        EXPECT_EQ(DateQuery::month("август"), 8);
        EXPECT_EQ(DateQuery::month("avgust"), std::nullopt);
    }
    {
        LocaleScope locale("uz_UZ.UTF-8@cyrillic");
        EXPECT_EQ(DateQuery::month("сентябр"), 9);
        EXPECT_EQ(DateQuery::month("sentabr"), std::nullopt);
    }
}

TEST(DateQuery, DayFirstFollowsTheLocale) {
    EXPECT_TRUE(DateQuery::isDayFirst(icu::Locale("de_DE")));
    EXPECT_TRUE(DateQuery::isDayFirst(icu::Locale("en_GB")));
    EXPECT_FALSE(DateQuery::isDayFirst(icu::Locale("en_US")));
    EXPECT_FALSE(DateQuery::isDayFirst(icu::Locale("ja_JP")));
    {
        LocaleScope locale("de_DE.UTF-8");
        EXPECT_TRUE(DateQuery::localeIsDayFirst());
    }
    {
        LocaleScope locale("en_US.UTF-8");
        EXPECT_FALSE(DateQuery::localeIsDayFirst());
    }
}

TEST(DateQuery, FilterMatchesCaptureDates) {
    const DateFilter march12{12, 3, std::nullopt, false};
    EXPECT_TRUE(march12.matches(utc(2019, 3, 12, 23, 59)));
    EXPECT_FALSE(march12.matches(utc(2019, 12, 3)));
    const DateFilter either{12, 3, 2021, true};
    EXPECT_TRUE(either.matches(utc(2021, 3, 12)));
    EXPECT_TRUE(either.matches(utc(2021, 12, 3)));
    EXPECT_FALSE(either.matches(utc(2020, 12, 3)));
    const DateFilter year{std::nullopt, std::nullopt, 1969, false};
    EXPECT_TRUE(year.matches(-1));  // 31 December 1969, one second before 1970
    EXPECT_FALSE(year.matches(0));
}
