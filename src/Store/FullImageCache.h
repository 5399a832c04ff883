#pragma once
// The viewer's decoded full images: a few of them in memory, least recently
// used first out, decoded on two threads of their own and handed to the main
// thread. One instance serves every opening of the viewer and every library.
//
// An entry is keyed by the library, the asset id and the file's size and
// modification time: ids start again at 1 in every library, and a file that
// changed keeps its id. Two loads of one key share one decode; a queued
// decode that nobody waits for any more is dropped before it starts, while a
// started one finishes into the cache. Results for a library closed since
// the load began are dropped.

#include <QImage>

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Core/Base/MainQueue.h"
#include "Core/Index/Models.h"
#include "Core/Media/Image.h"

namespace vintrelle {

// How much the cache keeps: a few photos, and never more than about half a
// gigabyte of pixels (a 4096-pixel image takes up to 64 MiB).
struct FullImageLimits {
    int count = 7;
    qsizetype bytes = 512LL * 1024 * 1024;
};

class FullImageCache {
public:
    using Limits = FullImageLimits;
    static constexpr int maxPixel = 4096;  // on the longer side
    static constexpr int decodeThreads = 2;

    struct Key {
        std::string library;  // the library folder
        int64_t id = 0;
        int64_t size = 0;
        double mtime = 0;
        bool operator==(const Key&) const = default;
    };
    static Key keyFor(const std::string& library, const Asset& asset) {
        return {library, asset.id, asset.size, asset.mtime};
    }

    // What decodes a file: an upright image whose longer side is at most
    // maxPixel, or null. Called on the cache's threads.
    using Decoder = std::function<ImageRef(const std::string& file, int maxPixel)>;
    // The decoder unless one is given: the photo readers' own, with HEIF
    // files decoded on several threads.
    static ImageRef decode(const std::string& file, int maxPixel);
    // A null image means the file could not be decoded (or the library closed).
    using Completion = std::function<void(const QImage&)>;
    enum class Priority { display, prefetch };
    using Ticket = uint64_t;  // 0 is no ticket

    // An empty decoder decodes with the media reader; an empty poster posts
    // to the Qt event loop.
    explicit FullImageCache(Decoder decoder = {}, MainPoster poster = {}, Limits limits = {});
    ~FullImageCache();
    FullImageCache(const FullImageCache&) = delete;
    FullImageCache& operator=(const FullImageCache&) = delete;

    // Main thread from here on.

    // A lookup that never decodes; a hit becomes the most recently used.
    std::optional<QImage> cached(const Key& key);
    // A hit calls completion before returning and gives ticket 0. Otherwise
    // the completion runs later on the main thread, unless cancelled first.
    // A display load goes before every queued prefetch.
    Ticket load(const Key& key, const std::string& file, Completion completion,
                Priority priority = Priority::display);
    // The completion will not run; a decode that nobody else waits for is
    // dropped when it has not started.
    void cancel(Ticket ticket);
    // Forgets the library's images and drops its queued decodes; decodes of
    // it still running neither fill the cache nor call back.
    void closeLibrary(const std::string& library);

    // Drops what is queued and stops the threads, waiting for a decode under
    // way (quitting). Later loads are never answered.
    void shutdown();

    int count() const { return int(lru_.size()); }
    qsizetype totalBytes() const { return bytes_; }
    // Decodes begun so far (tests and benchmarks).
    int decodesStarted() const;
    // Waits until no decode is queued or running (tests, benchmarks).
    bool waitForIdle(int msecs) const;

    // Wraps a decoded image without copying its pixels; the image keeps the
    // buffer alive.
    static QImage wrap(ImageRef image);

private:
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Job;
    struct Queue;
    struct Entry {
        Key key;
        QImage image;
        qsizetype bytes = 0;
    };

    void deliver(const std::shared_ptr<Job>& job, const QImage& image);
    void insert(const Key& key, const QImage& image);
    void evictBeyondLimits();
    uint64_t generationOf(const std::string& library) const;

    Decoder decoder_;
    MainPoster poster_;
    Limits limits_;
    // Shared with the workers and the posted results; a result that arrives
    // after the cache is gone finds no `alive` and does nothing.
    std::shared_ptr<Queue> queue_;
    std::shared_ptr<FullImageCache*> alive_;
    std::vector<std::jthread> workers_;

    std::list<Entry> lru_;  // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
    qsizetype bytes_ = 0;
    std::unordered_map<Key, std::shared_ptr<Job>, KeyHash> inFlight_;
    std::unordered_map<Ticket, std::shared_ptr<Job>> tickets_;
    std::unordered_map<std::string, uint64_t> closedGeneration_;
    Ticket nextTicket_ = 1;
};

}  // namespace vintrelle
