#pragma once
// The engine's private state and passes, shared by LibraryEngine.cpp,
// Scanner.cpp, ProcessingPass.cpp and LivePhotos.cpp. Not for other users.

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "Core/Engine/EngineTypes.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Engine/LibraryEngine.h"
#include "Core/Engine/ReadJournal.h"
#include "Core/Engine/ReaderProcess.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Base/MainQueue.h"
#include "Core/Places/PlaceResolver.h"
#include "Core/Engine/TripPass.h"

namespace vintrelle {

struct FoundFile {
    std::string path;
    MediaKind kind = MediaKind::photo;
    int64_t size = 0;
    double mtime = 0;
};

struct WorkItem {
    int64_t id = 0;
    std::string path;
    MediaKind kind = MediaKind::photo;
    double mtime = 0;
    int64_t size = 0;  // as the scan saw it
};

// What one walk of a folder found, and where it could not look.
struct Enumeration {
    std::vector<FoundFile> files;
    // Photos and videos of no bytes: being written (truncated first, as a
    // copy over a file, a restore or an editor's save does), or emptied.
    // A row of the index for one of them is kept as it is; none is made.
    std::vector<std::string> empty;
    // Relative paths of folders whose listing failed, and of entries that could
    // not be examined; what the index knows below them must not count as gone.
    std::vector<std::string> failed;
    // Folders listed to the end, and among them those whose entries kept
    // changing while they were walked.
    std::unordered_set<std::string> walked;
    std::unordered_set<std::string> unsettled;
};

// Walks directory recursively without following symbolic links, skipping
// hidden names and the insides of package folders. Names are bytes, UTF-8 or not.
// canList (when set) is asked before each folder is opened; false counts as a
// failed listing. Folders that change while they are walked are listed again.
Enumeration enumerate(const std::string& directory, const std::string& prefix,
                      const LibraryEngine::ListingCheck& canList = {});

// True when path (relative, slash-separated) lies in or below a failed entry.
bool underFailed(const std::string& path, const std::vector<std::string>& failed);
// True when the listing that should have shown path (that of the deepest
// folder above it that was walked) changed while it was read.
bool underUnsettled(const std::string& path, const Enumeration& e);

// Whether a directory name marks a bundle from another platform whose inside
// is not the user's own photo folder.
bool isPackageName(std::string_view name);

// Local wall-clock seconds of a true instant (seconds since 1970, UTC).
double wallClockOf(double utcSeconds);

// A file's content modification time as the scan records it.
inline double modificationTime(const struct stat& st) {
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
}

// Whether two modification times are the same file's: some file systems
// keep coarse times or give them rounded one way here and another there.
inline bool sameModificationTime(double a, double b) { return std::fabs(a - b) <= 1.0; }

struct EngineCore : std::enable_shared_from_this<EngineCore> {
    EngineCore(LibraryPaths paths, std::shared_ptr<LibraryDB> db, std::weak_ptr<EngineDelegate> delegate,
               MainPoster poster);

    const LibraryPaths paths;
    const std::shared_ptr<LibraryDB> db;
    const std::weak_ptr<EngineDelegate> delegate;
    const MainPoster poster;
    std::string rootReal;
    // The library folder's device when it was first seen (0 until then): an
    // empty folder on another device is the mount point of an absent drive.
    std::atomic<dev_t> rootDevice{0};
    // The library folder's device and inode since it was last seen coming
    // back (0: not known): another folder put in its place is not this library.
    std::atomic<dev_t> knownDevice{0};
    std::atomic<ino_t> knownInode{0};

    // Guarded by mutex; held only for short stretches.
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool pendingFull = false;
    std::set<std::string> pendingDirs;
    bool running = false;
    bool exitThread = false;
    bool threadEnded = false;
    bool facesEnabled = true;
    LibraryEngine::ListingCheck listingCheck;
    LibraryEngine::ReadHook readHook;
    std::string readerPath;  // the reader of suspects (ReaderProcess)
    std::chrono::milliseconds readerDeadline;
    std::function<void()> firstScanWait;

