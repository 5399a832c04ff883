#include "Core/Base/Locale.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <unicode/dtptngen.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

namespace vintrelle {

namespace {

const char* envFor(int category) {
    switch (category) {
        case LC_TIME: return "LC_TIME";
        case LC_NUMERIC: return "LC_NUMERIC";
        case LC_COLLATE: return "LC_COLLATE";
        case LC_MESSAGES: return "LC_MESSAGES";
        default: return "LC_CTYPE";
    }
}

bool isPlain(const std::string& s) { return s.empty() || s == "C" || s == "POSIX" || s == "C.UTF-8"; }

// The C library's locale modifiers that name the script a language is
// written in: Serbian and Belarusian in Latin letters, Uzbek in Cyrillic
// ones, Kashmiri and Sindhi in Devanagari, Tatar in its Latin alphabet. The
// others (@euro, @valencia, a collation order) change nothing ICU formats.
struct Modifier {
    std::string_view name;
    const char* script;
};
constexpr Modifier kModifiers[] = {
    {"latin", "Latn"}, {"cyrillic", "Cyrl"}, {"devanagari", "Deva"}, {"iqtelif", "Latn"}};

// Whether ICU has texts for the language in that script. A script it lacks
// would fall back to its root texts, English month names, which are further
// from the user than the language's usual script.
bool hasData(const icu::Locale& wanted) {
    int32_t count = 0;
    const icu::Locale* all = icu::Locale::getAvailableLocales(count);
    for (int32_t i = 0; i < count; ++i) {
        if (std::strcmp(all[i].getLanguage(), wanted.getLanguage()) == 0 &&
            std::strcmp(all[i].getScript(), wanted.getScript()) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string posixLocaleName(int category) {
    const char* current = std::setlocale(category, nullptr);
    std::string name = current ? current : "";
    if (!isPlain(name)) return name;
    // The program never called setlocale (headless tools, tests): read the
    // environment in the C library's order of precedence.
    for (const char* var : {"LC_ALL", envFor(category), "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return v;
    }
    return "C";
}

icu::Locale icuLocaleFromPosix(const std::string& name) {
    // language[_territory][.codeset][@modifier]
    const size_t at = name.find('@');
    const std::string modifier = at == std::string::npos ? "" : name.substr(at + 1);
    std::string base = name.substr(0, std::min(name.find('.'), at));
    if (isPlain(base)) return icu::Locale("en_US_POSIX");
    const size_t underscore = base.find('_');
    const std::string language = base.substr(0, underscore);
    const std::string territory = underscore == std::string::npos ? "" : base.substr(underscore + 1);
    for (const Modifier& m : kModifiers) {
        if (modifier != m.name) continue;
        std::string tag = language + "_" + m.script;
        if (!territory.empty()) tag += "_" + territory;
        icu::Locale withScript(tag.c_str());
        if (hasData(withScript)) return withScript;
        break;
    }
    return icu::Locale(base.c_str());
}

icu::Locale icuLocale(int category) { return icuLocaleFromPosix(posixLocaleName(category)); }

std::unique_ptr<icu::SimpleDateFormat> gregorianDateFormat(const char* skeleton, const icu::TimeZone& zone) {
    UErrorCode err = U_ZERO_ERROR;
    // The calendar keyword picks the locale's Gregorian patterns too: its own
    // calendar's would add an era or put the year first.
    icu::Locale locale = icuLocale(LC_TIME);
    locale.setKeywordValue("calendar", "gregorian", err);
    err = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> gen(icu::DateTimePatternGenerator::createInstance(locale, err));
    icu::UnicodeString pattern = icu::UnicodeString::fromUTF8(skeleton);
    if (U_SUCCESS(err) && gen) {
        icu::UnicodeString best = gen->getBestPattern(pattern, err);
        if (U_SUCCESS(err)) pattern = best;
    }
    err = U_ZERO_ERROR;
    auto fmt = std::make_unique<icu::SimpleDateFormat>(pattern, locale, err);
    if (U_FAILURE(err)) {
        err = U_ZERO_ERROR;
        fmt = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(skeleton), icu::Locale::getRoot(),
                                                      err);
    }
    UErrorCode calErr = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(zone.clone(), locale, calErr));
    if (U_SUCCESS(calErr) && cal) fmt->adoptCalendar(cal.release());
    fmt->setTimeZone(zone);
    return fmt;
}

}  // namespace vintrelle
