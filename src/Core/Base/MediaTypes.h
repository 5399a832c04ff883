#pragma once
// Which files are indexed at all, and as what. Below both the index and the
// media readers, since both ask it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vintrelle {

enum class MediaKind : int { photo = 0, video = 1 };

namespace MediaTypes {
const std::unordered_set<std::string>& photo();
const std::unordered_set<std::string>& video();
const std::unordered_set<std::string>& raw();
// Lowercased extension lookup: photo first, then video.
std::optional<MediaKind> kindForPath(std::string_view path);
bool isRaw(std::string_view path);
}  // namespace MediaTypes

}  // namespace vintrelle
