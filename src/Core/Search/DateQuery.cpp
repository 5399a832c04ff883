#include "Core/Search/DateQuery.h"

#include <array>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include <unicode/dtfmtsym.h>
#include <unicode/dtptngen.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "Core/Base/Locale.h"
#include "Core/Base/Text.h"
#include "Core/Base/WallClock.h"

namespace vintrelle {

bool DateFilter::matches(double taken) const {
    const CivilDate c = WallClock::civil(WallClock::dayNumber(taken));
    if (year && *year != c.y) return false;
    const bool direct = (!day || *day == c.d) && (!month || *month == c.m);
    if (direct) return true;
    return eitherOrder && day && month && *day == c.m && *month == c.d;
}

namespace DateQuery {

namespace {

using MonthNames = std::array<std::vector<std::string>, 12>;

size_t codePoints(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// ASCII digits only; too long for 64 bits gives nothing.
std::optional<long long> integer(std::string_view s) {
    if (!allDigits(s)) return std::nullopt;
    long long v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

void appendNames(MonthNames& table, const icu::Locale& locale) {
    UErrorCode err = U_ZERO_ERROR;
    // Gregorian month names whatever calendar the locale prefers: capture
    // dates are Gregorian, and a Persian or Islamic month name would pick the
    // wrong month.
    icu::Locale gregorian(locale.getName());
    gregorian.setKeywordValue("calendar", "gregorian", err);
    err = U_ZERO_ERROR;
    icu::DateFormatSymbols symbols(gregorian, err);
    if (U_FAILURE(err)) return;
    using S = icu::DateFormatSymbols;
    const std::pair<S::DtContextType, S::DtWidthType> lists[] = {
        {S::FORMAT, S::WIDE}, {S::FORMAT, S::ABBREVIATED}, {S::STANDALONE, S::WIDE}};
    for (auto [context, width] : lists) {
        int32_t count = 0;
        const icu::UnicodeString* names = symbols.getMonths(count, context, width);
        for (int32_t k = 0; k < count && k < 12; ++k) {
            std::string name;
            names[k].toUTF8String(name);
            name = text::nfc(text::lowercased(name));
            const auto first = name.find_first_not_of('.');
            if (first == std::string::npos) {
                name.clear();
            } else {
                name = name.substr(first, name.find_last_not_of('.') - first + 1);
            }
            if (!name.empty()) table[size_t(k)].push_back(std::move(name));
        }
    }
}

// English names always work; the user's own language works too. One table
// per time locale, built on first use.
const MonthNames& monthNames() {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<MonthNames>> tables;
    const icu::Locale user = icuLocale(LC_TIME);
    std::lock_guard lock(mutex);
    auto& slot = tables[user.getName()];
    if (!slot) {
        slot = std::make_unique<MonthNames>();
        appendNames(*slot, icu::Locale("en_US_POSIX"));
        appendNames(*slot, user);
    }
    return *slot;
}

CivilDate localDate(double moment) {
    tzset();  // follow a TZ that changed since the last call
    const auto t = static_cast<time_t>(std::floor(moment));
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return WallClock::civil(WallClock::dayNumber(moment));
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

struct Context {
    bool dayFirst = false;
    CivilDate today;
    const MonthNames* months = nullptr;
};

std::optional<int> monthIn(const MonthNames& table, const std::string& word) {
    if (codePoints(word) < 3) return std::nullopt;
    const std::string s = text::nfc(word);
    for (size_t m = 0; m < 12; ++m)
        for (const auto& name : table[m])
            if (name.compare(0, s.size(), s) == 0) return int(m) + 1;
    return std::nullopt;
}

std::optional<int> year(std::string_view s, int currentYear) {
    const auto n = integer(s);
    if (!n) return std::nullopt;
    if (s.size() == 4) {
        if (*n >= 1900 && *n <= 2200) return int(*n);
        return std::nullopt;
    }
    if (s.size() == 2) {
        const int pivot = (currentYear + 1) % 100;
        return int(*n <= pivot ? 2000 + *n : 1900 + *n);
    }
    return std::nullopt;
}

const icu::RegexPattern* compile(const char* expression) {
    UErrorCode err = U_ZERO_ERROR;
    icu::RegexPattern* p = icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(expression), 0, err);
    if (U_FAILURE(err)) {
        delete p;
        return nullptr;
    }
    return p;
}

const icu::RegexPattern* dayPattern() {
    static const icu::RegexPattern* p = compile(R"(^(\d{1,2})(st|nd|rd|th)?$)");
    return p;
}

const icu::RegexPattern* compactPattern() {
    static const icu::RegexPattern* p = compile(
        R"(^(\d{1,2})(?:st|nd|rd|th)?[-\/.]?([a-z]{3,9})(?:[-\/.]?(\d{2}|\d{4}))?$|^([a-z]{3,9})[-\/.]?(\d{1,2})(?:st|nd|rd|th)?$)");
    return p;
}

// Groups of a whole-string match (absent groups empty), or nothing when the
// expression does not match or cannot be evaluated.
std::optional<std::vector<std::optional<std::string>>> groups(const icu::RegexPattern* pattern,
                                                              const std::string& s) {
    if (!pattern) return std::nullopt;
    UErrorCode err = U_ZERO_ERROR;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(s);
    std::unique_ptr<icu::RegexMatcher> m(pattern->matcher(input, err));
    if (U_FAILURE(err) || !m) return std::nullopt;
    if (!m->matches(err) || U_FAILURE(err)) return std::nullopt;
    std::vector<std::optional<std::string>> out;
    for (int32_t g = 1; g <= m->groupCount(); ++g) {
        if (m->start(g, err) < 0 || U_FAILURE(err)) {
            out.emplace_back();
            err = U_ZERO_ERROR;
            continue;
        }
        std::string text;
        m->group(g, err).toUTF8String(text);
        out.emplace_back(std::move(text));
    }
    return out;
}

std::optional<int> dayNumberIn(std::string_view digits) {
    const auto n = integer(digits);
    if (n && *n >= 1 && *n <= 31) return int(*n);
    return std::nullopt;
}

std::optional<int> day(const std::string& s) {
    const auto g = groups(dayPattern(), s);
    if (!g || !(*g)[0]) return std::nullopt;
    return dayNumberIn(*(*g)[0]);
}

std::optional<DateFilter> numeric(const std::string& s, const Context& cx) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size()) {
            const char c = s[i];
            if (c >= '0' && c <= '9') continue;
            if (c != '/' && c != '-' && c != '.') return std::nullopt;
        }
        if (i > start) pieces.emplace_back(s.data() + start, i - start);
        start = i + 1;
    }
    if (pieces.size() != 2 && pieces.size() != 3) return std::nullopt;
    std::vector<long long> n;
    for (auto p : pieces) {
        auto v = integer(p);
        if (!v) return std::nullopt;
        n.push_back(*v);
    }
    auto inMonth = [](long long v) { return v >= 1 && v <= 12; };
    auto inDay = [](long long v) { return v >= 1 && v <= 31; };
    const int cy = cx.today.y;

