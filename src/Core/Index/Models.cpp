#include "Core/Index/Models.h"

#include <functional>

#include "Core/Base/Text.h"

namespace vintrelle {

namespace {

bool textEq(const std::string& a, const std::string& b) { return text::canonicallyEqual(a, b); }

bool textEq(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || text::canonicallyEqual(*a, *b);
}

// Numbers by value: NaN never equals, absent equals only absent.
template <class T>
bool numEq(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || *a == *b;
}

void mix(size_t& seed, size_t h) { seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

size_t hashDouble(double d) { return std::hash<double>{}(d == 0 ? 0.0 : d); }

}  // namespace

std::optional<MediaKind> mediaKindFromRaw(int64_t raw) {
    if (raw == 0) return MediaKind::photo;
    if (raw == 1) return MediaKind::video;
    return std::nullopt;
}

bool operator==(const Asset& a, const Asset& b) {
    return a.id == b.id && textEq(a.path, b.path) && a.kind == b.kind && a.size == b.size &&
           a.mtime == b.mtime && a.taken == b.taken && a.width == b.width && a.height == b.height &&
           a.duration == b.duration && numEq(a.lat, b.lat) && numEq(a.lon, b.lon) &&
           textEq(a.camera, b.camera) && textEq(a.lens, b.lens) && numEq(a.iso, b.iso) &&
           numEq(a.fnumber, b.fnumber) && numEq(a.exposure, b.exposure) && numEq(a.focal, b.focal) &&
           a.favorite == b.favorite && textEq(a.liveVideo, b.liveVideo) && a.hidden == b.hidden &&
           a.thumbState == b.thumbState && a.added == b.added;
}

const std::string& Trip::title() const {
    return customTitle && !customTitle->empty() ? *customTitle : autoTitle;
}

bool operator==(const Trip& a, const Trip& b) {
    return a.id == b.id && textEq(a.autoTitle, b.autoTitle) && textEq(a.customTitle, b.customTitle) &&
           textEq(a.subtitle, b.subtitle) && a.start == b.start && a.end == b.end && a.lat == b.lat &&
           a.lon == b.lon && a.hidden == b.hidden && a.coverAssetID == b.coverAssetID && a.named == b.named;
}

bool operator==(const Person& a, const Person& b) {
    return a.id == b.id && textEq(a.name, b.name) && a.hidden == b.hidden &&
           a.coverFaceID == b.coverFaceID && a.faceCount == b.faceCount;
}

bool operator==(const Album& a, const Album& b) {
    return a.id == b.id && textEq(a.name, b.name) && a.created == b.created && a.assetIDs == b.assetIDs;
}

bool operator==(const PlaceBox& a, const PlaceBox& b) {
    return a.minLat == b.minLat && a.maxLat == b.maxLat && a.minLon == b.minLon && a.maxLon == b.maxLon &&
           textEq(a.title, b.title);
}

bool operator==(const PlaceName& a, const PlaceName& b) {
    return a.locality == b.locality && a.admin == b.admin && a.country == b.country;
}

std::optional<std::string> PlaceName::display() const {
    std::vector<std::string> kept;
    for (const auto* part : {&locality, &admin, &country}) {
        if (!*part || (*part)->empty()) continue;
        bool seen = false;
        for (auto& k : kept) seen = seen || k == **part;
        if (!seen) kept.push_back(**part);
    }
    if (kept.empty()) return std::nullopt;
    if (kept.size() == 1) return kept[0];
    return kept[0] + ", " + kept[1];
}

}  // namespace vintrelle

size_t std::hash<vintrelle::PlaceBox>::operator()(const vintrelle::PlaceBox& b) const noexcept {
    using namespace vintrelle;
    size_t seed = 0;
    mix(seed, hashDouble(b.minLat));
    mix(seed, hashDouble(b.maxLat));
    mix(seed, hashDouble(b.minLon));
    mix(seed, hashDouble(b.maxLon));
    // Canonically equal titles must hash alike.
    mix(seed, std::hash<std::string>{}(text::nfc(b.title)));
    return seed;
}
