#include "UI/Grid/GridThumbnails.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

#include "Store/LibraryStore.h"
#include "Store/MainThread.h"
#include "Store/ThumbnailCache.h"

namespace vintrelle {

ThumbnailSource ThumbnailSource::of(std::shared_ptr<ThumbnailCache> cache) {
    ThumbnailSource s;
    s.load = [cache](const std::string& path, Completion done) -> Cancel {
        auto op = cache->load(path, std::move(done));
        if (!op) return {};
        return [op]() mutable { op->cancel(); };
    };
    s.cached = [cache](const std::string& path) { return cache->cached(path).value_or(QImage()); };
    s.decodeSmall = &ThumbnailCache::decodeReduced;
    return s;
}

GridLibrary GridLibrary::of(const LibraryStore& store) {
    GridLibrary lib;
    lib.thumbs = ThumbnailSource::of(store.thumbs());
    lib.paths = store.paths();
    lib.key = std::hash<std::string>{}(store.paths().dataDir) | 1;
    return lib;
}

GridThumbnails::GridThumbnails(std::shared_ptr<GridPixmapCache> cache, QObject* parent)
    : QObject(parent), cache_(std::move(cache)) {
    // As many as the thumbnail cache decodes with: while the grid races
    // past, these workers read every picture it shows.
    pool_.setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 2, 2, ThumbnailCache::decodeThreads));
    fadeTimer_.setInterval(16);
    connect(&fadeTimer_, &QTimer::timeout, this, &GridThumbnails::fadeTick);
    clock_.start();
}

GridThumbnails::~GridThumbnails() {
    for (auto& [id, s] : slots_) forget(s);
    pool_.clear();
    pool_.waitForDone(2000);
}

void GridThumbnails::setLibrary(GridLibrary library) {
    for (auto& [id, s] : slots_) forget(s);
    slots_.clear();
    library_ = std::move(library);
    cache_->useLibrary(library_.key);
}

ThumbKey GridThumbnails::keyFor(const Asset& asset, bool inset, double side, qreal dpr) const {
    ThumbKey k;
    k.library = library_.key;
    k.id = asset.id;
    k.inset = inset;
    k.pixelSide = int(std::lround((side - (inset ? 2 * CellLook::selectionInset : 0)) * dpr));
    k.dpr = int(std::lround(dpr * 100));
    k.version = pictureVersion(asset);
    return k;
}

ThumbKey GridThumbnails::slotKey(int64_t id, const Slot& s) const {
    ThumbKey k;
    k.library = library_.key;
    k.id = id;
    k.inset = s.inset;
    k.pixelSide = int(std::lround((side_ - (s.inset ? 2 * CellLook::selectionInset : 0)) * dpr_));
    k.dpr = int(std::lround(dpr_ * 100));
    k.version = s.version;
    return k;
}

void GridThumbnails::sync(const std::vector<Cell>& cells, double side, qreal dpr, bool exact) {
    side_ = side;
    dpr_ = dpr;
    exact_ = exact;
    ++generation_;
    for (const Cell& c : cells) {
        const Asset& a = *c.asset;
        auto [it, fresh] = slots_.try_emplace(a.id);
        Slot& s = it->second;
        s.seen = generation_;
        s.pos = c.pos;
        s.inset = c.inset;
        const uint64_t version = pictureVersion(a);
        if (!fresh && s.version != version) {
            // The file or its thumbnail changed: what shows stays until the new picture is ready.
            cache_->dropAsset(library_.key, a.id);
            QPixmap keep = s.shown;
            forget(s);
            s.source = QImage();
            s.shown = keep;
            s.failed = false;
            s.quickFailed = false;
        }
        s.version = version;
        if (a.thumbState != 1) {
            forget(s);
            s.source = QImage();
            s.shown = QPixmap();
            continue;
        }
        ensure(a.id, s, c.priority);
    }
    for (auto it = slots_.begin(); it != slots_.end();) {
        if (it->second.seen != generation_) {
            forget(it->second);
            it = slots_.erase(it);
        } else {
            ++it;
        }
    }
}

