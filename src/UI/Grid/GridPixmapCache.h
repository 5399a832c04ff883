#pragma once
// Thumbnails scaled to the exact pixels of a cell, with their corners baked
// in, so a frame only blits. Shared by every grid: switching screens keeps
// them, switching libraries drops them.

#include <QCache>
#include <QPixmap>

#include <cstdint>
#include <memory>

#include "Core/Index/Models.h"

namespace vintrelle {

struct ThumbKey {
    uint64_t library = 0;  // which open library
    int64_t id = 0;
    int pixelSide = 0;
    bool inset = false;   // the smaller picture of a selected cell
    int dpr = 100;        // device pixel ratio in hundredths
    uint64_t version = 0; // of the record's picture: a changed file never finds an old pixmap
    bool operator==(const ThumbKey&) const = default;
};
size_t qHash(const ThumbKey& k, size_t seed = 0) noexcept;

// What of a record changes its picture: a favourite toggled keeps it.
uint64_t pictureVersion(const Asset& a);

class GridPixmapCache {
public:
    static constexpr qsizetype defaultLimit = 96LL * 1024 * 1024;  // bytes of pixels

    explicit GridPixmapCache(qsizetype limit = defaultLimit) : cache_(limit) {}

    // The application's one cache, released with the application object.
    static std::shared_ptr<GridPixmapCache> shared();

    QPixmap find(const ThumbKey& key);  // null when absent; a hit counts as a use
    bool contains(const ThumbKey& key) const { return cache_.contains(key); }
    void insert(const ThumbKey& key, const QPixmap& pixmap);
    void dropAsset(uint64_t library, int64_t id);
    // Empties the cache when another library is shown.
    void useLibrary(uint64_t library);
    void clear();

    qsizetype cost() const { return cache_.totalCost(); }
    qsizetype limit() const { return cache_.maxCost(); }
    qsizetype count() const { return cache_.count(); }

private:
    QCache<ThumbKey, QPixmap> cache_;
    uint64_t library_ = 0;
};

}  // namespace vintrelle