    DateFilter f;
    if (pieces[0].size() == 4) {
        f.year = year(pieces[0], cy);
        if (!f.year || !inMonth(n[1])) return std::nullopt;
        f.month = int(n[1]);
        if (pieces.size() == 3) {
            if (!inDay(n[2])) return std::nullopt;
            f.day = int(n[2]);
        }
        return f;
    }
    if (pieces.size() == 2 && pieces[1].size() == 4) {
        if (!inMonth(n[0])) return std::nullopt;
        f.month = int(n[0]);
        f.year = year(pieces[1], cy);
        if (!f.year) return std::nullopt;
        return f;
    }
    if (pieces.size() == 3) {
        if (pieces[2].size() != 2 && pieces[2].size() != 4) return std::nullopt;
        f.year = year(pieces[2], cy);
        if (!f.year) return std::nullopt;
    }
    const long long a = n[0], b = n[1];
    const bool dayThenMonth = (b <= 12 && a > 12) || (cx.dayFirst && (b <= 12 || a > 12));
    const long long d = dayThenMonth ? a : b;
    const long long m = dayThenMonth ? b : a;
    if (!inMonth(m) || !inDay(d)) return std::nullopt;
    f.day = int(d);
    f.month = int(m);
    f.eitherOrder = a != b && a <= 12 && b <= 12;
    return f;
}

std::optional<DateFilter> compact(const std::string& s, const Context& cx) {
    const auto g = groups(compactPattern(), s);
    if (!g || g->size() < 5) return std::nullopt;
    DateFilter f;
    if ((*g)[0]) {
        f.day = dayNumberIn(*(*g)[0]);
        f.month = monthIn(*cx.months, *(*g)[1]);
        if (!f.day || !f.month) return std::nullopt;
        if ((*g)[2]) {
            f.year = year(*(*g)[2], cx.today.y);
            if (!f.year) return std::nullopt;
        }
        return f;
    }
    if (!(*g)[3] || !(*g)[4]) return std::nullopt;
    f.month = monthIn(*cx.months, *(*g)[3]);
    f.day = dayNumberIn(*(*g)[4]);
    if (!f.day || !f.month) return std::nullopt;
    return f;
}

struct Phrase {
    DateFilter filter;
    size_t words = 1;
};

std::optional<Phrase> parse(const std::vector<std::string>& words, size_t i, const Context& cx) {
    const std::string& w = words[i];
    auto at = [&](size_t j) -> const std::string* { return j < words.size() ? &words[j] : nullptr; };
    auto yearAt = [&](size_t j) -> std::optional<int> {
        const std::string* s = at(j);
        return s ? year(*s, cx.today.y) : std::nullopt;
    };

    if (w == "today" || w == "yesterday") {
        CivilDate c = cx.today;
        // The civil date before, not 24 hours earlier: the day after a
        // 23-hour day starts less than 24 hours after the day before it.
        if (w == "yesterday") c = WallClock::civil(WallClock::daysFromCivil(c.y, c.m, c.d) - 1);
        return Phrase{DateFilter{c.d, c.m, c.y, false}, 1};
    }
    if (auto f = numeric(w, cx)) return Phrase{*f, 1};
    if (auto f = compact(w, cx)) return Phrase{*f, 1};
    if (auto d = day(w)) {
        const size_t k = (at(i + 1) && *at(i + 1) == "of") ? 2 : 1;
        if (const std::string* next = at(i + k)) {
            if (auto m = monthIn(*cx.months, *next)) {
                if (auto y = yearAt(i + k + 1)) return Phrase{DateFilter{d, m, y, false}, k + 2};
                return Phrase{DateFilter{d, m, std::nullopt, false}, k + 1};
            }
        }
        if (codePoints(w) >= 3) return Phrase{DateFilter{d, std::nullopt, std::nullopt, false}, 1};
        return std::nullopt;
    }
    if (auto m = monthIn(*cx.months, w)) {
        if (const std::string* next = at(i + 1)) {
            if (auto d = day(*next)) {
                if (auto y = yearAt(i + 2)) return Phrase{DateFilter{d, m, y, false}, 3};
                return Phrase{DateFilter{d, m, std::nullopt, false}, 2};
            }
            if (auto y = year(*next, cx.today.y)) return Phrase{DateFilter{std::nullopt, m, y, false}, 2};
        }
        return Phrase{DateFilter{std::nullopt, m, std::nullopt, false}, 1};
    }
    if (w.size() == 4) {
        if (auto y = year(w, cx.today.y)) return Phrase{DateFilter{std::nullopt, std::nullopt, y, false}, 1};
    }
    return std::nullopt;
}

}  // namespace

std::vector<Match> find(const std::vector<std::string>& words, bool dayFirst, double today) {
    std::vector<Match> out;
    if (words.empty()) return out;
    Context cx{dayFirst, localDate(today), &monthNames()};
    size_t i = 0;
    while (i < words.size()) {
        if (auto p = parse(words, i, cx)) {
            out.push_back(Match{p->filter, i, i + p->words});
            i += p->words;
        } else {
            ++i;
        }
    }
    return out;
}

std::optional<int> month(const std::string& word) { return monthIn(monthNames(), word); }

bool isDayFirst(const icu::Locale& locale) {
    icu::UnicodeString pattern;
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> gen(icu::DateTimePatternGenerator::createInstance(locale, err));
    if (U_SUCCESS(err) && gen) pattern = gen->getBestPattern(icu::UnicodeString(u"dM"), err);
    if (U_FAILURE(err) || pattern.isEmpty()) pattern = icu::UnicodeString(u"d/M");
    // Pattern letters only: quoted literal text ("'de'") is not a field.
    int32_t firstD = -1, firstM = -1;
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        const char16_t c = pattern.charAt(i);
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && c == u'd' && firstD < 0) {
            firstD = i;
        } else if (!quoted && c == u'M' && firstM < 0) {
            firstM = i;
        }
    }
    return firstD < 0 || firstM < 0 || firstD < firstM;
}

bool localeIsDayFirst() {
    // Read anew for the current locale at every use; the answer per locale
    // is cached because building a pattern generator is slow.
    static std::mutex mutex;
    static std::map<std::string, bool> answers;
    const icu::Locale locale = icuLocale(LC_TIME);
    std::lock_guard lock(mutex);
    auto it = answers.find(locale.getName());
    if (it == answers.end()) it = answers.emplace(locale.getName(), isDayFirst(locale)).first;
    return it->second;
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace DateQuery

}  // namespace vintrelle
