// Date and location texts: EXIF-style dates, ISO 6709 locations, dates in
// file names, and the fallback capture time.

#include <charconv>
#include <cmath>
#include <ctime>
#include <memory>
#include <vector>

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "Core/Media/MediaInternal.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

// Decimal value of a run of ASCII digits; 0 for anything else (digits of
// other scripts, or more digits than fit).
long long runValue(std::string_view run) {
    long long v = 0;
    auto [ptr, ec] = std::from_chars(run.data(), run.data() + run.size(), v);
    if (ec != std::errc() || ptr != run.data() + run.size()) return 0;
    return v;
}

bool isNumeric(UChar32 c) {
    if (c < 0) return false;
    auto type = u_charType(c);
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

double wallClockSeconds(long long y, long long m, long long d, long long hh, long long mm, long long ss) {
    return double(WallClock::daysFromCivil(y, int(m), int(d)) * 86400 + hh * 3600 + mm * 60 + ss);
}

const icu::RegexPattern* nameDateRegex() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError pe;
        std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8(
                "(?<![0-9])((?:19|20)[0-9]{2})[-_.]?(0[1-9]|1[0-2])[-_.]?(0[1-9]|[12][0-9]|3[01])"
                "(?:[-_ T.]?(?:at )?([01][0-9]|2[0-3])[-_.:]?([0-5][0-9])[-_.:]?([0-5][0-9]))?(?![0-9])"),
            0, pe, status));
        if (U_FAILURE(status)) p.reset();
        return p;
    }();
    return pattern.get();
}

}  // namespace

namespace MediaProcessor {

std::optional<double> parseExifDate(std::string_view text) {
    // Only the length of a full date and time counts: sub-seconds and offsets
    // that follow are ignored on purpose.
    std::vector<long long> numbers;
    std::string run;
    int32_t i = 0;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
    for (int characters = 0; i < length && characters < 19; ++characters) {
        int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (isNumeric(c)) {
            run.append(text.substr(size_t(start), size_t(i - start)));
        } else if (!run.empty()) {
            numbers.push_back(runValue(run));
            run.clear();
        }
    }
    if (!run.empty()) numbers.push_back(runValue(run));
    if (numbers.size() < 3) return std::nullopt;
    long long y = numbers[0], m = numbers[1], d = numbers[2];
    if (y < 1970 || y > 2100 || m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
    if (numbers.size() == 3) return wallClockSeconds(y, m, d, 12, 0, 0);
    long long hh = std::min(numbers[3], 23LL);
    long long mm = numbers.size() >= 5 ? std::min(numbers[4], 59LL) : 0;
    long long ss = numbers.size() >= 6 ? std::min(numbers[5], 59LL) : 0;
    return wallClockSeconds(y, m, d, hh, mm, ss);
}

std::optional<std::pair<double, double>> parseISO6709(std::string_view text) {
    std::vector<std::string> tokens;
    std::string current;
    for (char c : text) {
        if (c == '/') break;
        if (c == '+' || c == '-') {
            if (!current.empty()) tokens.push_back(current);
            current.assign(1, c);
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) tokens.push_back(current);
    if (tokens.size() < 2) return std::nullopt;
    auto number = [](std::string_view t) -> std::optional<double> {
        if (!t.empty() && t.front() == '+') t.remove_prefix(1);
        if (t.empty() || t.front() == '+') return std::nullopt;
        double v = 0;
        auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
        return v;
    };
    auto lat = number(tokens[0]);
    auto lon = number(tokens[1]);
    if (!lat || !lon) return std::nullopt;
    if (!std::isfinite(*lat) || !std::isfinite(*lon) || std::fabs(*lat) > 90 || std::fabs(*lon) > 180)
        return std::nullopt;
    if (*lat == 0 && *lon == 0) return std::nullopt;
    return std::make_pair(*lat, *lon);
}

std::optional<double> guessDate(std::string_view name) {
    const icu::RegexPattern* pattern = nameDateRegex();
    if (!pattern) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), int32_t(name.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;

    auto part = [&](int32_t index) -> std::optional<long long> {
        UErrorCode st = U_ZERO_ERROR;
        if (matcher->start(index, st) < 0 || U_FAILURE(st)) return std::nullopt;
        std::string text;
        matcher->group(index, st).toUTF8String(text);
        if (U_FAILURE(st) || text.empty()) return std::nullopt;
        long long v = 0;
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
        return v;
    };
    auto y = part(1), m = part(2), d = part(3);
    if (!y || !m || !d) return std::nullopt;
    if (*y < 1970 || *y > 2100 || *m < 1 || *m > 12 || *d < 1 || *d > 31) return std::nullopt;
    double now = double(std::time(nullptr));
    int thisYear = WallClock::civil(WallClock::dayNumber(now + double(WallClock::localOffset(now)))).y;
    if (*y < 1990 || *y > thisYear + 1) return std::nullopt;
    return wallClockSeconds(*y, *m, *d, part(4).value_or(12), part(5).value_or(0), part(6).value_or(0));
}

double fallbackDate(std::string_view fileName, double mtime) {
    auto slash = fileName.rfind('/');
    if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
    if (auto d = guessDate(fileName)) return *d;
    return mtime + double(WallClock::localOffset(mtime));
}

}  // namespace MediaProcessor

}  // namespace vintrelle
