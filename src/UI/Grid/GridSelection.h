#pragma once
// The grid's selection as one bit per position in grid order: a twelfth of a
// kilobyte per thousand assets, read in grid order for free.

#include <cstddef>
#include <climits>
#include <cstdint>
#include <iterator>
#include <vector>

namespace vintrelle {

class GridSelection {
public:
    void reset(size_t size);  // everything deselected
    size_t size() const { return size_; }
    size_t count() const { return count_; }
    bool empty() const { return count_ == 0; }

    bool test(size_t pos) const { return pos < size_ && (words_[pos >> 6] >> (pos & 63) & 1u); }
    void set(size_t pos, bool on);
    void setRange(size_t from, size_t to, bool on);  // inclusive, either order
    void selectAll();
    void clear();

    // Positions that are set, ascending.
    template <class F>
    void forEach(F&& f) const {
        for (size_t w = 0; w < words_.size(); ++w) {
            for (uint64_t bits = words_[w]; bits; bits &= bits - 1)
                f(w * 64 + size_t(__builtin_ctzll(bits)));
        }
    }
    // The first set position, or size() when none is.
    size_t first() const;

    bool operator==(const GridSelection& o) const { return size_ == o.size_ && words_ == o.words_; }

private:
    std::vector<uint64_t> words_;
    size_t size_ = 0;
    size_t count_ = 0;
};

// Asset ids for a pass over the grid: open addressing over one array, no
// removal; several times faster to fill and to ask than a node-based set.
class IdSet {
public:
    IdSet() = default;
    explicit IdSet(size_t expected) { reserve(expected); }
    template <class It>
    IdSet(It first, It last) {
        if constexpr (std::forward_iterator<It>) reserve(size_t(std::distance(first, last)));
        for (; first != last; ++first) insert(*first);
    }
    void insert(int64_t id);
    bool contains(int64_t id) const;
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    static constexpr int64_t kFree = INT64_MIN;
    void reserve(size_t expected);
    size_t home(int64_t id) const { return size_t((uint64_t(id) * 0x9E3779B97F4A7C15ULL) >> shift_); }

    std::vector<int64_t> slots_;
    int shift_ = 64;
    size_t size_ = 0;
    bool hasFree_ = false;  // kFree itself, which cannot sit in a slot
};

}  // namespace vintrelle
