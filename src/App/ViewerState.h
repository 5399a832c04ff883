#pragma once
// The open full-window viewer: the list it was opened in, shared with the
// grid content it came from (never copied), and the shown position.

#include <cstdint>
#include <memory>

#include "Core/Index/AssetList.h"

namespace vintrelle {

struct ViewerState {
    std::shared_ptr<const AssetList> assets = std::make_shared<const AssetList>();
    int64_t index = 0;

    bool indexInList() const { return index >= 0 && size_t(index) < assets->size(); }
    // The shown asset; nullptr when the index lies outside the list.
    const Asset* current() const { return indexInList() ? &(*assets)[size_t(index)] : nullptr; }

    // The same shared list is the common case and costs nothing to compare.
    friend bool operator==(const ViewerState& a, const ViewerState& b) {
        return a.index == b.index && (a.assets == b.assets || *a.assets == *b.assets);
    }
};

}  // namespace vintrelle
