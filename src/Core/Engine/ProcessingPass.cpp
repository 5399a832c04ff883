// The processing pass: reads the queued files on a bounded set of worker
// threads and saves their results in batches.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "Core/Engine/EngineCore.h"
#include "Core/Base/WallClock.h"
#include "Core/Media/MediaProcessor.h"

namespace vintrelle {

namespace {

constexpr size_t kBatchSize = 100;
constexpr double kBatchSeconds = 0.9;

int workerCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    int cpus = 1;
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) cpus = CPU_COUNT(&set);
    return std::max(cpus - 2, 2);
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

double wallClockOf(double utcSeconds) { return utcSeconds + double(WallClock::localOffset(utcSeconds)); }

// ---- journal of files being read ------------------------------------------

ReadJournal::ReadJournal(std::string path) : path_(std::move(path)) {}

ReadJournal::~ReadJournal() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<int64_t> ReadJournal::leftOver() const {
    std::vector<int64_t> ids;
    std::ifstream in(path_);
    long long id = 0;
    while (in >> id) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

void ReadJournal::clear() {
    std::lock_guard lock(mutex_);
    reading_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(path_.c_str());
}

void ReadJournal::begin(int64_t id) {
    std::lock_guard lock(mutex_);
    reading_.insert(id);
    write();
}

void ReadJournal::end(int64_t id) {
    std::lock_guard lock(mutex_);
    if (auto it = reading_.find(id); it != reading_.end()) reading_.erase(it);
    write();
}

void ReadJournal::write() {
    // No fsync: the journal guards against the process dying, not the
    // machine, and the page cache outlives the process.
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    std::string text;
    for (int64_t id : reading_) text += std::to_string(id) + "\n";
    if (::pwrite(fd_, text.data(), text.size(), 0) < 0) return;
    if (::ftruncate(fd_, off_t(text.size())) != 0) return;
}

// ---- the pass ---------------------------------------------------------------

void EngineCore::process(const std::vector<WorkItem>& items) {
    const int total = int(items.size());
    const int width = std::min(workerCount(), std::max(total, 1));
    report(EngineStatus::indexing(0, total));

    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        size_t next = 0;
        int active = 0;
        bool cancelled = false;
        std::deque<std::pair<size_t, ProcessedMedia>> results;
    } shared;

    auto read = [&](const WorkItem& item) {
        const std::string url = paths.root + "/" + item.path;
        const std::string name = item.path.substr(item.path.rfind('/') + 1);
        ProcessedMedia media;
        journal.begin(item.id);
        try {
            const double fallback = MediaProcessor::fallbackDate(name, item.mtime);
            media = item.kind == MediaKind::video
                        ? MediaProcessor::processVideo(url, fallback, paths.thumbURL(item.id))
                        : MediaProcessor::processPhoto(url, fallback, paths.thumbURL(item.id));
        } catch (...) {
            media = ProcessedMedia{};
        }
        journal.end(item.id);
        return media;
    };

    std::vector<std::jthread> workers;
    shared.active = width;
    for (int w = 0; w < width; ++w) {
        workers.emplace_back([&] {
            for (;;) {
                size_t index = 0;
                {
                    std::lock_guard lock(shared.mutex);
                    // Files in flight finish and are saved; no new one starts
                    // after a stop.
                    if (shared.cancelled || stopped || shared.next >= items.size()) break;
                    index = shared.next++;
                }
                ProcessedMedia media = read(items[index]);
                {
                    std::lock_guard lock(shared.mutex);
                    shared.results.emplace_back(index, std::move(media));
                }
                shared.cv.notify_all();
            }
            std::lock_guard lock(shared.mutex);
            --shared.active;
            shared.cv.notify_all();
        });
    }

    int done = 0;
    std::vector<std::pair<const WorkItem*, ProcessedMedia>> pending;
    pending.reserve(kBatchSize);
    auto lastSave = std::chrono::steady_clock::now();

    // Saves the pending results; false when the library folder has gone.
    auto flush = [&]() -> bool {
        if (pending.empty()) return true;
        // An unplugged drive may leave its empty mount point behind: what was
        // read then failed for want of the drive, not for the files.
        if (!rootIsDirectory() || looksUnmounted()) return false;
        std::vector<int64_t> saved;
        try {
            db->db().transaction([&] {
                for (const auto& [item, media] : pending) {
                    Asset a;
                    a.id = item->id;
                    a.path = item->path;
                    a.kind = item->kind;
                    a.mtime = item->mtime;
                    a.taken = media.taken > 0 ? media.taken : wallClockOf(item->mtime);
                    a.width = media.width;
                    a.height = media.height;
                    a.duration = media.duration;
                    a.lat = media.lat;
                    a.lon = media.lon;
                    a.camera = media.camera;
                    a.lens = media.lens;
                    a.iso = media.iso;
                    a.fnumber = media.fnumber;
                    a.exposure = media.exposure;
                    a.focal = media.focal;
                    a.thumbState = media.thumbOK ? 1 : 2;
                    db->saveProcessed(a);
                    saved.push_back(a.id);
                }
            });
        } catch (const DBError&) {
            // Rolled back: none of the batch is saved, and rows read back now
            // would be the unprocessed ones.
            saved.clear();
        }
        pending.clear();
        lastSave = std::chrono::steady_clock::now();
        auto assets = db->assets(saved);
        const EngineStatus status = EngineStatus::indexing(done, total);
        post([assets = std::move(assets), status](EngineDelegate& d) {
            if (!assets.empty()) d.engineDidUpsert(assets);
            d.engineDidChangeStatus(status);
        });
        return true;
    };

    std::unique_lock lock(shared.mutex);
    for (;;) {
        shared.cv.wait(lock, [&] { return !shared.results.empty() || shared.active == 0; });
        if (shared.results.empty()) break;
        auto batch = std::move(shared.results);
        shared.results.clear();
        lock.unlock();
        bool goOn = true;
        for (auto& [index, media] : batch) {
            ++done;
            pending.emplace_back(&items[index], std::move(media));
            if (pending.size() >= kBatchSize || secondsSince(lastSave) > kBatchSeconds) {
                if (!flush()) {
                    goOn = false;
                    break;
                }
            }
        }
        lock.lock();
        if (!goOn) {
            shared.cancelled = true;
            break;
        }
    }
    lock.unlock();
    workers.clear();  // joins; readers in flight finish their file
    flush();
}

}  // namespace vintrelle
