#pragma once
// Where the main column is: a plain value with equality, hashing and a text
// form ("library", "trip(3)", "folder(2021/Rome)", "place(10,20,-5,5,Lisbon)")
// that is the same for equal routes, different for different ones, and reads
// back with parse().

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Core/Index/Models.h"

namespace vintrelle {

class Route {
public:
    // In declaration order: the position is what hashing feeds first.
    enum class Kind : int {
        library,
        favorites,
        videos,
        recent,
        trips,
        trip,
        people,
        person,
        places,
        place,
        albums,
        album,
        folder,
    };

    Route() = default;  // library
    static Route library() { return Route(Kind::library); }
    static Route favorites() { return Route(Kind::favorites); }
    static Route videos() { return Route(Kind::videos); }
    static Route recent() { return Route(Kind::recent); }
    static Route trips() { return Route(Kind::trips); }
    static Route people() { return Route(Kind::people); }
    static Route places() { return Route(Kind::places); }
    static Route albums() { return Route(Kind::albums); }
    static Route trip(int64_t id) { return Route(Kind::trip, id); }
    static Route person(int64_t id) { return Route(Kind::person, id); }
    static Route album(int64_t id) { return Route(Kind::album, id); }
    static Route place(PlaceBox box) { return Route(Kind::place, std::move(box)); }
    static Route folder(std::string path) { return Route(Kind::folder, std::move(path)); }

    Kind kind() const { return kind_; }
    // The payload of trip, person and album; 0 for the others.
    int64_t id() const;
    // The payload of place; an empty box for the others.
    const PlaceBox& box() const;
    // The payload of folder; empty for the others.
    const std::string& path() const;

    // Routes shown by the photo grid (every route but the four overviews).
    bool isAssetRoute() const;

    std::string text() const;
    static std::optional<Route> parse(std::string_view text);

    friend bool operator==(const Route& a, const Route& b) { return a.kind_ == b.kind_ && a.payload_ == b.payload_; }
    size_t hash() const;

private:
    using Payload = std::variant<std::monostate, int64_t, PlaceBox, std::string>;
    explicit Route(Kind k, Payload p = {}) : kind_(k), payload_(std::move(p)) {}

    Kind kind_ = Kind::library;
    Payload payload_;
};

}  // namespace vintrelle

template <>
struct std::hash<vintrelle::Route> {
    size_t operator()(const vintrelle::Route& r) const noexcept { return r.hash(); }
};
