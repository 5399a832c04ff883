#include "Store/ThumbnailCache.h"

#include <QCache>
#include <QImageReader>
#include <QPromise>
#include <QThread>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "Store/MainThread.h"

namespace vintrelle {

// The pixel memory, shared with the decoding threads: a load that finishes
// after the cache is gone finds it expired and only delivers its result.
struct ThumbnailCache::Memory {
    mutable std::mutex mutex;
    QCache<QString, QImage> images{ThumbnailCache::costLimit};
    // When each key was last evicted, counted in evictions: a decode that began
    // before its file was replaced must not put the old picture back. Only
    // keys with a decode under way are remembered, so a long import that
    // evicts every thumbnail it writes leaves nothing behind.
    uint64_t removals = 0;
    std::unordered_map<QString, uint64_t> removedAt;
    std::unordered_map<QString, int> decoding;  // decodes queued or running, by key

    uint64_t stamp() const {
        std::lock_guard lock(mutex);
        return removals;
    }
    void remove(const QString& key) {
        std::lock_guard lock(mutex);
        ++removals;
        if (decoding.count(key)) removedAt[key] = removals;
        images.remove(key);
    }
    void begin(const QString& key) {
        std::lock_guard lock(mutex);
        ++decoding[key];
    }
    // A decode ran or was dropped unrun.
    void end(const QString& key) {
        std::lock_guard lock(mutex);
        auto it = decoding.find(key);
        if (it == decoding.end() || --it->second > 0) return;
        decoding.erase(it);
        removedAt.erase(key);
    }

    std::optional<QImage> find(const QString& key) const {
        std::lock_guard lock(mutex);
        if (const QImage* img = images.object(key)) return *img;
        return std::nullopt;
    }
    // Stores unless the cache was cleared since the load began; the check sits
    // under the same lock as the clearing, so a clear never leaves one behind.
    void insert(const QString& key, const QImage& img, const std::atomic<int>& generation, int born,
                uint64_t since) {
        const qsizetype cost = img.bytesPerLine() * img.height();
        std::lock_guard lock(mutex);
        if (generation.load() != born) return;
        if (auto it = removedAt.find(key); it != removedAt.end() && it->second > since) return;
        // QCache refuses (and deletes) an entry larger than the whole budget.
        images.insert(key, new QImage(img), cost);
    }
};

namespace {
// Counts a decode from the moment it is queued until its task runs or is
// dropped unrun (the pool deletes queued tasks when it is cleared).
struct Decoding {
    std::weak_ptr<ThumbnailCache::Memory> memory;
    QString key;
    Decoding(const std::shared_ptr<ThumbnailCache::Memory>& m, QString k) : memory(m), key(std::move(k)) {
        m->begin(key);
    }
    ~Decoding() {
        if (auto m = memory.lock()) m->end(key);
    }
    Decoding(const Decoding&) = delete;
    Decoding& operator=(const Decoding&) = delete;
};
}  // namespace

bool ThumbnailCache::Operation::isCancelled() const {
    return state_->load(std::memory_order_relaxed) || generation_->load(std::memory_order_relaxed) != born_;
}

ThumbnailCache::ThumbnailCache() : memory_(std::make_shared<Memory>()) {
    pool_.setMaxThreadCount(decodeThreads);
}

ThumbnailCache::~ThumbnailCache() {
    // Queued decodes are dropped; the few already running finish on their own
    // (they hold only the shared memory), so waiting here is short.
    pool_.clear();
    generation_->fetch_add(1);
    pool_.waitForDone(5000);
}

QImage ThumbnailCache::decode(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(false);  // thumbnails are written upright
    QImage img = reader.read();
    return img;
}

QImage ThumbnailCache::decodeReduced(const std::string& path, int minSide) {
    QImageReader reader(keyFor(path));
    reader.setAutoTransform(false);
    const QSize full = reader.size();
    if (full.isValid()) {
        // The reductions a JPEG decoder makes in its transform: asking for
        // exactly one of them leaves no scaling to do afterwards.
        for (int d : {8, 4, 2}) {
            if (std::min(full.width(), full.height()) / d < minSide) continue;
            reader.setScaledSize(QSize((full.width() + d - 1) / d, (full.height() + d - 1) / d));
            break;
        }
    }
    return reader.read();
}

std::optional<ThumbnailCache::Operation> ThumbnailCache::load(const std::string& path, Completion completion) {
    const QString key = keyFor(path);
    if (auto hit = memory_->find(key)) {
        completion(*hit);
        return std::nullopt;
    }
    Operation op(std::make_shared<std::atomic<bool>>(false), generation_, generation_->load());
    std::weak_ptr<Memory> memory = memory_;
    const uint64_t since = memory_->stamp();
    auto decoding = std::make_shared<Decoding>(memory_, key);
    pool_.start([op, key, memory, since, decoding, completion = std::move(completion)]() mutable {
        if (op.isCancelled()) return;
        QImage img = decode(key);
        // A single cancelled load still keeps its image; a cleared cache does not.
        if (!img.isNull()) {
            if (auto m = memory.lock()) m->insert(key, img, *op.generation_, op.born_, since);
        }
        postToMainThread([op, img = std::move(img), completion = std::move(completion)] {
            if (!op.isCancelled()) completion(img);
        });
    });
    return op;
}

namespace {
// The promise of an awaited load. A decode dropped unrun (the library closed)
// answers "nothing", as a missing file does: a future that finishes without
// a result leaves the awaiting view with nothing to read.
struct Answer {
    QPromise<QImage> promise;
    bool given = false;
    Answer() { promise.start(); }
    void give(const QImage& img) {
        promise.addResult(img);
        promise.finish();
        given = true;
    }
    ~Answer() {
        if (!given) give(QImage());
    }
};
}  // namespace

QFuture<QImage> ThumbnailCache::load(const std::string& path) {
    const QString key = keyFor(path);
    if (auto hit = memory_->find(key)) return QtFuture::makeReadyFuture(*hit);
    auto answer = std::make_shared<Answer>();
    QFuture<QImage> future = answer->promise.future();
    std::weak_ptr<Memory> memory = memory_;
    std::shared_ptr<const std::atomic<int>> generation = generation_;
    const int born = generation_->load();
    const uint64_t since = memory_->stamp();
    auto decoding = std::make_shared<Decoding>(memory_, key);
    pool_.start([answer, key, memory, generation, born, since, decoding] {
        QImage img = decode(key);
        if (!img.isNull()) {
            if (auto m = memory.lock()) m->insert(key, img, *generation, born, since);
        }
        answer->give(img);
    });
    return future;
}

std::optional<QImage> ThumbnailCache::cached(const std::string& path) const { return memory_->find(keyFor(path)); }

void ThumbnailCache::remove(const std::string& path) { memory_->remove(keyFor(path)); }

void ThumbnailCache::cancelAllAndClear() {
    pool_.clear();
    std::lock_guard lock(memory_->mutex);
    generation_->fetch_add(1);
    memory_->images.clear();
    memory_->removedAt.clear();  // the generation turns away every older decode now
}

qsizetype ThumbnailCache::totalCost() const {
    std::lock_guard lock(memory_->mutex);
    return memory_->images.totalCost();
}

size_t ThumbnailCache::rememberedRemovals() const {
    std::lock_guard lock(memory_->mutex);
    return memory_->removedAt.size();
}

int ThumbnailCache::count() const {
    std::lock_guard lock(memory_->mutex);
    return int(memory_->images.count());
}

bool ThumbnailCache::waitForIdle(int msecs) { return pool_.waitForDone(msecs); }

}  // namespace vintrelle
