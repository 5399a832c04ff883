#pragma once
// Geometry of the photo grid: square cells of one side in centred columns,
// grouped into sections, each opened by a header band. Everything is
// arithmetic on a table of section tops, so a query for any rectangle costs
// only the rows it touches, whatever the number of assets.
//
// Coordinates are content coordinates: y grows downwards from the top of the
// content, in logical pixels.

#include <QRectF>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

namespace vintrelle {

// A cell's address: the section and the item within it.
struct GridIndex {
    int section = 0;
    int item = 0;
    auto operator<=>(const GridIndex&) const = default;
};

class PhotoGridLayout {
public:
    static constexpr double gap = 4;
    static constexpr double sidePadding = 22;
    static constexpr double sectionBottom = 20;
    static constexpr double contentBottom = 24;

    // Inputs. Each marks the layout for a new pass; prepare() does it.
    void setSections(std::vector<int> counts, std::vector<double> headerHeights);
    void setTargetSize(double size);
    void setTopInset(double inset);
    double targetSize() const { return targetSize_; }
    double topInset() const { return topInset_; }
    const std::vector<int>& counts() const { return counts_; }
    const std::vector<double>& headerHeights() const { return headerHeights_; }

    // True when a pass is due: an input changed, or the width moved by more
    // than half a pixel (scrolling never calls for one).
    bool needsPrepare(double width) const;
    // Lays out for the given width when needsPrepare(width); returns whether it did.
    bool prepareIfNeeded(double width);
    void prepare(double width);

    int columns() const { return columns_; }
    double side() const { return side_; }
    double leftInset() const { return leftInset_; }
    double width() const { return width_; }
    const std::vector<double>& tops() const { return tops_; }
    double contentHeight() const { return contentHeight_; }
    // At least one pixel high, even before the first pass.
    double contentSizeHeight() const { return contentHeight_ > 1 ? contentHeight_ : 1; }
    int sectionCount() const { return int(tops_.size()); }

    // The last section whose top is at or above y; 0 above the first top;
    // none without sections.
    std::optional<int> sectionAt(double y) const;
    QRectF itemFrame(GridIndex index) const;
    // The header band of a section; none when it has no band.
    std::optional<QRectF> headerFrame(int section) const;
    // The cell under a point (gaps and margins hold none).
    std::optional<GridIndex> itemAt(QPointF p) const;

    // Every cell and header band whose frame meets r, sections in order,
    // each header before its cells, cells in reading order.
    template <class HeaderFn, class ItemFn>
    void forEachIn(const QRectF& r, HeaderFn&& header, ItemFn&& item) const;
    std::vector<GridIndex> itemsIn(const QRectF& r) const;

private:
    void invalidate() { dirty_ = true; }

    std::vector<int> counts_;
    std::vector<double> headerHeights_;
    double targetSize_ = 150;
    double topInset_ = 0;

    int columns_ = 1;
    double side_ = 150;
    double leftInset_ = sidePadding;
    std::vector<double> tops_;
    double contentHeight_ = 0;
    double width_ = 0;
    bool dirty_ = true;
};

template <class HeaderFn, class ItemFn>
void PhotoGridLayout::forEachIn(const QRectF& r, HeaderFn&& header, ItemFn&& item) const {
    if (tops_.empty() || r.isEmpty()) return;
    const auto first = sectionAt(r.top());
    if (!first) return;
    const double pitch = side_ + gap;
    const double bandWidth = width_ - 2 * leftInset_;
    // Columns meeting the rectangle: x + side > left and x < right.
    int firstCol = int(std::floor((r.left() - leftInset_ - side_) / pitch)) + 1;
    int lastCol = int(std::ceil((r.right() - leftInset_) / pitch)) - 1;
    firstCol = std::max(firstCol, 0);
    lastCol = std::min(lastCol, columns_ - 1);
    const bool bandMeetsX = bandWidth > 0 && r.left() < leftInset_ + bandWidth && r.right() > leftInset_;
    for (int s = *first; s < int(tops_.size()); ++s) {
        const double top = tops_[size_t(s)];
        if (top >= r.bottom()) break;
        const double hh = headerHeights_[size_t(s)];
        if (hh > 0 && bandMeetsX && r.top() < top + hh && r.bottom() > top) header(s);
        const int count = counts_[size_t(s)];
        if (count < 1 || firstCol > lastCol) continue;
        const double itemsTop = top + hh;
        const int rows = (count + columns_ - 1) / columns_;
        int firstRow = int(std::floor((r.top() - itemsTop - side_) / pitch)) + 1;
        int lastRow = int(std::ceil((r.bottom() - itemsTop) / pitch)) - 1;
        firstRow = std::max(firstRow, 0);
        lastRow = std::min(lastRow, rows - 1);
        for (int row = firstRow; row <= lastRow; ++row) {
            const int rowStart = row * columns_;
            const int end = std::min(rowStart + lastCol + 1, count);
            for (int i = rowStart + firstCol; i < end; ++i) item(GridIndex{s, i});
        }
    }
}

}  // namespace vintrelle
