// The processing pass: reads the queued files on a bounded set of worker
// threads and saves their results in batches.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <set>
#include <thread>

#include "Core/Engine/EngineCore.h"
#include "Core/Base/Processors.h"
#include "Core/Engine/ReaderProcess.h"
#include "Core/Base/WallClock.h"
#include "Core/Media/MediaProcessor.h"

namespace vintrelle {

namespace {

constexpr size_t kBatchSize = 100;
constexpr double kBatchSeconds = 0.9;
// Files named in the reading journal ahead of the readers, at once.
constexpr size_t kJournalAhead = 32;

int workerCount() { return std::max(activeProcessorCount() - 2, 2); }

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Whether the file is still the one the scan saw: the same size and
// modification time. A file written since (copied, saved or restored over,
// a download going on) was read as it stood halfway: what came of it is not
// kept, and the scan that its writing brings (the watcher reports the file
// when its writer closes it, a later scan finds it changed) reads it whole.
bool unchangedSinceScan(const struct stat& st, const WorkItem& item) {
    return S_ISREG(st.st_mode) && st.st_size == item.size && sameModificationTime(modificationTime(st), item.mtime);
}

bool stillAsScanned(const std::string& path, const WorkItem& item) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && unchangedSinceScan(st, item);
}

// Whether the file can be read to its end as the scan saw it. A reader that
// failed on such a file met bytes it could not decode; any other failure
// (permission denied, the folder away for a moment, an I/O error, a file
// still being written) is a passing one.
bool readableAsScanned(const std::string& path, const WorkItem& item) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && unchangedSinceScan(st, item);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<char> buffer(size_t(1) << 20);
    off_t total = 0;
    while (ok) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        total += n;
    }
    ::close(fd);
    return ok && total == st.st_size && stillAsScanned(path, item);
}

}  // namespace

double wallClockOf(double utcSeconds) { return utcSeconds + double(WallClock::localOffset(utcSeconds)); }

// ---- the pass ---------------------------------------------------------------

