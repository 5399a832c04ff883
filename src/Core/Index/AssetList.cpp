#include "Core/Index/AssetList.h"

#include <algorithm>
#include <stdexcept>

namespace vintrelle {

namespace {

// The first of `starts[1 .. n-1]` above i, as an index: the part (of n
// parts starting at starts[0 .. n-1]) that holds position i, the last part
// for the end.
size_t partOf(const std::vector<size_t>& starts, size_t i) {
    return size_t(std::upper_bound(starts.begin() + 1, starts.end() - 1, i) - (starts.begin() + 1));
}

// How many pieces of about `target` a run of n is cut into (one up to `max`).
size_t piecesOf(size_t n, size_t target, size_t max) { return n <= max ? 1 : (n + target - 1) / target; }

}  // namespace

// Makes a list from left to right out of whole pages, whole chunks and
// single records, sharing what it is handed whole and keeping chunks and
// pages within their bounds: a run too small to stand alone joins its
// neighbour.
struct AssetList::Builder {
    struct ChunkEntry {
        std::shared_ptr<const Chunk> chunk;
        size_t size = 0;
        Key front;
    };
    struct PageEntry {
        std::shared_ptr<const Page> page;
        size_t size = 0;
        Key front;
    };

    std::vector<PageEntry> pages;      // finished
    std::vector<ChunkEntry> pending;   // chunks not yet in a page
    std::vector<Asset> carry;          // records not yet in a chunk

    static Key keyOf(const Asset& a) { return {a.taken, a.id}; }

    // A page's chunks, each as an entry of its own, onto `out`.
    static void appendChunksOf(const Page& p, std::vector<ChunkEntry>& out) {
        for (size_t c = 0; c < p.chunks.size(); ++c)
            out.push_back({p.chunks[c], p.starts[c + 1] - p.starts[c], p.fronts[c]});
    }

    void addChunk(const ChunkEntry& e) {
        if (!carry.empty() && carry.size() < chunkMin) {
            carry.insert(carry.end(), e.chunk->begin(), e.chunk->end());  // too small to stand alone
            if (carry.size() >= chunkMin) flushCarry();
            return;
        }
        flushCarry();
        pending.push_back(e);
    }

    void addPage(const PageEntry& e) {
        flushCarry();
        if (pending.empty()) {
            pages.push_back(e);
            return;
        }
        if (pending.size() >= pageMin) {
            flushPending();
            pages.push_back(e);
            return;
        }
        appendChunksOf(*e.page, pending);
        if (pending.size() >= pageMin) flushPending();
    }

    // The last finished page's chunks go back to pending, to take in a run
    // too small to stand alone.
    void reopenLastPage() {
        const Page& p = *pages.back().page;
        std::vector<ChunkEntry> chunks;
        chunks.reserve(p.chunks.size() + pending.size());
        appendChunksOf(p, chunks);
        chunks.insert(chunks.end(), pending.begin(), pending.end());
        pending = std::move(chunks);
        pages.pop_back();
    }

    void flushCarry() {
        if (carry.empty()) return;
        if (carry.size() < chunkMin) {
            if (pending.empty() && !pages.empty()) reopenLastPage();
            if (!pending.empty()) {
                std::vector<Asset> joined(pending.back().chunk->begin(), pending.back().chunk->end());
                joined.insert(joined.end(), std::make_move_iterator(carry.begin()),
                              std::make_move_iterator(carry.end()));
                carry = std::move(joined);
                pending.pop_back();
            }
        }
        const size_t n = carry.size(), pieces = piecesOf(n, chunkTarget, chunkMax);
        size_t from = 0;
        for (size_t p = 0; p < pieces; ++p) {
            const size_t to = n * (p + 1) / pieces;
            auto chunk = std::make_shared<const Chunk>(std::make_move_iterator(carry.begin() + long(from)),
                                                       std::make_move_iterator(carry.begin() + long(to)));
            const Key front = keyOf(chunk->front());
            pending.push_back({std::move(chunk), to - from, front});
            from = to;
        }
        carry.clear();
    }

