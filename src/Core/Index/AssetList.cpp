#include "Core/Index/AssetList.h"

#include <algorithm>
#include <stdexcept>

namespace vintrelle {

namespace {

using ChunkPtr = std::shared_ptr<const std::vector<Asset>>;

// Moves the records into chunks of about the target size, evenly.
void cut(std::vector<Asset>& records, std::vector<ChunkPtr>& out) {
    const size_t n = records.size();
    if (n == 0) return;
    const size_t pieces = n <= AssetList::chunkMax ? 1 : (n + AssetList::chunkTarget - 1) / AssetList::chunkTarget;
    size_t from = 0;
    for (size_t p = 0; p < pieces; ++p) {
        const size_t to = n * (p + 1) / pieces;
        out.push_back(std::make_shared<const std::vector<Asset>>(std::make_move_iterator(records.begin() + long(from)),
                                                                 std::make_move_iterator(records.begin() + long(to))));
        from = to;
    }
    records.clear();
}

}  // namespace

void AssetList::const_iterator::seek() {
    if (!rep_ || rep_->chunks.empty()) {
        chunk_ = 0;
        return;
    }
    const auto& starts = rep_->starts;
    // The last chunk that starts at or before the index; the end lies in the last chunk.
    chunk_ = size_t(std::upper_bound(starts.begin() + 1, starts.end() - 1, index_) - (starts.begin() + 1));
}

AssetList::AssetList(std::vector<Asset> items) {
    std::vector<ChunkPtr> chunks;
    chunks.reserve(items.size() / chunkTarget + 1);
    for (size_t from = 0; from < items.size(); from += chunkTarget) {
        const size_t to = std::min(items.size(), from + chunkTarget);
        chunks.push_back(std::make_shared<const Chunk>(std::make_move_iterator(items.begin() + long(from)),
                                                       std::make_move_iterator(items.begin() + long(to))));
    }
    rep_ = build(std::move(chunks));
}

std::shared_ptr<const AssetList::Rep> AssetList::build(std::vector<ChunkPtr> chunks) {
    if (chunks.empty()) return nullptr;
    auto rep = std::make_shared<Rep>();
    rep->starts.reserve(chunks.size() + 1);
    size_t at = 0;
    for (const ChunkPtr& c : chunks) {
        rep->starts.push_back(at);
        at += c->size();
    }
    rep->starts.push_back(at);
    rep->chunks = std::move(chunks);
    return rep;
}

const Asset& AssetList::operator[](size_t i) const {
    const auto& starts = rep_->starts;
    const size_t c = size_t(std::upper_bound(starts.begin() + 1, starts.end() - 1, i) - (starts.begin() + 1));
    return (*rep_->chunks[c])[i - starts[c]];
}

const Asset& AssetList::at(size_t i) const {
    if (i >= size()) throw std::out_of_range("AssetList::at");
    return (*this)[i];
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

AssetList AssetList::slice(size_t from, size_t to) const {
    to = std::min(to, size());
    if (from >= to) return {};
    if (from == 0 && to == size()) return *this;
    const auto& starts = rep_->starts;
    std::vector<ChunkPtr> chunks;
    for (size_t c = 0; c < rep_->chunks.size(); ++c) {
        const size_t s = starts[c], e = starts[c + 1];
        if (e <= from) continue;
        if (s >= to) break;
        if (s >= from && e <= to) {
            chunks.push_back(rep_->chunks[c]);
            continue;
        }
        const Chunk& src = *rep_->chunks[c];
        chunks.push_back(std::make_shared<const Chunk>(src.begin() + long(std::max(from, s) - s),
                                                       src.begin() + long(std::min(to, e) - s)));
    }
    return AssetList(build(std::move(chunks)));
}

AssetList AssetList::edited(std::span<const size_t> drop, std::span<const size_t> at, std::vector<Asset> insert) const {
    if (drop.empty() && insert.empty()) return *this;
    const size_t count = chunkCount();
    std::vector<ChunkPtr> out;
    out.reserve(count + insert.size() / chunkTarget + 2);
    // Records of touched chunks (and of small neighbours they absorbed),
    // cut into chunks once an untouched chunk or the end is reached.
    std::vector<Asset> carry;
    size_t d = 0, j = 0;
    for (size_t c = 0; c < count; ++c) {
        const size_t s = rep_->starts[c], e = rep_->starts[c + 1];
        const bool last = c + 1 == count;
        const bool touched = (d < drop.size() && drop[d] < e) || (j < insert.size() && (at[j] < e || last));
        const Chunk& src = *rep_->chunks[c];
        if (!touched) {
            if (carry.empty()) {
                out.push_back(rep_->chunks[c]);
            } else if (carry.size() >= chunkMin) {
                cut(carry, out);
                out.push_back(rep_->chunks[c]);
            } else {
                carry.insert(carry.end(), src.begin(), src.end());  // too small to stand alone
                if (carry.size() >= chunkMin) cut(carry, out);
            }
            continue;
        }
        for (size_t i = s; i < e; ++i) {
            while (j < insert.size() && at[j] <= i) carry.push_back(std::move(insert[j++]));
            if (d < drop.size() && drop[d] == i) {
                ++d;
                continue;
            }
            carry.push_back(src[i - s]);
        }
        if (last)
            while (j < insert.size()) carry.push_back(std::move(insert[j++]));
    }
    if (count == 0)
        for (Asset& a : insert) carry.push_back(std::move(a));
    if (!carry.empty() && carry.size() < chunkMin && !out.empty()) {
        // A small tail joins the chunk before it.
        std::vector<Asset> joined(out.back()->begin(), out.back()->end());
        out.pop_back();
        joined.insert(joined.end(), std::make_move_iterator(carry.begin()), std::make_move_iterator(carry.end()));
        carry = std::move(joined);
    }
    cut(carry, out);
    return AssetList(build(std::move(out)));
}

}  // namespace vintrelle
