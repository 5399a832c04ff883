#include "App/Route.h"

#include <array>
#include <charconv>
#include <cmath>

#include "Core/Base/Text.h"

namespace vintrelle {

namespace {

constexpr std::array<std::string_view, 13> kNames = {"library", "favorites", "videos", "recent", "trips",
                                                     "trip",    "people",    "person", "places", "place",
                                                     "albums",  "album",     "folder"};

bool hasID(Route::Kind k) { return k == Route::Kind::trip || k == Route::Kind::person || k == Route::Kind::album; }

// Shortest text that reads back to the same double; both zeros write "0",
// since they are the same bound.
void appendNumber(std::string& out, double d) {
    if (d == 0) d = 0;
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, r.ptr);
}

template <class T>
std::optional<T> readNumber(std::string_view s) {
    T v{};
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

void mix(size_t& seed, size_t h) { seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

}  // namespace

int64_t Route::id() const {
    const int64_t* v = std::get_if<int64_t>(&payload_);
    return v ? *v : 0;
}

const PlaceBox& Route::box() const {
    static const PlaceBox none;
    const PlaceBox* v = std::get_if<PlaceBox>(&payload_);
    return v ? *v : none;
}

const std::string& Route::path() const {
    static const std::string none;
    const std::string* v = std::get_if<std::string>(&payload_);
    return v ? *v : none;
}

bool Route::isAssetRoute() const {
    return kind_ != Kind::trips && kind_ != Kind::people && kind_ != Kind::places && kind_ != Kind::albums;
}

std::string Route::text() const {
    std::string out(kNames[size_t(kind_)]);
    if (hasID(kind_)) {
        out += '(' + std::to_string(id()) + ')';
    } else if (kind_ == Kind::place) {
        const PlaceBox& b = box();
        out += '(';
        for (double d : {b.minLat, b.maxLat, b.minLon, b.maxLon}) {
            appendNumber(out, d);
            out += ',';
        }
        // Canonically equal titles make equal routes, so they write alike.
        out += text::nfc(b.title);
        out += ')';
    } else if (kind_ == Kind::folder) {
        out += '(' + path() + ')';
    }
    return out;
}

std::optional<Route> Route::parse(std::string_view s) {
    const size_t open = s.find('(');
    const std::string_view name = s.substr(0, open);
    size_t k = 0;
    while (k < kNames.size() && kNames[k] != name) ++k;
    if (k == kNames.size()) return std::nullopt;
    const Kind kind = Kind(k);
    const bool payload = hasID(kind) || kind == Kind::place || kind == Kind::folder;
    if (open == std::string_view::npos) {
        if (payload) return std::nullopt;
        return Route(kind);
    }
    if (!payload || s.back() != ')') return std::nullopt;
    // The payload runs to the last character, so a folder or title may hold
    // any character, parentheses and commas included.
    std::string_view inner = s.substr(open + 1, s.size() - open - 2);
    if (kind == Kind::folder) return folder(std::string(inner));
    if (hasID(kind)) {
        const auto v = readNumber<int64_t>(inner);
        if (!v) return std::nullopt;
        return Route(kind, *v);
    }
    PlaceBox b;
    for (double* field : {&b.minLat, &b.maxLat, &b.minLon, &b.maxLon}) {
        const size_t comma = inner.find(',');
        if (comma == std::string_view::npos) return std::nullopt;
        const auto v = readNumber<double>(inner.substr(0, comma));
        if (!v) return std::nullopt;
        *field = *v;
        inner.remove_prefix(comma + 1);
    }
    b.title = std::string(inner);
    return place(std::move(b));
}

size_t Route::hash() const {
    size_t seed = 0;
    mix(seed, std::hash<int>{}(int(kind_)));
    if (hasID(kind_)) mix(seed, std::hash<int64_t>{}(id()));
    else if (kind_ == Kind::place) mix(seed, std::hash<PlaceBox>{}(box()));  // zeros of either sign alike
    else if (kind_ == Kind::folder) mix(seed, std::hash<std::string>{}(path()));
    return seed;
}

}  // namespace vintrelle