    std::atomic<bool> stopped{false};
    bool indexChecked = false;      // engine thread only
    bool journalRecovered = false;  // engine thread only
    bool wentOffline = false;       // engine thread: the last scan found the library away
    // What ends a run early: the database's fault counts when it began (only
    // later failures count), the first file a worker failed to write, and the
    // reason once one is known (engine thread).
    DBFaults faultsAtStart;
    std::atomic<int> fileWriteError{0};
    std::optional<EngineHalt> halt;
    // Suspects left waiting because no reader would read them (none could be
    // started, or it refused the request), each until a reader takes it up:
    // while any of them is unread, every run ends saying so. A reader that
    // serves one suspect says nothing of another that found none. Guarded by
    // mutex.
    std::set<int64_t> waitingForReader;
    std::string whyWaitingForReader;  // as last said
    // Suspects whose reading was cut short, each until its next try is due
    // (see ReadJournal): while any of them is unread, every run ends saying
    // so, and the engine's thread starts a run of its own for them at
    // `retryAt`; `retryDue` tells that run to look them up. Guarded by mutex.
    std::chrono::milliseconds retrySpacing;
    std::map<int64_t, std::chrono::steady_clock::time_point> waitingForRetry;
    std::optional<std::chrono::steady_clock::time_point> retryAt;
    bool retryDue = false;
    ReadJournal journal;
    const std::shared_ptr<PlaceResolver> resolver;
    TripPass trips;

    // Requests
    void kick();  // caller holds mutex
    std::optional<std::string> relative(const std::string& path) const;

    // Engine thread
    void threadMain();
    void drain();
    // True when the run must end now: the index is damaged, or writing it (or
    // a thumbnail) failed since the run began. Sets `halt` for the latter.
    bool mustHalt();
    // A worker could not write a file into the data folder.
    void noteWriteError(int error);
    // Once, before the first read: takes up what a run that ended abnormally
    // left (files in flight, thumbnails half written).
    void recoverJournal();
    // Suspects whose files are in the index, still unread.
    std::vector<int64_t> unreadSuspects();
    // A suspect waits for a reader: says why (once while the reason holds).
    void noteWaitingForReader(int64_t id, const std::string& reader, const ReaderProcess::Outcome& outcome);
    // A reader took the suspect up, however its reading ended.
    void noteReaderTookUp(int64_t id);
    // Drops from the waiting suspects those read since by other means, or
    // removed.
    void pruneWaiting();
    // Whether an unread suspect waits for a reader.
    bool suspectsWaitForReader();
    // A suspect waits `wait` before it is read again.
    void noteWaitingForRetry(int64_t id, std::chrono::milliseconds wait);
    // Whether a suspect waits to be read again; arms `retryAt` for the first
    // of them (or disarms it).
    bool suspectsWaitForRetry();
    // At `retryAt`: the folders of the suspects whose time has come are
    // queued for a scan, which reads them.
    void queueDueRetries();
    bool scan(bool full, const std::set<std::string>& dirs);
    void process(const std::vector<WorkItem>& items);
    void pairLivePhotos();
    void detectTrips();
    bool facePass();  // false when it gave way to other work

    // Reports: posted to the main thread in order, never awaited; the delegate
    // is looked up again there, so a report after the store closed does nothing.
    void report(const EngineStatus& status);
    void post(std::function<void(EngineDelegate&)> call);

    // The library folder is there, is the folder the library opened on (not
    // another one put in its place) and is no empty mount point of an
    // absent drive, and the index open is still the one at its path.
    bool libraryPresent();
    bool looksUnmounted() const;
    // Tells the store the library is away (engine thread), and remembers it
    // for the rest of the scan.
    void reportOffline();
};

}  // namespace vintrelle
