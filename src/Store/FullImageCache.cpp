#include "Store/FullImageCache.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "Core/Media/HeifFullImage.h"
#include "Store/MainThread.h"

namespace vintrelle {

// One decode and everybody waiting for it, touched on the main thread only
// (the workers read the file, which never changes).
struct FullImageCache::Job {
    Key key;
    std::string file;
    uint64_t generation = 0;  // of its library when the load began
    std::vector<std::pair<Ticket, Completion>> waiters;
};

struct FullImageCache::Queue {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::condition_variable idle;
    std::deque<std::shared_ptr<Job>> pending;
    int running = 0;
    int started = 0;

    // Under the mutex: takes a job out of the queue; false once it has started.
    bool remove(const std::shared_ptr<Job>& job) {
        auto it = std::find(pending.begin(), pending.end(), job);
        if (it == pending.end()) return false;
        pending.erase(it);
        if (pending.empty() && running == 0) idle.notify_all();
        return true;
    }
};

size_t FullImageCache::KeyHash::operator()(const Key& k) const {
    size_t h = std::hash<std::string>()(k.library);
    auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<int64_t>()(k.id));
    mix(std::hash<int64_t>()(k.size));
    mix(std::hash<double>()(k.mtime));
    return h;
}

QImage FullImageCache::wrap(ImageRef image) {
    if (!image || image->empty() || image->rgba.size() != size_t(image->width) * size_t(image->height) * 4)
        return {};
    auto* holder = new ImageRef(std::move(image));
    const Image& pixels = **holder;
    // The const constructor keeps the buffer read-only: a painter that wants
    // to write gets its own copy.
    return QImage(
        pixels.rgba.data(), pixels.width, pixels.height, qsizetype(pixels.width) * 4, QImage::Format_RGBA8888,
        [](void* p) { delete static_cast<ImageRef*>(p); }, holder);
}

ImageRef FullImageCache::decode(const std::string& file, int maxPixel) {
    // A photo being looked at is the one thing waited for: a HEIC's tiles are
    // decoded on every core (libheif's own threads, up to eight).
    static const int threads = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    return MediaProcessor::loadFullImage(file, maxPixel, threads);
}

FullImageCache::FullImageCache(Decoder decoder, MainPoster poster, Limits limits)
    : decoder_(decoder ? std::move(decoder) : Decoder(&FullImageCache::decode)),
      poster_(poster ? std::move(poster) : qtMainPoster()),
      limits_(limits),
      queue_(std::make_shared<Queue>()),
      alive_(std::make_shared<FullImageCache*>(this)) {
    for (int i = 0; i < decodeThreads; ++i) {
        workers_.emplace_back([queue = queue_, decode = decoder_, post = poster_,
                               alive = std::weak_ptr<FullImageCache*>(alive_)](std::stop_token stop) {
            for (;;) {
                std::shared_ptr<Job> job;
                {
                    std::unique_lock lock(queue->mutex);
                    if (!queue->wake.wait(lock, stop, [&] { return !queue->pending.empty(); })) return;
                    job = queue->pending.front();
                    queue->pending.pop_front();
                    ++queue->running;
                    ++queue->started;
                }
                ImageRef decoded;
                try {
                    decoded = decode(job->file, maxPixel);
                } catch (...) {
                    decoded = nullptr;  // a broken file is a missing picture, never a dead thread
                }
                post([alive, job, image = wrap(std::move(decoded))] {
                    if (auto cache = alive.lock()) (*cache)->deliver(job, image);
                });
                std::lock_guard lock(queue->mutex);
                if (--queue->running == 0 && queue->pending.empty()) queue->idle.notify_all();
            }
        });
    }
}

FullImageCache::~FullImageCache() {
    alive_.reset();
    shutdown();
}

void FullImageCache::shutdown() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->pending.clear();
    }
    for (auto& w : workers_) w.request_stop();
    workers_.clear();  // joins; a running decode is the longest wait
}

uint64_t FullImageCache::generationOf(const std::string& library) const {
    auto it = closedGeneration_.find(library);
    return it == closedGeneration_.end() ? 0 : it->second;
}

std::optional<QImage> FullImageCache::cached(const Key& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->image;
}

