#include "UI/Grid/GridNavigation.h"

#include <algorithm>

namespace vintrelle {

GridPositions::GridPositions(std::vector<int> counts) : counts_(std::move(counts)) {
    offsets_.reserve(counts_.size());
    for (int c : counts_) {
        offsets_.push_back(total_);
        total_ += size_t(std::max(c, 0));
    }
}

GridIndex GridPositions::index(size_t pos) const {
    // The last section starting at or before pos: among sections that start
    // at the same offset, the empty ones come first.
    const auto after = std::upper_bound(offsets_.begin(), offsets_.end(), pos);
    const int s = std::max(int(after - offsets_.begin()) - 1, 0);
    return GridIndex{s, int(pos - offsets_[size_t(s)])};
}

std::optional<GridIndex> verticalStep(const std::vector<int>& counts, GridIndex from, int dy, int columns) {
    const int count = counts[size_t(from.section)];
    const int target = from.item + dy * columns;
    if (target >= 0 && target < count) return GridIndex{from.section, target};
    const int column = from.item % columns;
    if (dy < 1) {
        for (int s = from.section - 1; s >= 0; --s) {
            const int c = counts[size_t(s)];
            if (c < 1) continue;
            const int lastRowStart = (c - 1) / columns * columns;
            return GridIndex{s, std::min(lastRowStart + column, c - 1)};
        }
        return std::nullopt;
    }
    const int lastRowStart = count < 1 ? 0 : (count - 1) / columns * columns;
    if (from.item >= lastRowStart) {
        for (int s = from.section + 1; s < int(counts.size()); ++s) {
            const int c = counts[size_t(s)];
            if (c >= 1) return GridIndex{s, std::min(column, c - 1)};
        }
        return std::nullopt;
    }
    // The row below is the short last row and has no cell in this column.
    return GridIndex{from.section, count - 1};
}

std::optional<size_t> arrowTarget(const GridPositions& grid, std::optional<GridIndex> start, int dx, int dy,
                                  int columns) {
    const size_t total = grid.total();
    if (total < 1) return std::nullopt;
    if (!start || start->section >= grid.sectionCount() || !grid.contains(*start)) return size_t(0);
    long long flat = (long long)grid.position(*start);
    if (dx != 0) {
        flat += dx;
    } else if (auto v = verticalStep(grid.counts(), *start, dy, std::max(columns, 1))) {
        flat = (long long)grid.position(*v);
    }
    return size_t(std::clamp(flat, 0LL, (long long)total - 1));
}

}  // namespace vintrelle
