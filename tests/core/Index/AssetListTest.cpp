#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Index/AssetList.h"

using namespace vintrelle;

namespace {

Asset asset(int64_t id, double taken) {
    Asset a;
    a.id = id;
    a.taken = taken;
    a.path = "Folder " + std::to_string(id % 7) + "/IMG_" + std::to_string(id) + ".JPG";
    return a;
}

bool storeBefore(const Asset& a, const Asset& b) { return a.taken > b.taken || (a.taken == b.taken && a.id > b.id); }

// Of an AssetList or a vector alike.
template <class List>
std::vector<int64_t> ids(const List& list) {
    std::vector<int64_t> out;
    for (const Asset& a : list) out.push_back(a.id);
    return out;
}

}  // namespace

// Random batches of removals and insertions at every scale from empty to a
// few thousand records, against a plain vector; the lists made on the way
// must read as they did when they were made, and stay balanced.
TEST(AssetList, EditsMatchAVectorAndEarlierListsStandAsTheyWere) {
    std::mt19937 rng(17);
    AssetList list;
    std::vector<Asset> model;
    std::vector<std::pair<AssetList, std::vector<int64_t>>> kept;
    int64_t next = 1;
    for (int round = 0; round < 300; ++round) {
        // Mostly growth, with bursts of removals that can empty the list.
        const size_t drops = model.empty() ? 0 : rng() % (round % 50 > 40 ? model.size() + 1 : 40);
        std::vector<size_t> drop;
        for (size_t k = 0; k < drops; ++k) drop.push_back(rng() % model.size());
        std::sort(drop.begin(), drop.end());
        drop.erase(std::unique(drop.begin(), drop.end()), drop.end());
        std::vector<size_t> at(rng() % 120);
        for (size_t& p : at) p = rng() % (model.size() + 1);
        std::sort(at.begin(), at.end());
        std::vector<Asset> insert;
        for (size_t k = 0; k < at.size(); ++k) insert.push_back(asset(next++, 0));

        std::vector<Asset> expected;
        for (size_t i = 0, d = 0, j = 0; i <= model.size(); ++i) {
            while (j < at.size() && at[j] == i) expected.push_back(insert[j++]);
            if (i == model.size()) break;
            if (d < drop.size() && drop[d] == i) ++d;
            else expected.push_back(model[i]);
        }
        list = list.edited(drop, at, insert);
        model = std::move(expected);
        ASSERT_EQ(ids(list), ids(model)) << "round " << round;
        ASSERT_EQ(list.size(), model.size());
        if (!model.empty()) {
            const size_t i = rng() % model.size();
            ASSERT_EQ(list[i].id, model[i].id);
            ASSERT_EQ((list.begin() + std::ptrdiff_t(i))->id, model[i].id);
            ASSERT_EQ((list.end() - 1)->id, model.back().id);
            ASSERT_EQ(list.end() - list.begin(), std::ptrdiff_t(model.size()));
            ASSERT_LE(list.chunkCount(), model.size() / AssetList::chunkMin + 2);
            ASSERT_GE(list.chunkCount(), model.size() / AssetList::chunkMax);
        }
        if (round % 25 == 0) kept.emplace_back(list, ids(model));
    }
    for (const auto& [old, oldIDs] : kept) EXPECT_EQ(ids(old), oldIDs);
    EXPECT_THROW(list.at(list.size()), std::out_of_range);
}

// Lists in store order: the bound of any time and id, slices, replacing a
// record in place, and the first and last positions.
TEST(AssetList, StoreOrderBoundsAndSlices) {
    std::mt19937 rng(5);
    std::vector<Asset> model;
    for (int64_t id = 1; id <= 3000; ++id) model.push_back(asset(id, double(rng() % 400)));
    std::sort(model.begin(), model.end(), storeBefore);
    const AssetList list(model);
    EXPECT_EQ(AssetList().storeOrderBound(5, 5), 0u);
    for (int k = 0; k < 500; ++k) {
        const Asset probe = asset(int64_t(rng() % 3200), double(rng() % 420) - 10);
        const size_t want = size_t(std::lower_bound(model.begin(), model.end(), probe, storeBefore) - model.begin());
        ASSERT_EQ(list.storeOrderBound(probe.taken, probe.id), want) << probe.taken << " " << probe.id;
    }
    const std::pair<size_t, size_t> slices[] = {{0, 3000}, {0, 1}, {17, 1000}, {999, 2999}, {2999, 5000}, {10, 10}};
    for (auto [from, to] : slices) {
        const AssetList part = list.slice(from, to);
        const std::vector<Asset> want(model.begin() + long(std::min<size_t>(from, 3000)),
                                      model.begin() + long(std::min<size_t>(to, 3000)));
        EXPECT_EQ(ids(part), ids(want)) << from << ".." << to;
    }
    EXPECT_TRUE(list.slice(0, 3000).sameAs(list));

    Asset changed = list[1234];
    changed.favorite = true;
    const size_t where[] = {1234};
    const AssetList next = list.edited(where, where, {changed});
    EXPECT_TRUE(next[1234].favorite);
    EXPECT_FALSE(list[1234].favorite);
    EXPECT_EQ(ids(next), ids(model));
    EXPECT_FALSE(next == list);  // one record differs
    EXPECT_TRUE(list == model);

    const size_t all[] = {0, 2999};
    const AssetList ends = list.edited(all, {}, {});
    EXPECT_EQ(ends.front().id, model[1].id);
    EXPECT_EQ(ends.back().id, model[2998].id);
}
