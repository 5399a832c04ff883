#pragma once
// Keeps the index of one open library in step with its folder: one work loop
// on the engine's own thread (scans, then trips, then faces, then idle);
// per-file work in a bounded worker set; every result posted to the main
// thread through a weakly held delegate.
//
// Public contract (implementation in LibraryEngine.cpp):
//   LibraryEngine(paths, db, delegate, mainPoster)
//   start(facesEnabled)            sets the face switch and requests the first full scan, atomically
//   requestScan(full, changedPaths) absolute paths as the watcher reports them; never waits
//   setFacesEnabled(on)
//   stop()                          never waits; the loop ends at its next check
//   placeName(lat, lon)             blocking lookup through the place resolver (call off the main thread)
//   resolver()                      the place resolver, shared, so a lookup may outlive the engine
//   ~LibraryEngine()                stops and joins its threads with a bound

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Engine/EngineTypes.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"
#include "Core/Base/MainQueue.h"

namespace vintrelle {

class PlaceResolver;

class LibraryEngine {
public:
    LibraryEngine(LibraryPaths paths, std::shared_ptr<LibraryDB> db, std::weak_ptr<EngineDelegate> delegate,
                  MainPoster mainPoster);
    ~LibraryEngine();
    LibraryEngine(const LibraryEngine&) = delete;
    LibraryEngine& operator=(const LibraryEngine&) = delete;

    void start(bool facesEnabled);
    void requestScan(bool full, const std::vector<std::string>& changedPaths);
    void setFacesEnabled(bool on);
    void stop();
    std::optional<PlaceName> placeName(double lat, double lon);
    // A screen's lookup holds the resolver itself: the library may close
    // (and the engine go) while it runs; answers then come from no cache
    // and the screen drops them.
    std::shared_ptr<PlaceResolver> resolver() const;

    // True while a work loop exists (for tests and headless tools).
    bool isRunning() const;
    // Waits until no trip-naming task runs (for tests and headless tools).
    bool waitForTripNaming(std::chrono::milliseconds timeout);

    // Asked with a folder's absolute path before the scan lists it; false
    // counts as a failed listing. Tests use it: they run as root, which can
    // list any folder.
    using ListingCheck = std::function<bool(const std::string& directory)>;
    void setListingCheck(ListingCheck check);

    // Called on the reading worker with a file's absolute path just before
    // it is read. Tests use it to stand in for a decoder that crashes.
    using ReadHook = std::function<void(const std::string& path)>;
    void setReadHook(ReadHook hook);

    // The executable that reads files suspected of crashing their reader,
    // each in a process of its own (by default the reader installed beside
    // this program). Tests put a stand-in in front of it that crashes or
    // dawdles on chosen files; the hook above never runs for those reads.
    void setReaderPath(std::string path);
    // How long it may take over one file (tests shorten it).
    void setReaderDeadline(std::chrono::milliseconds deadline);
    // How long a file whose reading was cut short waits before it is read
    // again (tests shorten it).
    void setRetrySpacing(std::chrono::milliseconds spacing);

    // Called on the engine's thread before its first scan, which begins once
    // it returns. The store waits there for the folder watcher's watches: a
    // file made while they are being added is then found by the scan or
    // reported by the watcher, never missed by both.
    void setFirstScanWait(std::function<void()> wait);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vintrelle
