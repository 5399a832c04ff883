#pragma once
// Trips are derived, never entered: after scans the engine re-detects them
// from the geotagged assets and reconciles the result with the stored rows,
// so that a trip keeps its id, custom title, dismissal and cover. Unnamed
// trips are then named from the places of their stops by a background task
// that runs beside the engine's later work.
//
// detectTrips() runs on the engine thread. The naming task runs on its own
// thread and shares only the database and the resolver; it never refers to
// this object, and it reaches the store through the weakly held delegate.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "Core/Engine/EngineTypes.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Base/MainQueue.h"
#include "Core/Places/PlaceResolver.h"
#include "Core/Places/TripDetector.h"

namespace vintrelle {

class TripPass {
public:
    // A centre that moved farther than this makes the trip a different
    // journey: its place name is worked out again, as it is when the trip
    // stops at other places than before.
    static constexpr double renameDistanceKm = 60.0;

    TripPass(std::shared_ptr<LibraryDB> db, std::shared_ptr<PlaceResolver> resolver, MainPoster poster,
             std::weak_ptr<EngineDelegate> delegate);
    // Cancels every naming task and joins it, each for a bounded time.
    ~TripPass();
    TripPass(const TripPass&) = delete;
    TripPass& operator=(const TripPass&) = delete;

    // Detects trips, stores the result, tells the store, starts naming.
    void detectTrips();

    // The library is closing: cancels the naming task without waiting, and
    // no later detection starts another.
    void stop();

    // For tests and headless tools: waits until no naming task is running.
    bool waitForNaming(std::chrono::milliseconds timeout);

    // Stops of the trips of the latest detection, by trip id.
    std::map<int64_t, std::vector<TripStop>> tripStops() const;

private:
    struct Task;
    void nameTrips();
    void cancelNaming();  // caller holds mutex_

    const std::shared_ptr<LibraryDB> db_;
    const std::shared_ptr<PlaceResolver> resolver_;
    const MainPoster poster_;
    const std::weak_ptr<EngineDelegate> delegate_;

    mutable std::mutex mutex_;
    bool stopped_ = false;
    std::map<int64_t, std::vector<TripStop>> tripStops_;
    // The current task last; cancelled ones may still finish the trip they are on.
    std::vector<std::shared_ptr<Task>> tasks_;
};

}  // namespace vintrelle
