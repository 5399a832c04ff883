#include "Store/FolderTree.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "Core/Base/Text.h"
#include "Store/StoreText.h"

namespace vintrelle {

namespace {

struct Builder {
    int count = 0;
    std::unordered_map<std::string, std::unique_ptr<Builder>> children;
};

std::vector<FolderNode> buildNodes(const Builder& node, const std::string& prefix) {
    std::vector<const std::string*> names;
    names.reserve(node.children.size());
    for (const auto& [name, child] : node.children) names.push_back(&name);
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return storetext::folderNameBefore(*a, *b); });
    std::vector<FolderNode> out;
    out.reserve(names.size());
    for (const std::string* name : names) {
        const Builder& child = *node.children.at(*name);
        FolderNode n;
        n.path = prefix.empty() ? *name : prefix + "/" + *name;
        n.name = text::displayable(*name);  // the path keeps the bytes on disk
        n.count = child.count;
        n.children = buildNodes(child, n.path);
        out.push_back(std::move(n));
    }
    return out;
}

// Calls f with each non-empty component of a folder path.
template <class F>
void forEachComponent(std::string_view folder, F&& f) {
    size_t start = 0;
    while (start <= folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string_view::npos) end = folder.size();
        if (end > start && !f(folder.substr(start, end - start))) return;
        start = end + 1;
    }
}

// The node's own name as it is on disk (the shown name may differ).
std::string_view rawName(const FolderNode& n) {
    const size_t slash = n.path.rfind('/');
    return slash == std::string::npos ? std::string_view(n.path) : std::string_view(n.path).substr(slash + 1);
}

}  // namespace

std::string_view FolderTree::folderOf(std::string_view assetPath) {
    const size_t slash = assetPath.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return {};
    return assetPath.substr(0, slash);
}

std::vector<FolderNode> FolderTree::build(const AssetList& assets) {
    std::unordered_map<std::string_view, int> counts;
    assets.forEach([&](const Asset& a) {
        if (const std::string_view folder = folderOf(a.path); !folder.empty()) ++counts[folder];
    });
    Builder root;
    for (const auto& [folder, n] : counts) {
        Builder* node = &root;
        forEachComponent(folder, [&](std::string_view name) {
            auto& child = node->children[std::string(name)];
            if (!child) child = std::make_unique<Builder>();
            child->count += n;
            node = child.get();
            return true;
        });
    }
    return buildNodes(root, "");
}

void FolderTree::update(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came) {
    // A batch lands in a few folders: one walk per folder, not per record.
    std::unordered_map<std::string_view, int> delta;
    for (const Asset* a : gone)
        if (const std::string_view folder = folderOf(a->path); !folder.empty()) --delta[folder];
    for (const Asset* a : came)
        if (const std::string_view folder = folderOf(a->path); !folder.empty()) ++delta[folder];
    for (const auto& [folder, d] : delta)
        if (d != 0) add(folder, d);
}

void FolderTree::add(std::string_view folder, int delta) {
    std::vector<FolderNode>* level = &nodes_;
    std::string path;
    forEachComponent(folder, [&](std::string_view name) {
        if (!path.empty()) path += '/';
        path += name;
        auto it = std::lower_bound(level->begin(), level->end(), name, [](const FolderNode& n, std::string_view x) {
            return storetext::folderNameBefore(rawName(n), x);
        });
        if (it == level->end() || rawName(*it) != name) {
            FolderNode fresh;
            fresh.path = path;
            fresh.name = text::displayable(name);
            it = level->insert(it, std::move(fresh));
        }
        it->count += delta;
        if (it->count <= 0) {
            // Nothing is left at or below it.
            level->erase(it);
            return false;
        }
        level = &it->children;
        return true;
    });
}

}  // namespace vintrelle
