#include "UI/Grid/GridSelection.h"

#include <algorithm>

namespace vintrelle {

void GridSelection::reset(size_t size) {
    size_ = size;
    words_.assign((size + 63) / 64, 0);
    count_ = 0;
}

void GridSelection::set(size_t pos, bool on) {
    if (pos >= size_ || test(pos) == on) return;
    words_[pos >> 6] ^= uint64_t(1) << (pos & 63);
    count_ += on ? 1 : size_t(-1);
}

void GridSelection::setRange(size_t from, size_t to, bool on) {
    if (from > to) std::swap(from, to);
    to = std::min(to, size_ - 1);
    for (size_t p = from; p <= to && p < size_; ++p) set(p, on);
}

void GridSelection::selectAll() {
    std::fill(words_.begin(), words_.end(), ~uint64_t(0));
    if (size_ % 64) words_.back() = (uint64_t(1) << (size_ % 64)) - 1;
    count_ = size_;
}

void GridSelection::clear() {
    std::fill(words_.begin(), words_.end(), 0);
    count_ = 0;
}

size_t GridSelection::first() const {
    for (size_t w = 0; w < words_.size(); ++w)
        if (words_[w]) return w * 64 + size_t(__builtin_ctzll(words_[w]));
    return size_;
}

void IdSet::reserve(size_t expected) {
    size_t cap = 16;
    int bits = 4;
    while (cap < expected * 2) {
        cap <<= 1;
        ++bits;
    }
    if (cap <= slots_.size()) return;
    std::vector<int64_t> old = std::move(slots_);
    slots_.assign(cap, kFree);
    shift_ = 64 - bits;
    size_ = hasFree_ ? 1 : 0;
    for (int64_t id : old)
        if (id != kFree) insert(id);
}

void IdSet::insert(int64_t id) {
    if (id == kFree) {
        if (!hasFree_) ++size_;
        hasFree_ = true;
        return;
    }
    if ((size_ + 1) * 2 > slots_.size()) reserve(size_ + 1);
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(id);; i = (i + 1) & mask) {
        if (slots_[i] == id) return;
        if (slots_[i] == kFree) {
            slots_[i] = id;
            ++size_;
            return;
        }
    }
}

bool IdSet::contains(int64_t id) const {
    if (id == kFree) return hasFree_;
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(id);; i = (i + 1) & mask) {
        if (slots_[i] == id) return true;
        if (slots_[i] == kFree) return false;
    }
}

}  // namespace vintrelle
