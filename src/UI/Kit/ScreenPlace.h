#pragma once
// Where a scrolling screen stands, kept by the window while the screen's
// route waits on the back stack, so that Back returns to the same place.

#include <cstdint>
#include <optional>

namespace vintrelle {

struct ScreenPlace {
    // The item the place is held by and the height of its centre in the
    // view; none for screens held by their offset alone.
    std::optional<int64_t> itemID;
    double itemY = 0;
    int offset = 0;  // the scroll offset, when the item is gone
    bool operator==(const ScreenPlace&) const = default;
};

// A screen that can tell its place and go back to one.
class KeepsPlace {
public:
    virtual ~KeepsPlace() = default;
    // None while the screen shows nothing to scroll.
    virtual std::optional<ScreenPlace> place() const = 0;
    // Goes back to a place once the screen shows its content (which may
    // come later than the call).
    virtual void restorePlace(const ScreenPlace& place) = 0;
};

}  // namespace vintrelle