void GridThumbnails::ensure(int64_t id, Slot& s, int priority) {
    const ThumbKey key = slotKey(id, s);
    if (cache_->contains(key)) return;
    if (s.source.isNull() && movingFast_ && library_.thumbs.decodeSmall) {
        // A thumbnail decoded already is scaled as ever; otherwise a stand-in
        // (unless a picture shows), and the whole one once the grid settles.
        if (library_.thumbs.cached) s.source = library_.thumbs.cached(library_.paths.thumbURL(id));
        if (s.source.isNull()) {
            if (s.shown.isNull() && !s.quickFailed) {
                // The whole one waits until the grid settles: a decode queued
                // earlier would only hold up the cells ahead.
                if (s.cancel) s.cancel();
                s.cancel = nullptr;
                s.loading = false;
                requestQuick(id, s, key, priority);
            }
            return;
        }
    }
    if (s.source.isNull()) {
        if (!s.loading && !s.failed) startLoad(id, s);
        if (s.source.isNull()) return;  // arrives later
    }
    if (exact_) requestScale(s, key, priority);
}

void GridThumbnails::startLoad(int64_t id, Slot& s) {
    if (!library_.thumbs.load) return;
    const uint64_t ticket = ++tickets_;
    s.ticket = ticket;
    s.loading = true;
    QPointer<GridThumbnails> guard(this);
    loadingNow_ = ticket;
    ThumbnailSource::Cancel cancel = library_.thumbs.load(library_.paths.thumbURL(id), [guard, id, ticket](const QImage& img) {
        if (guard) guard->loaded(id, ticket, img);
    });
    loadingNow_ = 0;
    // A hit has completed already and left nothing to cancel.
    if (s.loading && s.ticket == ticket) s.cancel = std::move(cancel);
}

void GridThumbnails::loaded(int64_t id, uint64_t ticket, const QImage& img) {
    const bool atOnce = loadingNow_ == ticket;
    auto it = slots_.find(id);
    // A cell that left the view, or a load that was superseded, shows nothing of it.
    if (it == slots_.end() || it->second.ticket != ticket || !it->second.loading) return;
    Slot& s = it->second;
    s.loading = false;
    s.cancel = nullptr;
    if (img.isNull()) {
        s.failed = true;  // the placeholder (or the earlier picture) stays, silently
        return;
    }
    const bool hadPicture = !s.shown.isNull() || !s.source.isNull();
    s.source = img;
    // A picture that had to wait fades in, unless the grid is racing past.
    if (!atOnce && !hadPicture && !movingFast_) {
        s.fadeStart = clock_.elapsed();
        if (!fadeTimer_.isActive()) fadeTimer_.start();
    }
    if (exact_) {
        const ThumbKey key = slotKey(id, s);
        if (!cache_->contains(key)) requestScale(s, key);
    }
    if (!atOnce && onChange_) onChange_(s.pos);
}

void GridThumbnails::requestScale(Slot& s, const ThumbKey& key, int priority) {
    if (s.scaling && s.scaleKey == key) return;
    if (s.scaling) s.scaling->store(true);
    auto flag = std::make_shared<std::atomic<bool>>(false);
    s.scaling = flag;
    s.scaleKey = key;
    ++scalesInFlight_;
    QPointer<GridThumbnails> guard(this);
    const QImage source = s.source;
    const double radius = CellLook::cornerRadius * key.dpr / 100.0;
    pool_.start([guard, flag, key, source, radius] {
        QImage out;
        if (!flag->load()) {
            out = roundedThumbnail(source, key.pixelSide, radius);
            out.setDevicePixelRatio(key.dpr / 100.0);
        }
        postToMainThread([guard, flag, key, out = std::move(out)]() mutable {
            if (guard) guard->scaled(key, std::move(out), flag);
        });
    }, priority);
}

