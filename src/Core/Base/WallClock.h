#pragma once
// Calendar arithmetic on wall-clock times (seconds since 1970 read as UTC:
// a capture time shows the camera's own clock reading on every machine),
// the shared date formatters, and a few shared texts.

#include <optional>
#include <string>
#include <string_view>

namespace vintrelle {

struct CivilDate {
    int y = 1970;
    int m = 1;
    int d = 1;
    bool operator==(const CivilDate&) const = default;
};

namespace WallClock {

// Day numbers and times are clamped to the years -9999 to 9999 before any
// conversion: a capture time read from a file or an edited index can be any
// double (or NaN, taken as 0), and turning one beyond the integers' range
// into a day or a year would be undefined.
inline constexpr long long minDay = -4371587;  // -9999-01-01
inline constexpr long long maxDay = 2932896;   // 9999-12-31
double clampTime(double t);
CivilDate civil(long long days);
long long daysFromCivil(long long y, int m, int d);
// floor(t / 86400), of the clamped time
long long dayNumber(double t);
int monthKey(double t);
std::string rangeString(double a, double b);
// Seconds east of UTC of the current time zone at the instant t (seconds
// since 1970, UTC); reads the zone afresh on every call.
long long localOffset(double t);

enum class Template { monthYear, dayLong, dayShort, dayMonth, dayOnly, monthOnly, timeOnly, full };
// The text of wall-clock time t with one of the eight shared formatters.
std::string format(Template which, double t);

}  // namespace WallClock

namespace Format {

std::string items(long long count, std::string_view singular,
                  std::optional<std::string_view> plural = std::nullopt);
std::string duration(double seconds);
std::string exposure(double seconds);
// Integer in the user's locale (grouping separators).
std::string integer(long long n);

}  // namespace Format

double haversineKm(double lat1, double lon1, double lat2, double lon2);

}  // namespace vintrelle
