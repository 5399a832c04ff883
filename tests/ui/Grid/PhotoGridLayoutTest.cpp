#include <gtest/gtest.h>

#include <random>

#include "UI/Grid/PhotoGridLayout.h"

using namespace vintrelle;

namespace {

PhotoGridLayout laid(std::vector<int> counts, std::vector<double> heights, double width, double target = 150,
                     double topInset = 0) {
    PhotoGridLayout l;
    l.setSections(std::move(counts), std::move(heights));
    l.setTargetSize(target);
    l.setTopInset(topInset);
    l.prepare(width);
    return l;
}

}  // namespace

TEST(PhotoGridLayout, ColumnsSideAndCentredInset) {
    struct Case {
        double width, target;
        int columns;
        double side, inset;
    } cases[] = {
        {104, 150, 1, 60, 22},   // usable 60
        {50, 150, 1, 60, -5},    // still usable 60; the block is centred on the narrow width
        {1000, 150, 6, 156, 22}, // floor(960 / 154) = 6, floor(936 / 6) = 156
        {1000, 72, 12, 76, 22},
        {1440, 320, 4, 346, 22},
        {500, 140, 3, 149, 22},
        {1001, 150, 6, 156, 22},  // the odd pixel is floored away
        {1005, 150, 6, 156, 24},  // spare pixels of the last column widen both margins
    };
    for (const Case& c : cases) {
        const PhotoGridLayout l = laid({1}, {62}, c.width, c.target);
        EXPECT_EQ(l.columns(), c.columns) << c.width << " " << c.target;
        EXPECT_EQ(l.side(), c.side) << c.width << " " << c.target;
        EXPECT_EQ(l.leftInset(), c.inset) << c.width << " " << c.target;
    }
}

TEST(PhotoGridLayout, SectionBandsRowsAndContentHeight) {
    // Width 500 at target 140: 3 columns of 149.
    const PhotoGridLayout l = laid({0, 7, 2}, {62, 62, 6}, 500, 140, 100);
    ASSERT_EQ(l.tops().size(), 3u);
    EXPECT_EQ(l.tops()[0], 100);                            // below the route header
    EXPECT_EQ(l.tops()[1], 100 + 62 + 20);                  // an empty section keeps its band and the gap
    EXPECT_EQ(l.tops()[2], 182 + 62 + 3 * 153 - 4 + 20);    // 7 items in 3 rows
    EXPECT_EQ(l.contentHeight(), l.tops()[2] + 6 + 149 + 20 + 24);
    // The seventh item sits alone at column 0 of the third row.
    EXPECT_EQ(l.itemFrame({1, 6}), QRectF(22, 182 + 62 + 2 * 153, 149, 149));
    EXPECT_EQ(l.headerFrame(1), QRectF(22, 182, 456, 62));
    EXPECT_TRUE(l.itemsIn(QRectF(0, 100, 500, 82)).empty());  // the empty section's band has no cells

    PhotoGridLayout fresh;
    EXPECT_EQ(fresh.contentSizeHeight(), 1);
    fresh.prepare(800);
    EXPECT_EQ(fresh.contentHeight(), 24);
}

TEST(PhotoGridLayout, PassesOnlyForRealChanges) {
    PhotoGridLayout l = laid({10}, {62}, 800);
    EXPECT_FALSE(l.needsPrepare(800.4));
    EXPECT_TRUE(l.needsPrepare(800.6));
    l.setTargetSize(150);  // unchanged
    EXPECT_FALSE(l.needsPrepare(800));
    l.setTopInset(30);
    EXPECT_TRUE(l.prepareIfNeeded(800));
    EXPECT_EQ(l.tops()[0], 30);
    EXPECT_FALSE(l.prepareIfNeeded(800));
}

TEST(PhotoGridLayout, SectionAtAndRectanglesBeyondTheContent) {
    const PhotoGridLayout l = laid({3, 3}, {62, 62}, 1000, 150, 40);
    EXPECT_EQ(l.sectionAt(-50), 0);
    EXPECT_EQ(l.sectionAt(l.tops()[1] - 0.01), 0);
    EXPECT_EQ(l.sectionAt(l.tops()[1]), 1);
    EXPECT_EQ(l.sectionAt(1e9), 1);
    EXPECT_EQ(PhotoGridLayout().sectionAt(0), std::nullopt);
    EXPECT_EQ(l.itemsIn(QRectF(0, -500, 1000, 400)).size(), 0u);
    EXPECT_EQ(l.itemsIn(QRectF(0, -500, 1000, 700)).size(), 3u);  // above the first top: section 0
    EXPECT_TRUE(l.itemsIn(QRectF(0, l.contentHeight() + 1, 1000, 500)).empty());
}

// Random section tables against brute force: the rectangle query, the
// section lookup and the hit test.
TEST(PhotoGridLayout, QueriesMatchBruteForce) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        const int sections = std::uniform_int_distribution<int>(0, 12)(rng);
        std::vector<int> counts;
        std::vector<double> heights;
        for (int s = 0; s < sections; ++s) {
            counts.push_back(std::uniform_int_distribution<int>(0, 40)(rng));
            heights.push_back(std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 6 : 62);
        }
        const double width = std::uniform_int_distribution<int>(40, 2000)(rng);
        const double target = std::uniform_int_distribution<int>(72, 320)(rng);
        const PhotoGridLayout l = laid(counts, heights, width, target, std::uniform_int_distribution<int>(0, 1)(rng) * 120);

        std::uniform_real_distribution<double> any(-200, l.contentHeight() + 200);
        std::uniform_real_distribution<double> anyX(-50, width + 50);
        for (int q = 0; q < 30; ++q) {
            const double y0 = any(rng), y1 = any(rng), x0 = anyX(rng), x1 = anyX(rng);
            const QRectF r = QRectF(QPointF(x0, y0), QPointF(x1, y1)).normalized();
            std::vector<GridIndex> expected;
            std::vector<int> expectedHeaders;
            for (int s = 0; s < sections; ++s) {
                if (auto h = l.headerFrame(s); h && h->intersects(r)) expectedHeaders.push_back(s);
                for (int i = 0; i < counts[size_t(s)]; ++i)
                    if (l.itemFrame({s, i}).intersects(r)) expected.push_back({s, i});
            }
            std::vector<int> headers;
            std::vector<GridIndex> items;
            l.forEachIn(r, [&](int s) { headers.push_back(s); }, [&](GridIndex i) { items.push_back(i); });
            ASSERT_EQ(items, expected) << "round " << round;
            ASSERT_EQ(headers, expectedHeaders) << "round " << round;

            const double y = any(rng);
            std::optional<int> linear;
            for (int s = 0; s < sections; ++s)
                if (l.tops()[size_t(s)] <= y) linear = s;
            if (sections > 0 && !linear) linear = 0;
            ASSERT_EQ(l.sectionAt(y), linear);

            const QPointF p(anyX(rng), y);
            std::optional<GridIndex> under;
            for (int s = 0; s < sections && !under; ++s)
                for (int i = 0; i < counts[size_t(s)]; ++i)
                    if (l.itemFrame({s, i}).contains(p) && p.x() < l.itemFrame({s, i}).right() &&
                        p.y() < l.itemFrame({s, i}).bottom())
                        under = GridIndex{s, i};
            ASSERT_EQ(l.itemAt(p), under) << p.x() << "," << p.y();
        }
    }
}