    void flushPending() {
        if (pending.empty()) return;
        if (pending.size() < pageMin && !pages.empty()) reopenLastPage();
        const size_t n = pending.size(), pieces = piecesOf(n, pageTarget, pageMax);
        size_t from = 0;
        for (size_t p = 0; p < pieces; ++p) {
            const size_t to = n * (p + 1) / pieces;
            auto page = std::make_shared<Page>();
            page->chunks.reserve(to - from);
            page->starts.reserve(to - from + 1);
            page->fronts.reserve(to - from);
            size_t at = 0;
            for (size_t c = from; c < to; ++c) {
                page->starts.push_back(at);
                page->fronts.push_back(pending[c].front);
                page->chunks.push_back(std::move(pending[c].chunk));
                at += pending[c].size;
            }
            page->starts.push_back(at);
            const Key front = page->fronts.front();
            pages.push_back({std::move(page), at, front});
            from = to;
        }
        pending.clear();
    }

    std::shared_ptr<const Rep> finish() {
        flushCarry();
        flushPending();
        if (pages.empty()) return nullptr;
        auto rep = std::make_shared<Rep>();
        rep->pages.reserve(pages.size());
        rep->starts.reserve(pages.size() + 1);
        rep->fronts.reserve(pages.size());
        size_t at = 0;
        for (PageEntry& p : pages) {
            rep->starts.push_back(at);
            rep->fronts.push_back(p.front);
            rep->pages.push_back(std::move(p.page));
            at += p.size;
        }
        rep->starts.push_back(at);
        return rep;
    }
};

AssetList::const_iterator& AssetList::const_iterator::operator++() {
    ++index_;
    const Page& p = *rep_->pages[page_];
    if (index_ - rep_->starts[page_] == p.starts[chunk_ + 1]) {
        if (chunk_ + 1 < p.chunks.size()) {
            ++chunk_;
        } else if (page_ + 1 < rep_->pages.size()) {
            ++page_;
            chunk_ = 0;
        }
    }
    return *this;
}

void AssetList::const_iterator::seek() {
    if (!rep_) {
        page_ = chunk_ = 0;
        return;
    }
    page_ = partOf(rep_->starts, index_);
    chunk_ = partOf(rep_->pages[page_]->starts, index_ - rep_->starts[page_]);
}

AssetList::AssetList(std::vector<Asset> items) {
    Builder b;
    b.carry = std::move(items);
    rep_ = b.finish();
}

const Asset& AssetList::operator[](size_t i) const {
    const size_t p = partOf(rep_->starts, i);
    const Page& page = *rep_->pages[p];
    const size_t local = i - rep_->starts[p];
    const size_t c = partOf(page.starts, local);
    return (*page.chunks[c])[local - page.starts[c]];
}

const Asset& AssetList::at(size_t i) const {
    if (i >= size()) throw std::out_of_range("AssetList::at");
    return (*this)[i];
}

size_t AssetList::chunkCount() const {
    size_t n = 0;
    if (rep_)
        for (const auto& p : rep_->pages) n += p->chunks.size();
    return n;
}

std::vector<Asset> AssetList::toVector() const {
    std::vector<Asset> out;
    out.reserve(size());
    forEach([&](const Asset& a) { out.push_back(a); });
    return out;
}

bool operator==(const AssetList& a, const AssetList& b) {
    if (a.sameAs(b)) return true;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool operator==(const AssetList& a, const std::vector<Asset>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

size_t AssetList::storeOrderBound(double taken, int64_t id) const {
    if (!rep_) return 0;
    auto ahead = [&](double t, int64_t i) { return t > taken || (t == taken && i > id); };
    // The last part whose first record is ahead holds the bound (or its end does).
    auto lastAhead = [&](const std::vector<Key>& fronts) {
        size_t lo = 0, hi = fronts.size();
        while (lo + 1 < hi) {
            const size_t mid = (lo + hi) / 2;
            if (ahead(fronts[mid].taken, fronts[mid].id)) lo = mid;
            else hi = mid;
        }
        return lo;
    };
    const size_t p = lastAhead(rep_->fronts);
    const Page& page = *rep_->pages[p];
    const size_t c = lastAhead(page.fronts);
    const Chunk& chunk = *page.chunks[c];
    size_t l = 0, u = chunk.size();
    while (l < u) {
        const size_t mid = (l + u) / 2;
        if (ahead(chunk[mid].taken, chunk[mid].id)) l = mid + 1;
        else u = mid;
    }
    return rep_->starts[p] + page.starts[c] + l;
}

AssetList AssetList::slice(size_t from, size_t to) const {
    to = std::min(to, size());
    if (from >= to) return {};
    if (from == 0 && to == size()) return *this;
    Builder b;
    for (size_t p = 0; p < rep_->pages.size(); ++p) {
        const size_t ps = rep_->starts[p], pe = rep_->starts[p + 1];
        if (pe <= from) continue;
        if (ps >= to) break;
        if (ps >= from && pe <= to) {
            b.addPage({rep_->pages[p], pe - ps, rep_->fronts[p]});
            continue;
        }
        const Page& page = *rep_->pages[p];
        for (size_t c = 0; c < page.chunks.size(); ++c) {
            const size_t s = ps + page.starts[c], e = ps + page.starts[c + 1];
            if (e <= from) continue;
            if (s >= to) break;
            if (s >= from && e <= to) {
                b.addChunk({page.chunks[c], e - s, page.fronts[c]});
                continue;
            }
            const Chunk& chunk = *page.chunks[c];
            b.carry.insert(b.carry.end(), chunk.begin() + long(std::max(from, s) - s),
                           chunk.begin() + long(std::min(to, e) - s));
        }
    }
    return AssetList(b.finish());
}

AssetList AssetList::edited(std::span<const size_t> drop, std::span<const size_t> at, std::vector<Asset> insert) const {
    if (drop.empty() && insert.empty()) return *this;
    Builder b;
    b.carry.reserve(2 * chunkMax + insert.size());
    size_t d = 0, j = 0;
    auto touches = [&](size_t end, bool last) {
        return (d < drop.size() && drop[d] < end) || (j < insert.size() && (at[j] < end || last));
    };
    const size_t pageCount = rep_ ? rep_->pages.size() : 0;
    for (size_t p = 0; p < pageCount; ++p) {
        const size_t ps = rep_->starts[p], pe = rep_->starts[p + 1];
        const bool lastPage = p + 1 == pageCount;
        if (!touches(pe, lastPage)) {
            b.addPage({rep_->pages[p], pe - ps, rep_->fronts[p]});
            continue;
        }
        const Page& page = *rep_->pages[p];
        for (size_t c = 0; c < page.chunks.size(); ++c) {
            const size_t s = ps + page.starts[c], e = ps + page.starts[c + 1];
            const bool last = lastPage && c + 1 == page.chunks.size();
            if (!touches(e, last)) {
                b.addChunk({page.chunks[c], e - s, page.fronts[c]});
                continue;
            }
            const Chunk& chunk = *page.chunks[c];
            for (size_t i = s; i < e; ++i) {
                while (j < insert.size() && at[j] <= i) b.carry.push_back(std::move(insert[j++]));
                if (d < drop.size() && drop[d] == i) {
                    ++d;
                    continue;
                }
                b.carry.push_back(chunk[i - s]);
            }
            if (last)
                while (j < insert.size()) b.carry.push_back(std::move(insert[j++]));
        }
    }
    while (j < insert.size()) b.carry.push_back(std::move(insert[j++]));  // into an empty list
    return AssetList(b.finish());
}

}  // namespace vintrelle
