#pragma once
// The user's locale as the C library sees it, for ICU.

#include <clocale>
#include <string>

#include <unicode/locid.h>

namespace vintrelle {

// The POSIX locale name for a category (LC_TIME, LC_NUMERIC, ...), taken
// from the C library when the program set one, else from the environment.
std::string posixLocaleName(int category);
// The ICU locale for that category ("C" and "POSIX" become en_US_POSIX).
icu::Locale icuLocale(int category);

}  // namespace vintrelle
