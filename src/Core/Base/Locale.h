#pragma once
// The user's locale as the C library sees it, for ICU.

#include <clocale>
#include <memory>
#include <string>

#include <unicode/locid.h>

U_NAMESPACE_BEGIN
class SimpleDateFormat;
class TimeZone;
U_NAMESPACE_END

namespace vintrelle {

// The POSIX locale name for a category (LC_TIME, LC_NUMERIC, ...), taken
// from the C library when the program set one, else from the environment.
std::string posixLocaleName(int category);
// The ICU locale for that category ("C" and "POSIX" become en_US_POSIX).
icu::Locale icuLocale(int category);
// The ICU locale of a POSIX locale name: "sr_RS.UTF-8@latin" is sr_Latn_RS,
// "uz_UZ@cyrillic" uz_Cyrl_UZ.
icu::Locale icuLocaleFromPosix(const std::string& name);

// A formatter for a date skeleton ("yMMMMd") in the user's time locale, in
// `zone`, that counts in the Gregorian calendar whatever calendar the locale
// prefers: every date the library shows is Gregorian, and a section titled
// in the Buddhist or Persian calendar beside one in the Gregorian would name
// two years for one.
std::unique_ptr<icu::SimpleDateFormat> gregorianDateFormat(const char* skeleton, const icu::TimeZone& zone);

}  // namespace vintrelle
