#include "UI/Grid/PhotoGridLayout.h"

#include <cassert>

namespace vintrelle {

void PhotoGridLayout::setSections(std::vector<int> counts, std::vector<double> headerHeights) {
    assert(counts.size() == headerHeights.size());
    counts_ = std::move(counts);
    headerHeights_ = std::move(headerHeights);
    invalidate();
}

void PhotoGridLayout::setTargetSize(double size) {
    if (size == targetSize_) return;
    targetSize_ = size;
    invalidate();
}

void PhotoGridLayout::setTopInset(double inset) {
    if (inset == topInset_) return;
    topInset_ = inset;
    invalidate();
}

bool PhotoGridLayout::needsPrepare(double width) const { return dirty_ || std::abs(width - width_) > 0.5; }

bool PhotoGridLayout::prepareIfNeeded(double width) {
    if (!needsPrepare(width)) return false;
    prepare(width);
    return true;
}

void PhotoGridLayout::prepare(double width) {
    dirty_ = false;
    width_ = width;
    const double usable = std::max(width - 2 * sidePadding, 60.0);
    columns_ = std::max(int((usable + gap) / (targetSize_ + gap)), 1);
    side_ = std::floor((usable - gap * (columns_ - 1)) / columns_);
    leftInset_ = std::floor((width - (gap * (columns_ - 1) + side_ * columns_)) * 0.5);
    tops_.clear();
    tops_.reserve(counts_.size());
    double y = topInset_;
    for (size_t s = 0; s < counts_.size(); ++s) {
        tops_.push_back(y);
        const int rows = (counts_[s] + columns_ - 1) / columns_;
        y += headerHeights_[s] + rows * (side_ + gap) - (rows >= 1 ? gap : 0) + sectionBottom;
    }
    contentHeight_ = y + contentBottom;
}

std::optional<int> PhotoGridLayout::sectionAt(double y) const {
    if (tops_.empty()) return std::nullopt;
    // The first top above y, less one: the last top at or above it.
    const auto it = std::upper_bound(tops_.begin(), tops_.end(), y);
    if (it == tops_.begin()) return 0;
    return int(it - tops_.begin()) - 1;
}

QRectF PhotoGridLayout::itemFrame(GridIndex index) const {
    const int row = index.item / columns_;
    const int column = index.item - row * columns_;
    const double x = leftInset_ + (side_ + gap) * column;
    const double y = tops_[size_t(index.section)] + headerHeights_[size_t(index.section)] + (side_ + gap) * row;
    return QRectF(x, y, side_, side_);
}

std::optional<QRectF> PhotoGridLayout::headerFrame(int section) const {
    if (section < 0 || section >= int(tops_.size()) || headerHeights_[size_t(section)] <= 0) return std::nullopt;
    return QRectF(leftInset_, tops_[size_t(section)], width_ - 2 * leftInset_, headerHeights_[size_t(section)]);
}

std::optional<GridIndex> PhotoGridLayout::itemAt(QPointF p) const {
    const auto s = sectionAt(p.y());
    if (!s) return std::nullopt;
    const double itemsTop = tops_[size_t(*s)] + headerHeights_[size_t(*s)];
    const double pitch = side_ + gap;
    const double dy = p.y() - itemsTop;
    const double dx = p.x() - leftInset_;
    if (dy < 0 || dx < 0) return std::nullopt;
    const int row = int(dy / pitch);
    const int col = int(dx / pitch);
    if (dy - row * pitch >= side_ || dx - col * pitch >= side_ || col >= columns_) return std::nullopt;
    const int item = row * columns_ + col;
    if (item >= counts_[size_t(*s)]) return std::nullopt;
    return GridIndex{*s, item};
}

std::vector<GridIndex> PhotoGridLayout::itemsIn(const QRectF& r) const {
    std::vector<GridIndex> out;
    forEachIn(r, [](int) {}, [&](GridIndex i) { out.push_back(i); });
    return out;
}

}  // namespace vintrelle
