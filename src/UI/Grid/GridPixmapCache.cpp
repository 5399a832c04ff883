#include "UI/Grid/GridPixmapCache.h"

#include <QCoreApplication>
#include <QHashFunctions>

#include <bit>

namespace vintrelle {

size_t qHash(const ThumbKey& k, size_t seed) noexcept {
    return qHashMulti(seed, k.library, k.id, k.pixelSide, k.inset, k.dpr, k.version);
}

uint64_t pictureVersion(const Asset& a) {
    uint64_t h = std::bit_cast<uint64_t>(a.mtime);
    h = h * 0x9E3779B97F4A7C15ULL ^ uint64_t(a.size);
    h = h * 0x9E3779B97F4A7C15ULL ^ uint64_t(a.thumbState);
    return h;
}

namespace {
std::shared_ptr<GridPixmapCache>& sharedSlot() {
    static std::shared_ptr<GridPixmapCache> cache;
    return cache;
}
}  // namespace

std::shared_ptr<GridPixmapCache> GridPixmapCache::shared() {
    auto& cache = sharedSlot();
    if (!cache) {
        cache = std::make_shared<GridPixmapCache>();
        // Pixmaps must go while the application object still exists, never
        // during static destruction.
        qAddPostRoutine([] { sharedSlot().reset(); });
    }
    return cache;
}

QPixmap GridPixmapCache::find(const ThumbKey& key) {
    const QPixmap* pm = cache_.object(key);
    return pm ? *pm : QPixmap();
}

void GridPixmapCache::insert(const ThumbKey& key, const QPixmap& pixmap) {
    if (key.library != library_ || pixmap.isNull()) return;
    const qsizetype cost = qsizetype(pixmap.width()) * pixmap.height() * 4;
    cache_.insert(key, new QPixmap(pixmap), cost);
}

void GridPixmapCache::dropAsset(uint64_t library, int64_t id) {
    for (const ThumbKey& k : cache_.keys())
        if (k.library == library && k.id == id) cache_.remove(k);
}

void GridPixmapCache::useLibrary(uint64_t library) {
    if (library == library_) return;
    cache_.clear();
    library_ = library;
}

void GridPixmapCache::clear() { cache_.clear(); }

}  // namespace vintrelle
