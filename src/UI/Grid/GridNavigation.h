#pragma once
// Positions in grid order and the arrow-key rules over sections of any
// length. Plain arithmetic on the section sizes, so it can be checked
// without a view.

#include <cstddef>
#include <optional>
#include <vector>

#include "UI/Grid/PhotoGridLayout.h"

namespace vintrelle {

// The sections' sizes and where each starts in grid order.
class GridPositions {
public:
    GridPositions() = default;
    explicit GridPositions(std::vector<int> counts);

    const std::vector<int>& counts() const { return counts_; }
    size_t total() const { return total_; }
    int sectionCount() const { return int(counts_.size()); }
    size_t offset(int section) const { return offsets_[size_t(section)]; }

    size_t position(GridIndex i) const { return offsets_[size_t(i.section)] + size_t(i.item); }
    // The section is the first whose next offset lies above pos (the last one
    // when none does), so a position never lands in an empty section.
    GridIndex index(size_t pos) const;
    bool contains(GridIndex i) const {
        return i.section >= 0 && i.section < sectionCount() && i.item >= 0 && i.item < counts_[size_t(i.section)];
    }

private:
    std::vector<int> counts_;
    std::vector<size_t> offsets_;
    size_t total_ = 0;
};

// One row up (dy < 0) or down from `from` at the given column count,
// crossing into the nearest section with assets; none when there is none.
std::optional<GridIndex> verticalStep(const std::vector<int>& counts, GridIndex from, int dy, int columns);

// Where an arrow key leads: left and right run through the whole grid in
// reading order, up and down follow verticalStep; without a start (or with
// one that no longer exists) the first asset. Clamped to the grid; none only
// when the grid is empty.
std::optional<size_t> arrowTarget(const GridPositions& grid, std::optional<GridIndex> start, int dx, int dy,
                                  int columns);

}  // namespace vintrelle
