#pragma once
// Text helpers of the store's read and write side.

#include <string>
#include <string_view>

namespace vintrelle::storetext {

// Without Unicode white space and line breaks at both ends.
std::string trimmed(std::string_view s);
// Equal ignoring case (and canonically equivalent spellings).
bool equalIgnoringCase(std::string_view a, std::string_view b);
// The file browser's order of names: case-insensitive, digits by numeric value.
bool folderNameBefore(std::string_view a, std::string_view b);

}  // namespace vintrelle::storetext
