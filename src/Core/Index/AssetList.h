#pragma once
// An immutable list of asset records kept in small chunks, and chunks in
// pages, that lists share. An edit makes a new list that takes over every
// chunk and page it did not touch, so the cost of a change follows the
// change, not the length of the list, and whoever holds the old list keeps
// reading it as it was, on any thread. Copying a list costs one reference;
// reading position i two binary searches; a pass over every record goes
// chunk by chunk.

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
    // What a search in store order needs of a chunk's first record, kept
    // beside the chunk so a search reads one chunk only.
    struct Key {
        double taken = 0;
        int64_t id = 0;
    };
    struct Page {
        std::vector<std::shared_ptr<const Chunk>> chunks;
        std::vector<size_t> starts;  // where each chunk starts in the page, then the page's size
        std::vector<Key> fronts;     // of each chunk's first record
    };
    struct Rep {
        std::vector<std::shared_ptr<const Page>> pages;
        std::vector<size_t> starts;  // where each page starts, then the size
        std::vector<Key> fronts;     // of each page's first record
    };

public:
    // Chunks are rebuilt at about the target size and kept between the
    // bounds (a touched chunk is copied whole); pages hold chunks the same way
    // (a touched page's table of chunks is copied whole).
    static constexpr size_t chunkTarget = 16;
    static constexpr size_t chunkMax = 32;
    static constexpr size_t chunkMin = 6;
    static constexpr size_t pageTarget = 32;
    static constexpr size_t pageMax = 64;
    static constexpr size_t pageMin = 12;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Asset;
        using difference_type = std::ptrdiff_t;
        using pointer = const Asset*;
        using reference = const Asset&;

        const_iterator() = default;
        reference operator*() const {
            const Page& p = *rep_->pages[page_];
            return (*p.chunks[chunk_])[index_ - rep_->starts[page_] - p.starts[chunk_]];
        }
        pointer operator->() const { return &**this; }
        reference operator[](difference_type n) const { return *(*this + n); }
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        const_iterator& operator--() {
            --index_;
            seek();
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
        size_t page_ = 0;
        size_t chunk_ = 0;  // in the page
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

    // Every record in order, chunk by chunk.
    template <class F>
    void forEach(F&& f) const {
        if (!rep_) return;
        for (const auto& page : rep_->pages)
            for (const auto& chunk : page->chunks)
                for (const Asset& a : *chunk) f(a);
    }
    // How many chunks hold the list (for checks of its balance).
    size_t chunkCount() const;

    // The records [from, to); the chunks wholly inside are shared.
    AssetList slice(size_t from, size_t to) const;

    // In a list in store order (newest capture first, the larger id first
    // among equal times): the position of the first record that is not
    // ahead of a record taken at `taken` with id `id`.
    size_t storeOrderBound(double taken, int64_t id) const;

    // A new list: the records at the ascending positions `drop` taken out,
    // and each record of `insert` put just before the record at position
    // `at` of this list (at the end for size()); `at` must not decrease.
    // Records inserted at one position keep their order.
    AssetList edited(std::span<const size_t> drop, std::span<const size_t> at, std::vector<Asset> insert) const;

private:
    struct Builder;
    explicit AssetList(std::shared_ptr<const Rep> rep) : rep_(std::move(rep)) {}

    std::shared_ptr<const Rep> rep_;  // none while empty
};

}  // namespace vintrelle
