#pragma once
// Unicode text operations over UTF-8 std::string, through ICU.

#include <string>
#include <string_view>

namespace vintrelle::text {

std::string nfc(std::string_view s);
std::string nfd(std::string_view s);
// Equal bytes, or equal after NFC normalisation.
bool canonicallyEqual(std::string_view a, std::string_view b);
bool isValidUtf8(std::string_view s);
// Locale-independent full lower-casing (ICU root locale).
std::string lowercased(std::string_view s);
std::string uppercased(std::string_view s);
// Unicode default case folding.
std::string caseFolded(std::string_view s);
// Case folding with diacritics removed (NFD, drop nonspacing marks, NFC).
std::string foldedForSearch(std::string_view s);

}  // namespace vintrelle::text