void EngineCore::process(const std::vector<WorkItem>& items) {
    const int total = int(items.size());
    const int width = std::min(workerCount(), std::max(total, 1));
    report(EngineStatus::indexing(0, total));

    LibraryEngine::ReadHook hook;
    std::string reader;
    std::chrono::milliseconds deadline, spacing;
    {
        std::lock_guard lock(mutex);
        hook = readHook;
        reader = readerPath;
        deadline = readerDeadline;
        spacing = retrySpacing;
    }

    struct Result {
        size_t index;
        ProcessedMedia media;
        bool unread;  // not read this time; the file stays for a later scan
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        size_t next = 0;
        int active = 0;
        bool cancelled = false;
        std::deque<Result> results;
        std::set<size_t> reading;  // items being read
        size_t journalledTo = 0;   // items before this one were named in the journal
    } shared;

    // Before an item not named in the reading journal is read: the items
    // being read and the next ones are named there, in one write for many
    // files (caller holds shared.mutex).
    auto journalAhead = [&](size_t index) {
        if (index < shared.journalledTo) return;
        shared.journalledTo = std::min(items.size(), index + kJournalAhead);
        std::vector<int64_t> ids;
        for (size_t i : shared.reading)
            if (i < index) ids.push_back(items[i].id);
        for (size_t i = index; i < shared.journalledTo; ++i) ids.push_back(items[i].id);
        journal.mayRead(ids);
    };

    // A file in flight when an earlier run ended abnormally is read in a
    // process of its own: should it crash its decoder, only that process
    // ends, and only two such ends condemn it; a reading cut short (killed,
    // as the out-of-memory killer does, past its deadline, or failing) is
    // only one of three. Each try waits some minutes after the last (in a
    // run the engine starts for it, or a later one), so that a bad spell
    // of the machine never uses them all up. Nothing else counts: the end of
    // this process (a kill, a crash in another thread) says nothing of any
    // one file, nor does a reading of a file that was being written
    // meanwhile, nor a reader that failed before it turned to the file. It
    // stays a suspect until what was read of it is saved (see flush): a run
    // that ends before then must not read it here next time.
    auto readSuspect = [&](const WorkItem& item, const std::string& url, double fallback) -> Result {
        using End = ReaderProcess::Outcome::End;
        const Result unread{0, {}, true};
        auto condemned = [&] {
            ProcessedMedia unreadable;
            unreadable.taken = fallback;
            return Result{0, std::move(unreadable), false};
        };
        int failures = 0;
        for (;;) {
            // Closing: the file waits for the next run, tried or not.
            if (stopped) return unread;
            if (const auto wait = journal.untilRetry(item.id, spacing); wait.count() > 0) {
                noteWaitingForRetry(item.id, wait);
                return unread;
            }
            const std::string thumb = paths.thumbURL(item.id);
            ReaderProcess::Outcome o = ReaderProcess::read(reader, item.kind, url, fallback, thumb, stopped, deadline);
            // A reader ended part way may have left its thumbnail half written aside.
            if (o.end != End::read) {
                const size_t slash = thumb.rfind('/');
                MediaProcessor::removeUnfinishedWrites(thumb.substr(0, slash), std::string_view(thumb).substr(slash + 1));
            }
            if (o.end == End::stopped) continue;
            // Not there, not runnable, refusing the request, or failing
            // before it turned to the file: the installation is at fault,
            // not the file, which waits for a reader (the run says so).
            if (ReaderProcess::readerAtFault(o)) {
                noteWaitingForReader(item.id, reader, o);
                return unread;
            }
            // No reader to be had for the moment, or one killed from outside
            // before it turned to the file: that says nothing of the file.
            if (o.end == End::unstarted || (o.end == End::killed && !o.reading)) {
                std::fprintf(stderr, "vintrelle: the reader of %s %s; reading it again later\n", url.c_str(),
                             ReaderProcess::describe(o).c_str());
                noteWaitingForRetry(item.id, spacing);
                return unread;
            }
            noteReaderTookUp(item.id);
            // Its thumbnail found no room: as for a file read here.
            if (o.media.thumbWriteError != 0) {
                noteWriteError(o.media.thumbWriteError);
                return unread;
            }
            // Written meanwhile: however the reading went, it says nothing
            // of the file as it stands.
            if (!stillAsScanned(url, item)) return unread;
            if (o.end != End::read) {
                const bool crash = o.end == End::crashed;
                const int ends = crash ? journal.crashed(item.id) : journal.cutShort(item.id);
                const bool again = ends < (crash ? ReadJournal::crashesToCondemn : ReadJournal::cutsToCondemn);
                std::fprintf(stderr, "vintrelle: the reader of %s %s; %s\n", url.c_str(),
                             ReaderProcess::describe(o).c_str(),
                             again ? "reading it again later" : "set aside as unreadable");
                if (!again) return condemned();
                continue;  // the next try waits at the top
            }
            if (!o.media.thumbOK) {
                // As for a file read here: only bytes that were all there
                // and could not be decoded, read twice, make it unreadable.
                if (!readableAsScanned(url, item)) return unread;
                if (++failures < 2) continue;
            }
            return {0, std::move(o.media), false};
        }
    };

    auto read = [&](const WorkItem& item) {
        const std::string url = paths.root + "/" + item.path;
        const std::string name = item.path.substr(item.path.rfind('/') + 1);
        const double fallback = MediaProcessor::fallbackDate(name, item.mtime);
        if (journal.isSuspect(item.id)) return readSuspect(item, url, fallback);
        auto readOnce = [&] {
            try {
                return item.kind == MediaKind::video
                           ? MediaProcessor::processVideo(url, fallback, paths.thumbURL(item.id))
                           : MediaProcessor::processPhoto(url, fallback, paths.thumbURL(item.id));
            } catch (...) {
                return ProcessedMedia{};
            }
        };
        if (hook) hook(url);
        Result r{0, readOnce(), false};
        if (!r.media.thumbOK && r.media.thumbWriteError == 0) {
            // Only bytes that were all there and could not be decoded make a
            // file unreadable for good. The second reading covers a passing
            // error that ended between the failure and the check.
            if (!readableAsScanned(url, item)) r.unread = true;
            else r.media = readOnce();
        }
        // A thumbnail the data folder could not take says nothing about the
        // file: it stays unread, and the run ends.
        if (r.media.thumbWriteError != 0) {
            noteWriteError(r.media.thumbWriteError);
            r.unread = true;
        }
        // Written meanwhile (a copy over it going on): what was read is of
        // no file that stands, and the scan its writing brings reads it whole.
        if (!r.unread && !stillAsScanned(url, item)) r.unread = true;
        return r;
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
                    if (shared.cancelled || stopped || fileWriteError != 0 || shared.next >= items.size()) break;
                    index = shared.next++;
                    shared.reading.insert(index);
                    journalAhead(index);
                }
                Result r = read(items[index]);
                r.index = index;
                {
                    std::lock_guard lock(shared.mutex);
                    shared.reading.erase(index);
                    shared.results.push_back(std::move(r));
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

    // Saves the pending results; false when the library folder has gone, or
    // when a write failed and the run must end.
    auto flush = [&]() -> bool {
        if (pending.empty()) return !mustHalt();
        // An unplugged drive may leave its empty mount point behind: what was
        // read then failed for want of the drive, not for the files.
        if (!libraryPresent()) return false;
        std::vector<int64_t> saved;
        bool failed = false;
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
            failed = true;
        }
        // Suspects among them are settled now that their reading is kept.
        journal.forget(saved);
        pending.clear();
        lastSave = std::chrono::steady_clock::now();
        // No room for the batch (or a damaged index): no progress to report,
        // the files are read again by the next scan.
        if (failed && mustHalt()) return false;
        auto assets = db->assets(saved);
        const EngineStatus status = EngineStatus::indexing(done, total);
        post([assets = std::move(assets), status](EngineDelegate& d) {
            if (!assets.empty()) d.engineDidUpsert(assets);
            d.engineDidChangeStatus(status);
        });
        return !mustHalt();
    };

    std::unique_lock lock(shared.mutex);
    for (;;) {
        shared.cv.wait(lock, [&] { return !shared.results.empty() || shared.active == 0; });
        if (shared.results.empty()) break;
        auto batch = std::move(shared.results);
        shared.results.clear();
        lock.unlock();
        bool goOn = true;
        for (Result& r : batch) {
            ++done;
            if (!r.unread) pending.emplace_back(&items[r.index], std::move(r.media));
            if (pending.size() >= kBatchSize || secondsSince(lastSave) > kBatchSeconds) {
                if (!flush()) {
                    goOn = false;
                    break;
                }
            }
        }
        lock.lock();
        if (!goOn) {
            shared.cancelled = true;  // workers look at it before each file
            break;
        }
    }
    lock.unlock();
    workers.clear();  // joins; readers in flight finish their file
    journal.mayRead({});
    const bool saved = flush();
    // A failed write ends the run; the work loop says why.
    if (mustHalt()) return;
    // The drive went away, or another folder took the library's place, while
    // the files were read (those not read then stay for a later scan): the
    // run ends offline rather than as if nothing had been there.
    if (!saved || !libraryPresent()) reportOffline();
}

}  // namespace vintrelle
