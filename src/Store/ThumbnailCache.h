#pragma once
// Decoded thumbnails and face crops in memory, keyed by file path, with a
// pool of decoding threads. Shared by every view that shows a thumbnail; a
// view may keep it after the library that made it has closed.

#include <QFuture>
#include <QImage>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vintrelle {

class ThumbnailCache {
public:
    // Bytes of pixel memory the cache keeps before it evicts (420 MiB).
    static constexpr qsizetype costLimit = 420LL * 1024 * 1024;
    static constexpr int decodeThreads = 6;

    // A pending callback load. Cancelling it before it runs skips the decode;
    // cancelling it later still caches the image but suppresses the callback.
    class Operation {
    public:
        void cancel() { state_->store(true, std::memory_order_relaxed); }
        bool isCancelled() const;

    private:
        friend class ThumbnailCache;
        Operation(std::shared_ptr<std::atomic<bool>> flag, std::shared_ptr<const std::atomic<int>> generation,
                  int born)
            : state_(std::move(flag)), generation_(std::move(generation)), born_(born) {}
        std::shared_ptr<std::atomic<bool>> state_;
        std::shared_ptr<const std::atomic<int>> generation_;
        int born_ = 0;
    };

    using Completion = std::function<void(const QImage&)>;  // a null image means "nothing"

    ThumbnailCache();
    ~ThumbnailCache();
    ThumbnailCache(const ThumbnailCache&) = delete;
    ThumbnailCache& operator=(const ThumbnailCache&) = delete;

    // Main thread. A hit calls completion before returning and gives no
    // operation; otherwise the decode is queued and completion runs later on
    // the main thread unless the operation was cancelled.
    std::optional<Operation> load(const std::string& path, Completion completion);
    // Not cancellable: a hit gives a finished future, otherwise the decode is
    // queued and the future finishes on a decoding thread; a decode dropped
    // by cancelAllAndClear finishes it with a null image.
    QFuture<QImage> load(const std::string& path);

    // In-memory lookup only; never touches the disk.
    std::optional<QImage> cached(const std::string& path) const;
    void remove(const std::string& path);
    // Cancels every pending load (queued ones never run) and empties the cache.
    void cancelAllAndClear();

    qsizetype totalCost() const;
    int count() const;
    // Evictions remembered against decodes still under way (none once idle).
    size_t rememberedRemovals() const;
    // Waits for the decoding threads to finish what they have started (tests, shutdown).
    bool waitForIdle(int msecs);

    // One key for loading and evicting, so the two can never disagree.
    static QString keyFor(const std::string& path) { return QString::fromStdString(path); }
    static QImage decode(const QString& path);
    // The file decoded at the smallest of its JPEG's cheap reductions (a
    // half, a quarter, an eighth) whose shorter side is still at least
    // minSide pixels: a quick picture for a view that moves too fast to wait
    // for the cache. Not cached; safe on any thread.
    static QImage decodeReduced(const std::string& path, int minSide);

    struct Memory;

private:
    std::shared_ptr<Memory> memory_;
    std::shared_ptr<std::atomic<int>> generation_ = std::make_shared<std::atomic<int>>(0);
    QThreadPool pool_;
};

}  // namespace vintrelle
