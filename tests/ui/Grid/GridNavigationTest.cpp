#include <gtest/gtest.h>

#include "UI/Grid/GridNavigation.h"
#include "UI/Grid/GridSelection.h"

using namespace vintrelle;

// Sections of 5, 2 and 7 at 3 columns:
//   S0: 0 1 2 / 3 4     S1: 0 1     S2: 0 1 2 / 3 4 5 / 6
TEST(GridNavigation, ArrowKeysAcrossSections) {
    const GridPositions grid({5, 2, 7});
    struct Case {
        std::optional<GridIndex> start;
        int dx, dy;
        GridIndex expected;
    } cases[] = {
        {std::nullopt, 1, 0, {0, 0}},  // nothing yet: the first asset, whatever the key
        {std::nullopt, 0, -1, {0, 0}},
        {GridIndex{0, 4}, 1, 0, {1, 0}},   // right crosses into the next section
        {GridIndex{1, 0}, -1, 0, {0, 4}},  // left crosses back
        {GridIndex{2, 6}, 1, 0, {2, 6}},   // the very last stays
        {GridIndex{0, 0}, -1, 0, {0, 0}},
        {GridIndex{0, 1}, 0, -1, {0, 1}},  // up from the first row of the first section stays
        {GridIndex{1, 0}, 0, -1, {0, 3}},  // up: same column of the previous section's last row
        {GridIndex{1, 1}, 0, -1, {0, 4}},
        {GridIndex{2, 2}, 0, -1, {1, 1}},  // that row is shorter: its last item
        {GridIndex{0, 2}, 0, 1, {0, 4}},   // down into a column the last row does not reach
        {GridIndex{0, 0}, 0, 1, {0, 3}},
        {GridIndex{0, 3}, 0, 1, {1, 0}},   // down from the last row: first row of the next section
        {GridIndex{0, 4}, 0, 1, {1, 1}},
        {GridIndex{1, 1}, 0, 1, {2, 1}},
        {GridIndex{2, 5}, 0, 1, {2, 6}},
        {GridIndex{2, 6}, 0, 1, {2, 6}},   // down from the last row of the last section stays
        {GridIndex{2, 4}, 0, -1, {2, 1}},
        {GridIndex{5, 0}, 0, 1, {0, 0}},   // a start whose section is gone: the first asset
    };
    for (const Case& c : cases) {
        const auto t = arrowTarget(grid, c.start, c.dx, c.dy, 3);
        ASSERT_TRUE(t);
        EXPECT_EQ(grid.index(*t), c.expected)
            << (c.start ? c.start->section : -1) << ":" << (c.start ? c.start->item : -1) << " " << c.dx << ","
            << c.dy;
    }
    EXPECT_EQ(arrowTarget(GridPositions({0, 0}), std::nullopt, 1, 0, 3), std::nullopt);
}

TEST(GridNavigation, EmptySectionsAreSkipped) {
    const GridPositions grid({5, 0, 2, 0});
    EXPECT_EQ(grid.total(), 7u);
    EXPECT_EQ(grid.index(5), (GridIndex{2, 0}));
    EXPECT_EQ(grid.index(4), (GridIndex{0, 4}));
    EXPECT_EQ(grid.index(*arrowTarget(grid, GridIndex{2, 0}, 0, -1, 3)), (GridIndex{0, 3}));
    EXPECT_EQ(grid.index(*arrowTarget(grid, GridIndex{0, 4}, 0, 1, 3)), (GridIndex{2, 1}));
    EXPECT_EQ(grid.index(*arrowTarget(grid, GridIndex{2, 1}, 1, 0, 3)), (GridIndex{2, 1}));
}

TEST(GridSelection, BitsInGridOrder) {
    GridSelection s;
    s.reset(130);
    s.setRange(70, 65, true);
    s.set(129, true);
    s.set(3, true);
    s.set(3, true);
    std::vector<size_t> got;
    s.forEach([&](size_t p) { got.push_back(p); });
    EXPECT_EQ(got, (std::vector<size_t>{3, 65, 66, 67, 68, 69, 70, 129}));
    EXPECT_EQ(s.count(), 8u);
    EXPECT_EQ(s.first(), 3u);
    s.selectAll();
    EXPECT_EQ(s.count(), 130u);
    EXPECT_FALSE(s.test(130));
    s.clear();
    EXPECT_EQ(s.first(), 130u);
}
