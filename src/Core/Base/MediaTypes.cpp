#include "Core/Base/MediaTypes.h"

namespace vintrelle {

namespace MediaTypes {

const std::unordered_set<std::string>& photo() {
    static const std::unordered_set<std::string> s = {"jpg", "jpeg", "jpe", "heic", "heif", "png", "gif",
                                                      "tif", "tiff", "bmp", "webp", "avif", "dng", "cr2",
                                                      "cr3", "nef", "nrw", "arw", "srf", "sr2", "raf",
                                                      "orf", "rw2", "pef", "srw", "raw", "3fr", "erf"};
    return s;
}

const std::unordered_set<std::string>& video() {
    static const std::unordered_set<std::string> s = {"mov", "mp4", "m4v", "3gp", "3g2",
                                                      "avi", "mts", "m2ts", "mpg", "mpeg"};
    return s;
}

const std::unordered_set<std::string>& raw() {
    static const std::unordered_set<std::string> s = {"dng", "cr2", "cr3", "nef", "nrw", "arw", "srf", "sr2",
                                                      "raf", "orf", "rw2", "pef", "srw", "raw", "3fr", "erf"};
    return s;
}

namespace {
std::string extension(std::string_view path) {
    auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 >= name.size()) return {};
    std::string ext(name.substr(dot + 1));
    for (auto& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return ext;
}
}  // namespace

std::optional<MediaKind> kindForPath(std::string_view path) {
    const std::string ext = extension(path);
    if (ext.empty()) return std::nullopt;
    if (photo().count(ext)) return MediaKind::photo;
    if (video().count(ext)) return MediaKind::video;
    return std::nullopt;
}

bool isRaw(std::string_view path) { return raw().count(extension(path)) > 0; }

}  // namespace MediaTypes

}  // namespace vintrelle
