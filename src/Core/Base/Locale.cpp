#include "Core/Base/Locale.h"

#include <cstdlib>

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

icu::Locale icuLocale(int category) {
    std::string name = posixLocaleName(category);
    auto cut = name.find_first_of(".@");
    std::string base = name.substr(0, cut);
    if (isPlain(base) || base == "C") return icu::Locale("en_US_POSIX");
    return icu::Locale(base.c_str());
}

}  // namespace vintrelle
