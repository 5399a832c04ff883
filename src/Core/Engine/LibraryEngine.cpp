#include "Core/Engine/LibraryEngine.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <thread>

#include "Core/Engine/EngineCore.h"
#include "Core/Engine/ReaderProcess.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"

namespace vintrelle {

namespace {

// How long closing waits for a loop to notice the stop before leaving it to
// finish on its own (it owns everything it touches).
constexpr auto kJoinBound = std::chrono::seconds(5);

std::string realPathOr(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    return path;
}

bool hasHiddenComponent(const std::string& rel) {
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        if (end > start && rel[start] == '.') return true;
        start = end + 1;
    }
    return false;
}

// A folder the walk of the whole library never enters: the inside of a
// package. Scanning it on its own would index files that the next full scan
// takes away again.
bool walkNeverEnters(const std::string& folder) {
    size_t start = 0;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        if (isPackageName(std::string_view(folder).substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

struct LibraryEngine::Impl {
    std::shared_ptr<EngineCore> core;
    std::thread thread;
};

EngineCore::EngineCore(LibraryPaths p, std::shared_ptr<LibraryDB> d, std::weak_ptr<EngineDelegate> del,
                       MainPoster mp)
    : paths(std::move(p)),
      db(std::move(d)),
      delegate(std::move(del)),
      poster(std::move(mp)),
      readerPath(ReaderProcess::besideThisProgram()),
      readerDeadline(ReaderProcess::defaultDeadline),
      retrySpacing(ReadJournal::retrySpacing),
      journal(paths.dataDir),
      resolver(std::make_shared<PlaceResolver>(db)),
      trips(db, resolver, poster, delegate) {
    rootReal = realPathOr(paths.root);
    struct stat st {};
    if (::stat(paths.root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        rootDevice = st.st_dev;
        knownDevice = st.st_dev;
        knownInode = st.st_ino;
    }
}

void EngineCore::post(std::function<void(EngineDelegate&)> call) {
    if (!poster) return;
    poster([weak = delegate, call = std::move(call)] {
        if (auto d = weak.lock()) call(*d);
    });
}

void EngineCore::report(const EngineStatus& status) {
    post([status](EngineDelegate& d) { d.engineDidChangeStatus(status); });
}

bool EngineCore::libraryPresent() {
    struct stat st {};
    // Seen gone, or as the empty mount point of an unplugged drive: whatever
    // comes back in its place next is taken for the library again, since a
    // drive plugged in again may bring it under another device and inode
    // (FAT and exFAT number them afresh at every mount). The guards against
    // scanning an empty folder still stand for it.
    if (::stat(paths.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || looksUnmounted()) {
        knownInode = 0;
        return false;
    }
    // The index must still be the library's: deleted with its folder (and
    // perhaps put back from a backup since), what is scanned into it is
    // lost, and the folder's own index is another file.
    if (!db->db().isStillAtItsPath()) return false;
    if (rootDevice == 0) rootDevice = st.st_dev;
    if (knownInode == 0) {
        knownDevice = st.st_dev;
        knownInode = st.st_ino;
        return true;
    }
    return st.st_dev == knownDevice && st.st_ino == knownInode;
}

void EngineCore::reportOffline() {
    wentOffline = true;
    post([](EngineDelegate& d) { d.engineDidGoOffline(); });
}

bool EngineCore::looksUnmounted() const {
    // An fstab mount point whose drive is unplugged is an ordinary empty
    // folder; scanning it would delete the whole index.
    if (DIR* dir = ::opendir(paths.root.c_str())) {
        bool empty = true;
        while (dirent* e = ::readdir(dir)) {
            std::string_view n = e->d_name;
            if (n != "." && n != "..") {
                empty = false;
                break;
            }
        }
        ::closedir(dir);
        if (!empty) return false;
    } else {
        return false;
    }
    bool holdsFiles = false;
    try {
        holdsFiles = db->db().scalarInt("SELECT EXISTS(SELECT 1 FROM assets)").value_or(0) != 0;
    } catch (const DBError&) {
    }
    if (!holdsFiles) return false;
    struct stat st {};
    if (paths.portable) return ::stat(paths.dataDir.c_str(), &st) != 0;
    return ::stat(paths.root.c_str(), &st) == 0 && rootDevice != 0 && st.st_dev != rootDevice;
}

std::optional<std::string> EngineCore::relative(const std::string& path) const {
    for (const std::string* base : {&rootReal, &paths.root}) {
        if (path == *base) return std::string();
        if (path.size() > base->size() && path.compare(0, base->size(), *base) == 0 && path[base->size()] == '/')
            return path.substr(base->size() + 1);
    }
    return std::nullopt;
}

void EngineCore::kick() {
    if (running || stopped) return;
    running = true;
    wake.notify_all();
}

void EngineCore::threadMain() {
    std::unique_lock lock(mutex);
    auto ready = [&] { return running || exitThread; };
    for (;;) {
        if (retryAt && !ready()) {
            // Suspects wait to be read again: a run of their own when the
            // first one's time comes, unless another run comes first.
            if (!wake.wait_until(lock, *retryAt, ready)) {
                retryAt.reset();
                retryDue = true;
                kick();
            }
        } else {
            wake.wait(lock, ready);
        }
        if (running) {
            lock.unlock();
            drain();
            lock.lock();
            continue;
        }
        if (exitThread) break;
    }
    threadEnded = true;
    wake.notify_all();
}

bool EngineCore::mustHalt() {
    Database& d = db->db();
    if (d.isDamaged()) return true;
    if (halt) return true;
    const DBFaults now = d.faults();
    const int error = fileWriteError.load();
    if (now.full > faultsAtStart.full || error == ENOSPC || error == EDQUOT) halt = EngineHalt::diskFull;
    else if (now.unwritable > faultsAtStart.unwritable || error != 0) halt = EngineHalt::unwritable;
    return halt.has_value();
}

void EngineCore::noteWriteError(int error) {
    int none = 0;
    fileWriteError.compare_exchange_strong(none, error == 0 ? EIO : error);
}

void EngineCore::drain() {
    // A new run: a disk that was full may have room again.
    faultsAtStart = db->db().faults();
    fileWriteError = 0;
    halt.reset();
    if (!indexChecked) {
        // Before the first write: a damaged index would silently lose what
        // is written into it. The check reads the whole file, so it runs
        // here, off the main thread.
        indexChecked = true;
        db->checkFile();
    }
    if (!journalRecovered && !mustHalt()) {
        journalRecovered = true;
        recoverJournal();
    }
    std::function<void()> firstWait;
    {
        std::lock_guard lock(mutex);
        firstWait.swap(firstScanWait);
    }
    if (firstWait) firstWait();
    queueDueRetries();
    // Faces switched on after the loop looked at the switch, but before it
    // marked itself as not running, would otherwise wait for the next scan.
    bool endedWithFacesOff = false;
    for (;;) {
        while (!stopped && !mustHalt()) {
            bool full = false;
            std::set<std::string> dirs;
            {
                std::lock_guard lock(mutex);
                if (!pendingFull && pendingDirs.empty()) break;
                full = pendingFull;
                dirs.swap(pendingDirs);
                pendingFull = false;
            }
            wentOffline = false;
            const bool changed = scan(full, dirs);
            if (stopped || mustHalt()) break;
            // A pass the drive's going cut short leaves photos unread, whose
            // trips would look over and go with their names and dismissals;
            // the scan when the drive is back looks at them all.
            if ((changed || full) && !wentOffline) detectTrips();
        }
        if (mustHalt()) break;
        // Nothing is left to scan: faces, in batches that give way to new scans.
        bool faces = false;
        {
            std::lock_guard lock(mutex);
            faces = facesEnabled;
        }
        endedWithFacesOff = !faces;
        if (stopped || !faces || !FaceEngine::shared().model) break;
        // An empty mount point left by an unplugged drive is no library
        // either: its photos would all be marked as looked at, with no faces.
        if (!libraryPresent()) {
            reportOffline();
            break;
        }
        if (facePass() || stopped) break;
    }
    const bool halted = mustHalt();
    {
        std::lock_guard lock(mutex);
        running = false;
    }
    // Also after a run that had no suspect to read: they still wait.
    if (!stopped) pruneWaiting();
    const bool waitForReader = !stopped && suspectsWaitForReader();
    const bool waitForRetry = !stopped && suspectsWaitForRetry();
    if (halt) {
        // Writes fail on a drive that went away, too: that is no full disk.
        if (!libraryPresent()) reportOffline();
        else post([why = *halt](EngineDelegate& d) { d.engineDidHalt(why); });
    } else if (!halted && (waitForReader || waitForRetry)) {
        // Never idle as if all were read: a reader that cannot be started
        // comes back only with an installation, a retry by itself.
        const EngineHalt why = waitForReader ? EngineHalt::readerUnavailable : EngineHalt::readAgainLater;
        post([why](EngineDelegate& d) { d.engineDidHalt(why); });
    }
    report(EngineStatus::idle());
    // After a halt the work waits for the next request (a rescan, a change
    // in the folder): going on at once would only fail again.
    if (halted) return;
    std::lock_guard lock(mutex);
    if (pendingFull || !pendingDirs.empty() || (endedWithFacesOff && facesEnabled)) kick();
}

void EngineCore::recoverJournal() {
    // Thumbnails that a run killed while writing them left aside.
    for (int64_t shard = 0; shard < 256; ++shard) {
        const std::string thumb = paths.thumbURL(shard);
        MediaProcessor::removeUnfinishedWrites(thumb.substr(0, thumb.rfind('/')));
    }
    journal.recover();
    // Suspects whose files were removed, or read since by other means.
    const std::vector<int64_t> all = journal.suspects(), unread = unreadSuspects();
    std::vector<int64_t> settled;
    std::set_difference(all.begin(), all.end(), unread.begin(), unread.end(), std::back_inserter(settled));
    journal.forget(settled);
}

std::vector<int64_t> EngineCore::unreadSuspects() {
    std::vector<int64_t> out;
    try {
        for (int64_t id : journal.suspects())
            if (!db->db().query("SELECT id FROM assets WHERE id=? AND meta_done=0", {id},
                                [](const Row& r) { return r.int64(0); }).empty())
                out.push_back(id);
    } catch (const DBError&) {
        // Unknown: nothing is settled on a guess.
        return journal.suspects();
    }
    return out;
}

void EngineCore::noteWaitingForReader(int64_t id, const std::string& reader, const ReaderProcess::Outcome& outcome) {
    const std::string why = std::string(reader.empty() ? ReaderProcess::fileName : reader) + " " +
                            ReaderProcess::describe(outcome);
    {
        std::lock_guard lock(mutex);
        const bool told = !waitingForReader.empty() && whyWaitingForReader == why;
        waitingForReader.insert(id);
        whyWaitingForReader = why;
        if (told) return;
    }
    std::fprintf(stderr, "vintrelle: the reader %s: files that must be read apart wait for it\n", why.c_str());
}

void EngineCore::noteReaderTookUp(int64_t id) {
    std::lock_guard lock(mutex);
    waitingForReader.erase(id);
    waitingForRetry.erase(id);
}

void EngineCore::noteWaitingForRetry(int64_t id, std::chrono::milliseconds wait) {
    std::lock_guard lock(mutex);
    waitingForReader.erase(id);
    waitingForRetry[id] = std::chrono::steady_clock::now() + wait;
}

void EngineCore::pruneWaiting() {
    {
        std::lock_guard lock(mutex);
        if (waitingForReader.empty() && waitingForRetry.empty()) return;
    }
    // Those read since by other means, or removed, wait no more.
    const std::vector<int64_t> unread = unreadSuspects();
    auto settled = [&](int64_t id) { return !std::binary_search(unread.begin(), unread.end(), id); };
    std::lock_guard lock(mutex);
    std::erase_if(waitingForReader, settled);
    std::erase_if(waitingForRetry, [&](const auto& entry) { return settled(entry.first); });
}

bool EngineCore::suspectsWaitForReader() {
    std::lock_guard lock(mutex);
    return !waitingForReader.empty();
}

bool EngineCore::suspectsWaitForRetry() {
    std::lock_guard lock(mutex);
    retryAt.reset();
    for (const auto& [id, at] : waitingForRetry)
        if (!retryAt || at < *retryAt) retryAt = at;
    return retryAt.has_value();
}

void EngineCore::queueDueRetries() {
    std::vector<int64_t> due;
    {
        std::lock_guard lock(mutex);
        if (!retryDue) return;
        retryDue = false;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& [id, at] : waitingForRetry)
            if (at <= now) due.push_back(id);
    }
    // Their folders as they are now: a suspect moved meanwhile is read
    // where it went.
    std::vector<std::string> files;
    for (int64_t id : due) {
        try {
            db->db().forEachRow("SELECT path FROM assets WHERE id=? AND meta_done=0", {id},
                                [&](const Row& r) { files.push_back(r.text(0)); });
        } catch (const DBError&) {
            // The scan of everything reads it, wherever it is.
            files.push_back(std::string());
        }
    }
    std::lock_guard lock(mutex);
    for (const std::string& file : files) {
        const size_t slash = file.rfind('/');
        if (slash == std::string::npos) pendingFull = true;
        else pendingDirs.insert(file.substr(0, slash));
    }
}

// ---- public interface ------------------------------------------------------

LibraryEngine::LibraryEngine(LibraryPaths paths, std::shared_ptr<LibraryDB> db, std::weak_ptr<EngineDelegate> delegate,
                             MainPoster mainPoster)
    : impl_(std::make_unique<Impl>()) {
    impl_->core = std::make_shared<EngineCore>(std::move(paths), std::move(db), std::move(delegate),
                                               std::move(mainPoster));
    impl_->thread = std::thread([core = impl_->core] { core->threadMain(); });
}

LibraryEngine::~LibraryEngine() {
    auto& core = *impl_->core;
    core.stopped = true;
    core.trips.stop();
    bool ended = false;
    {
        std::unique_lock lock(core.mutex);
        core.exitThread = true;
        core.wake.notify_all();
        ended = core.wake.wait_for(lock, kJoinBound, [&] { return core.threadEnded; });
    }
    if (ended) impl_->thread.join();
    else impl_->thread.detach();
}

void LibraryEngine::start(bool facesEnabled) {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    core.facesEnabled = facesEnabled;
    core.pendingFull = true;
    core.kick();
}

void LibraryEngine::requestScan(bool full, const std::vector<std::string>& changedPaths) {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    if (full) core.pendingFull = true;
    else {
        for (const auto& path : changedPaths) {
            auto rel = core.relative(path);
            if (!rel) {
                core.pendingFull = true;
                continue;
            }
            while (!rel->empty() && rel->back() == '/') rel->pop_back();
            // A change under a hidden folder (the desktop trash below the
            // library, the data folder) is no change to the library; scanning
            // the hidden folder's parent would even take a deleted photo's move
            // into the trash for a move within the library.
            if (hasHiddenComponent(*rel)) continue;
            const size_t slash = rel->rfind('/');
            if (slash == std::string::npos) core.pendingFull = true;
            else if (std::string parent = rel->substr(0, slash); !walkNeverEnters(parent))
                core.pendingDirs.insert(std::move(parent));
        }
    }
    core.kick();
}

void LibraryEngine::setFacesEnabled(bool on) {
    auto& core = *impl_->core;
    std::lock_guard lock(core.mutex);
    core.facesEnabled = on;
    if (on) core.kick();
}

void LibraryEngine::stop() {
    impl_->core->stopped = true;
    impl_->core->trips.stop();
}

std::optional<PlaceName> LibraryEngine::placeName(double lat, double lon) {
    return impl_->core->resolver->resolve(lat, lon);
}

std::shared_ptr<PlaceResolver> LibraryEngine::resolver() const { return impl_->core->resolver; }

bool LibraryEngine::isRunning() const {
    std::lock_guard lock(impl_->core->mutex);
    return impl_->core->running;
}

bool LibraryEngine::waitForTripNaming(std::chrono::milliseconds timeout) {
    return impl_->core->trips.waitForNaming(timeout);
}

void LibraryEngine::setListingCheck(ListingCheck check) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->listingCheck = std::move(check);
}

void LibraryEngine::setReadHook(ReadHook hook) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->readHook = std::move(hook);
}

void LibraryEngine::setReaderPath(std::string path) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->readerPath = std::move(path);
}

void LibraryEngine::setReaderDeadline(std::chrono::milliseconds deadline) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->readerDeadline = deadline;
}

void LibraryEngine::setRetrySpacing(std::chrono::milliseconds spacing) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->retrySpacing = spacing;
}

void LibraryEngine::setFirstScanWait(std::function<void()> wait) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->firstScanWait = std::move(wait);
}

}  // namespace vintrelle