void GridThumbnails::requestQuick(int64_t id, Slot& s, const ThumbKey& key, int priority) {
    if (s.quick || !library_.thumbs.decodeSmall) return;
    auto flag = std::make_shared<std::atomic<bool>>(false);
    s.quick = flag;
    ++quicksInFlight_;
    QPointer<GridThumbnails> guard(this);
    const std::string path = library_.paths.thumbURL(id);
    const auto decode = library_.thumbs.decodeSmall;
    // As small as the JPEG's cheap reductions go while the cell's pixels are
    // still covered: a quick read that looks like the finished picture.
    const int minSide = std::max(1, key.pixelSide);
    const double radius = CellLook::cornerRadius * key.dpr / 100.0;
    pool_.start([guard, flag, id, key, path, decode, minSide, radius] {
        QImage out;
        if (!flag->load()) {
            const QImage small = decode(path, minSide);
            if (!small.isNull() && !flag->load()) {
                out = roundedThumbnail(small, key.pixelSide, radius);
                out.setDevicePixelRatio(key.dpr / 100.0);
            }
        }
        postToMainThread([guard, flag, id, out = std::move(out)]() mutable {
            if (guard) guard->quickDone(id, std::move(out), flag);
        });
    }, priority);
}

void GridThumbnails::quickDone(int64_t id, QImage img, const std::shared_ptr<std::atomic<bool>>& flag) {
    --quicksInFlight_;
    auto it = slots_.find(id);
    Slot* s = it != slots_.end() && it->second.quick == flag ? &it->second : nullptr;
    if (!s) return;  // the cell left, or was asked again
    s->quick.reset();
    if (img.isNull()) {
        s->quickFailed = true;  // the whole thumbnail is read once the grid settles
        return;
    }
    // Something better may have come first.
    if (!s->shown.isNull() || !s->source.isNull() || cache_->contains(slotKey(id, *s))) return;
    s->shown = QPixmap::fromImage(std::move(img));
    if (onChange_) onChange_(s->pos);
}

void GridThumbnails::scaled(const ThumbKey& key, QImage img, const std::shared_ptr<std::atomic<bool>>& flag) {
    --scalesInFlight_;
    auto it = slots_.find(key.id);
    Slot* s = it != slots_.end() && it->second.scaling == flag ? &it->second : nullptr;
    if (s) s->scaling.reset();
    if (flag->load() || img.isNull() || key.library != library_.key) return;
    const QPixmap pm = QPixmap::fromImage(std::move(img));
    cache_->insert(key, pm);
    if (!s) return;
    s->shown = pm;
    if (slotKey(key.id, *s) == key) s->source = QImage();  // the exact pixmap takes over
    if (onChange_) onChange_(s->pos);
}

void GridThumbnails::forget(Slot& s) {
    if (s.cancel) s.cancel();
    s.cancel = nullptr;
    s.loading = false;
    if (s.scaling) s.scaling->store(true);
    s.scaling.reset();
    if (s.quick) s.quick->store(true);
    s.quick.reset();
    s.fadeStart = -1;
}

GridPicture GridThumbnails::picture(const Asset& asset, bool inset, double side, qreal dpr) {
    GridPicture out;
    if (asset.thumbState != 1) return out;
    out.exact = cache_->find(keyFor(asset, inset, side, dpr));
    auto it = slots_.find(asset.id);
    if (it == slots_.end()) return out;
    Slot& s = it->second;
    if (s.fadeStart >= 0) out.opacity = std::min(1.0, double(clock_.elapsed() - s.fadeStart) / fadeMs);
    if (!out.exact.isNull()) {
        s.shown = out.exact;
    } else if (!s.source.isNull()) {
        out.source = s.source;
    } else {
        out.fallback = s.shown;
    }
    return out;
}

void GridThumbnails::fadeTick() {
    const qint64 now = clock_.elapsed();
    bool any = false;
    for (auto& [id, s] : slots_) {
        if (s.fadeStart < 0) continue;
        if (now - s.fadeStart >= fadeMs) s.fadeStart = -1;
        else any = true;
        if (onChange_) onChange_(s.pos);
    }
    if (!any) fadeTimer_.stop();
}

bool GridThumbnails::idle() const {
    if (scalesInFlight_ > 0 || quicksInFlight_ > 0) return false;
    return std::none_of(slots_.begin(), slots_.end(),
                        [](const auto& kv) { return kv.second.loading || kv.second.fadeStart >= 0; });
}

}  // namespace vintrelle
