#pragma once
// A request to the grid to scroll to a section, and what a grid keeps of the
// requests it has served.

#include <cstdint>
#include <optional>
#include <string>

namespace vintrelle {

struct ScrollRequest {
    std::string section;  // the id of a grid section
    int64_t token = 0;    // distinct for each request
    bool operator==(const ScrollRequest&) const = default;
};

// The request standing when a grid is made counts as served: the model keeps
// the last request after its grid is gone, and a new grid must not replay it.
class ScrollCursor {
public:
    explicit ScrollCursor(const std::optional<ScrollRequest>& standing)
        : served_(standing ? std::optional(standing->token) : std::nullopt) {}

    // The section to scroll to, once per new token.
    std::optional<std::string> take(const std::optional<ScrollRequest>& request) {
        if (!request || request->token == served_) return std::nullopt;
        served_ = request->token;
        return request->section;
    }

private:
    std::optional<int64_t> served_;
};

}  // namespace vintrelle
