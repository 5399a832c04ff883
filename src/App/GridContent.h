#pragma once
// What a grid shows: titled runs of assets over one flat list. The sections
// are ranges into `flat`, so a grid of 100,000 photos holds each record once,
// and the whole value is shared immutably between the cache and the screens
// (the library's own list is the store's snapshot itself).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Core/Index/AssetList.h"

namespace vintrelle {

struct GridContent {
    struct Section {
        std::string id;      // the target of scroll requests
        std::string title;   // may be empty
        std::string detail;
        size_t begin = 0;    // [begin, end) in flat
        size_t end = 0;
        size_t size() const { return end - begin; }
        bool operator==(const Section&) const = default;
    };

    std::vector<Section> sections;
    std::shared_ptr<const AssetList> flat = std::make_shared<const AssetList>();
    int64_t token = 0;      // new on every rebuild
    std::string scrollKey;  // changes with the route or the active search
};

using GridContentPtr = std::shared_ptr<const GridContent>;

}  // namespace vintrelle