FullImageCache::Ticket FullImageCache::load(const Key& key, const std::string& file, Completion completion,
                                            Priority priority) {
    if (auto hit = cached(key)) {
        completion(*hit);
        return 0;
    }
    const Ticket ticket = nextTicket_++;
    std::shared_ptr<Job>& slot = inFlight_[key];
    const bool fresh = !slot;
    if (fresh) {
        slot = std::make_shared<Job>();
        slot->key = key;
        slot->file = file;
        slot->generation = generationOf(key.library);
    }
    std::shared_ptr<Job> job = slot;
    job->waiters.emplace_back(ticket, std::move(completion));
    tickets_[ticket] = job;
    {
        std::lock_guard lock(queue_->mutex);
        if (fresh || (priority == Priority::display && queue_->remove(job))) {
            if (priority == Priority::display)
                queue_->pending.push_front(job);
            else
                queue_->pending.push_back(job);
        }
    }
    queue_->wake.notify_one();
    return ticket;
}

void FullImageCache::cancel(Ticket ticket) {
    auto it = tickets_.find(ticket);
    if (it == tickets_.end()) return;
    std::shared_ptr<Job> job = it->second;
    tickets_.erase(it);
    std::erase_if(job->waiters, [ticket](const auto& w) { return w.first == ticket; });
    if (!job->waiters.empty()) return;
    bool dropped;
    {
        std::lock_guard lock(queue_->mutex);
        dropped = queue_->remove(job);
    }
    // A started decode stays in flight: a later load of the key joins it.
    if (dropped) {
        auto f = inFlight_.find(job->key);
        if (f != inFlight_.end() && f->second == job) inFlight_.erase(f);
    }
}

void FullImageCache::closeLibrary(const std::string& library) {
    ++closedGeneration_[library];
    for (auto it = lru_.begin(); it != lru_.end();) {
        if (it->key.library == library) {
            bytes_ -= it->bytes;
            index_.erase(it->key);
            it = lru_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        if (it->first.library != library) {
            ++it;
            continue;
        }
        const std::shared_ptr<Job> job = it->second;
        for (const auto& w : job->waiters) tickets_.erase(w.first);
        job->waiters.clear();
        {
            std::lock_guard lock(queue_->mutex);
            queue_->remove(job);
        }
        it = inFlight_.erase(it);
    }
}

void FullImageCache::deliver(const std::shared_ptr<Job>& job, const QImage& image) {
    auto f = inFlight_.find(job->key);
    if (f != inFlight_.end() && f->second == job) inFlight_.erase(f);
    if (job->generation != generationOf(job->key.library)) return;  // its library closed meanwhile
    // A failure is stored nowhere, so the next visit tries again.
    if (!image.isNull()) insert(job->key, image);
    auto waiters = std::move(job->waiters);
    job->waiters.clear();
    for (const auto& w : waiters) tickets_.erase(w.first);
    for (const auto& w : waiters) w.second(image);
}

void FullImageCache::insert(const Key& key, const QImage& image) {
    const qsizetype bytes = image.sizeInBytes();
    if (bytes > limits_.bytes) return;
    if (auto old = index_.find(key); old != index_.end()) {
        bytes_ -= old->second->bytes;
        lru_.erase(old->second);
        index_.erase(old);
    }
    lru_.push_front(Entry{key, image, bytes});
    index_[key] = lru_.begin();
    bytes_ += bytes;
    evictBeyondLimits();
}

void FullImageCache::evictBeyondLimits() {
    while (!lru_.empty() && (int(lru_.size()) > limits_.count || bytes_ > limits_.bytes)) {
        bytes_ -= lru_.back().bytes;
        index_.erase(lru_.back().key);
        lru_.pop_back();
    }
}

int FullImageCache::decodesStarted() const {
    std::lock_guard lock(queue_->mutex);
    return queue_->started;
}

bool FullImageCache::waitForIdle(int msecs) const {
    std::unique_lock lock(queue_->mutex);
    return queue_->idle.wait_for(lock, std::chrono::milliseconds(msecs),
                                 [&] { return queue_->pending.empty() && queue_->running == 0; });
}

}  // namespace vintrelle
