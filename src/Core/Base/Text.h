#pragma once
// Unicode text operations over UTF-8 std::string, through ICU.
//
// File names on Linux are bytes and need not be UTF-8. The transforms below
// change only what decodes; bytes that do not are copied unchanged, so two
// different names never become one.

#include <string>
#include <string_view>

namespace vintrelle::text {

std::string nfc(std::string_view s);
std::string nfd(std::string_view s);
// Equal bytes, or equal after NFC normalisation.
bool canonicallyEqual(std::string_view a, std::string_view b);
bool isValidUtf8(std::string_view s);
// The text as a person sees it: U+FFFD in place of each byte sequence that
// is not UTF-8 (and the input itself when it all is).
std::string displayable(std::string_view s);
// Locale-independent full lower-casing (ICU root locale).
std::string lowercased(std::string_view s);
std::string uppercased(std::string_view s);
// Unicode default case folding.
std::string caseFolded(std::string_view s);
// What the search compares: the displayable text case-folded, without the
// diacritics that canonical decomposition separates (accents, tone marks,
// cedillas), while the vowel signs and viramas of Indic and Thai words stay.
std::string foldedForSearch(std::string_view s);

}  // namespace vintrelle::text
