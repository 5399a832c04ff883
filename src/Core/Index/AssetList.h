#pragma once
// An immutable list of asset records kept in small chunks that lists share.
// An edit makes a new list that takes over every chunk it did not touch, so
// the cost of a change follows the change, not the length of the list, and
// whoever holds the old list keeps reading it as it was, on any thread.
// Copying a list costs one reference; reading position i a binary search
// over the chunks; a pass over every record goes chunk by chunk.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <span>
#include <vector>

#include "Core/Index/Models.h"

namespace vintrelle {

class AssetList {
    using Chunk = std::vector<Asset>;
    struct Rep {
        std::vector<std::shared_ptr<const Chunk>> chunks;
        std::vector<size_t> starts;  // where each chunk starts, then the size
    };

public:
    // Chunks are rebuilt at about this size and kept between the bounds: a
    // touched chunk is copied whole, and the chunk table is copied per edit.
    static constexpr size_t chunkTarget = 32;
    static constexpr size_t chunkMax = 64;
    static constexpr size_t chunkMin = 12;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Asset;
        using difference_type = std::ptrdiff_t;
        using pointer = const Asset*;
        using reference = const Asset&;

        const_iterator() = default;
        reference operator*() const { return (*rep_->chunks[chunk_])[index_ - rep_->starts[chunk_]]; }
        pointer operator->() const { return &**this; }
        reference operator[](difference_type n) const { return *(*this + n); }
        const_iterator& operator++() {
            if (++index_ == rep_->starts[chunk_ + 1] && chunk_ + 1 < rep_->chunks.size()) ++chunk_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        const_iterator& operator--() {
            if (index_-- == rep_->starts[chunk_]) --chunk_;
            return *this;
        }
        const_iterator operator--(int) {
            const_iterator old = *this;
            --*this;
            return old;
        }
        const_iterator& operator+=(difference_type n) {
            index_ = size_t(difference_type(index_) + n);
            seek();
            return *this;
        }
        const_iterator& operator-=(difference_type n) { return *this += -n; }
        friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
            return difference_type(a.index_) - difference_type(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.index_ <=> b.index_; }
        size_t index() const { return index_; }

    private:
        friend class AssetList;
        const_iterator(const Rep* rep, size_t index) : rep_(rep), index_(index) { seek(); }
        void seek();
        const Rep* rep_ = nullptr;
        size_t index_ = 0;
        size_t chunk_ = 0;
    };
    using iterator = const_iterator;
    using value_type = Asset;
    using size_type = size_t;
    using difference_type = std::ptrdiff_t;
    using const_reference = const Asset&;
    using reference = const Asset&;

    AssetList() = default;
    explicit AssetList(std::vector<Asset> items);
    AssetList(std::initializer_list<Asset> items) : AssetList(std::vector<Asset>(items)) {}

    size_t size() const { return rep_ ? rep_->starts.back() : 0; }
    bool empty() const { return size() == 0; }
    const Asset& operator[](size_t i) const;
    const Asset& at(size_t i) const;  // throws std::out_of_range
    const Asset& front() const { return (*this)[0]; }
    const Asset& back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return const_iterator(rep_.get(), 0); }
    const_iterator end() const { return const_iterator(rep_.get(), size()); }

    std::vector<Asset> toVector() const;

    // Copies of one list, without comparing a record.
    bool sameAs(const AssetList& other) const { return rep_ == other.rep_; }
    friend bool operator==(const AssetList& a, const AssetList& b);
    friend bool operator==(const AssetList& a, const std::vector<Asset>& b);

    // The chunks in order, for passes over every record.
    size_t chunkCount() const { return rep_ ? rep_->chunks.size() : 0; }
    std::span<const Asset> chunk(size_t c) const { return *rep_->chunks[c]; }
    template <class F>
    void forEach(F&& f) const {
        for (size_t c = 0; c < chunkCount(); ++c)
            for (const Asset& a : *rep_->chunks[c]) f(a);
    }

    // The records [from, to); the chunks wholly inside are shared.
    AssetList slice(size_t from, size_t to) const;

    // The first position whose record fails `ahead`, in a list where the
    // records that pass it come first (a binary search).
    template <class Ahead>
    size_t partitionPoint(Ahead&& ahead) const {
        if (empty()) return 0;
        const auto& chunks = rep_->chunks;
        size_t lo = 0, hi = chunks.size();  // the chunk holding the point
        while (lo + 1 < hi) {
            const size_t mid = (lo + hi) / 2;
            if (ahead(chunks[mid]->front())) lo = mid;
            else hi = mid;
        }
        const Chunk& c = *chunks[lo];
        size_t l = 0, u = c.size();
        while (l < u) {
            const size_t mid = (l + u) / 2;
            if (ahead(c[mid])) l = mid + 1;
            else u = mid;
        }
        return rep_->starts[lo] + l;
    }

    // A new list: the records at the ascending positions `drop` taken out,
    // and each record of `insert` put just before the record at position
    // `at` of this list (at the end for size()); `at` must not decrease.
    // Records inserted at one position keep their order.
    AssetList edited(std::span<const size_t> drop, std::span<const size_t> at, std::vector<Asset> insert) const;

private:
    explicit AssetList(std::shared_ptr<const Rep> rep) : rep_(std::move(rep)) {}
    static std::shared_ptr<const Rep> build(std::vector<std::shared_ptr<const Chunk>> chunks);

    std::shared_ptr<const Rep> rep_;  // none while empty
};

}  // namespace vintrelle
