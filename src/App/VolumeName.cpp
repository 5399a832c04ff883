#include "App/VolumeName.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vintrelle {
namespace {

std::vector<std::string_view> pieces(std::string_view path) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        if (end > i) out.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

// The position of the drive's name among the pieces of a path.
std::optional<size_t> namePiece(const std::vector<std::string_view>& p, std::string_view userName) {
    auto at = [&](size_t i) -> std::optional<size_t> {
        if (i < p.size()) return i;
        return std::nullopt;
    };
    if (p.empty()) return std::nullopt;
    if (p[0] == "Volumes" || p[0] == "mnt") return at(1);
    if (p[0] == "media") {
        if (p.size() > 1 && !userName.empty() && p[1] == userName) return at(2);
        return at(1);
    }
    if (p[0] == "run" && p.size() > 1 && p[1] == "media") return at(3);
    return std::nullopt;
}

}  // namespace

std::string currentUserName() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* u = std::getenv("USER")) return u;
    return {};
}

std::optional<std::string> volumeName(std::string_view path, std::string_view userName) {
    const auto p = pieces(path);
    if (const auto i = namePiece(p, userName)) return std::string(p[*i]);
    return std::nullopt;
}

std::optional<std::string> volumeRoot(std::string_view path, std::string_view userName) {
    const auto p = pieces(path);
    const auto i = namePiece(p, userName);
    if (!i) return std::nullopt;
    std::string root;
    for (size_t k = 0; k <= *i; ++k) (root += '/') += p[k];
    return root;
}

std::optional<std::string> volumeName(std::string_view path) { return volumeName(path, currentUserName()); }

}  // namespace vintrelle
