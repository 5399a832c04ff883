#pragma once
// The library's folder tree for the sidebar: every folder that holds assets,
// with the number of assets in it and below it. It follows the changes of
// the asset list, so a batch of new files costs a walk down their folders,
// not a pass over the library; a batch that leaves every folder's count as
// it was leaves the tree untouched.

#include <string>
#include <string_view>
#include <vector>

#include "Core/Index/AssetList.h"

namespace vintrelle {

struct FolderNode {
    std::string path;  // the folder's bytes on disk, relative to the library folder
    std::string name;  // its last component as shown: U+FFFD where it is not UTF-8
    int count = 0;
    std::vector<FolderNode> children;  // in the file browser's order of names
    bool operator==(const FolderNode&) const = default;
};

class FolderTree {
public:
    // The tree of these assets, built from all of them.
    static std::vector<FolderNode> build(const AssetList& assets);

    void rebuild(const AssetList& assets) { nodes_ = build(assets); }
    // Records that left the list and records that entered it (a changed
    // record is in both).
    void update(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came);
    const std::vector<FolderNode>& nodes() const { return nodes_; }

    // The folder an asset counts in: its path without the last component;
    // empty for an asset directly in the library folder, which no node counts.
    static std::string_view folderOf(std::string_view assetPath);

private:
    void add(std::string_view folder, int delta);

    std::vector<FolderNode> nodes_;
};

}  // namespace vintrelle
