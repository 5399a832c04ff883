#pragma once
// Dates as people type them into the search field ("today", "2019",
// "march", "12th of march 2021", "12mar21", "3.12.2021", "2021-03-12"),
// found in a list of lower-cased search words.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <unicode/locid.h>

namespace vintrelle {

// Which day, month and year a capture date must have; an absent field
// matches anything.
struct DateFilter {
    std::optional<int> day;
    std::optional<int> month;
    std::optional<int> year;
    // Day and month may be exchanged: a numeric date whose first two
    // numbers could each be the month.
    bool eitherOrder = false;

    bool operator==(const DateFilter&) const = default;

    // Whether the civil date of wall-clock time `taken` passes the filter.
    bool matches(double taken) const;
};

namespace DateQuery {

struct Match {
    DateFilter filter;
    // Half-open range of word indices the phrase consumed.
    size_t firstWord = 0;
    size_t endWord = 0;

    bool operator==(const Match&) const = default;
};

// Every date phrase in `words` (already lower-cased), left to right, never
// overlapping. `today` is a moment in seconds since 1970 (UTC); "today",
// "yesterday" and two-digit years are read from its Gregorian date in the
// local time zone.
std::vector<Match> find(const std::vector<std::string>& words, bool dayFirst, double today);

// Whether the user's time locale (LC_TIME) writes the day before the month.
bool localeIsDayFirst();
// The same for a given locale.
bool isDayFirst(const icu::Locale& locale);

// Month (1 to 12) whose name in English or in the user's time locale
// begins with `word` (at least three characters), or nothing.
std::optional<int> month(const std::string& word);

// The current moment in seconds since 1970.
double now();

}  // namespace DateQuery

}  // namespace vintrelle
