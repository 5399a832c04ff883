#include "Core/Engine/TripPass.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <optional>
#include <utility>

#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

using StopMap = std::map<int64_t, std::vector<TripStop>>;

std::optional<Trip> findTrip(const std::vector<Trip>& trips, int64_t id) {
    for (const Trip& t : trips)
        if (t.id == id) return t;
    return std::nullopt;
}

// Reads the row again and changes only what the pass owns, in one
// transaction: a rename, dismissal or cover the user made since the row was
// first read survives. Returns whether the row was written.
template <class Change>
bool rewriteTrip(LibraryDB& db, int64_t id, Change&& change) {
    bool wrote = false;
    try {
        db.db().transaction([&] {
            auto current = findTrip(db.loadTripsChecked(), id);
            if (!current || !change(*current)) return;
            db.updateTrip(*current);
            wrote = true;
        });
    } catch (const DBError&) {
        return false;
    }
    return wrote;
}

void postTripsUpdated(const MainPoster& poster, const std::weak_ptr<EngineDelegate>& delegate) {
    if (!poster) return;
    poster([delegate] {
        if (auto d = delegate.lock()) d->engineDidUpdateTrips();
    });
}

// The position of the stop holding most of the trip's photos; the first
// such stop when several hold as many.
LatLon centreOf(const TripCandidate& c) {
    const TripStop* best = &c.stops.front();
    for (const TripStop& s : c.stops)
        if (s.count > best->count) best = &s;
    return {best->lat, best->lon};
}

// Whether two detections of a trip stopped at the same places in the same
// order: each stop stands for the cell of the detector's grid it lies in.
bool sameStops(const std::vector<TripStop>& a, const std::vector<TripStop>& b) {
    auto cell = [](const TripStop& s) {
        return std::pair{std::floor(s.lat / TripDetector::stopCellDegrees),
                         std::floor(s.lon / TripDetector::stopCellDegrees)};
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](const TripStop& x, const TripStop& y) { return cell(x) == cell(y); });
}

struct NamingRun {
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<PlaceResolver> resolver;
    MainPoster poster;
    std::weak_ptr<EngineDelegate> delegate;
    StopMap stops;

    // The place of one stop, when every sample of it could be named.
    std::optional<PlaceName> placeOf(const TripStop& stop, std::stop_token st) const {
        std::vector<LatLon> samples = stop.samples;
        if (samples.empty()) samples.push_back({stop.lat, stop.lon});
        std::vector<PlaceName> names;
        for (const LatLon& s : samples)
            if (auto name = resolver->resolve(s.lat, s.lon, st)) names.push_back(*name);
        if (names.size() != samples.size()) return std::nullopt;
        return TripDetector::merge(names);
    }

    void operator()(std::stop_token st) const {
        resolver->resetFailures();
        std::vector<Trip> trips = db->loadTrips();
        std::stable_sort(trips.begin(), trips.end(), [](const Trip& a, const Trip& b) { return a.start > b.start; });
        for (const Trip& trip : trips) {
            if (trip.named) continue;
            if (st.stop_requested()) return;
            auto found = stops.find(trip.id);
            std::vector<TripStop> tripStops =
                found != stops.end() ? found->second : std::vector<TripStop>{TripStop{trip.lat, trip.lon, 1, {}}};
            std::vector<PlaceName> places;
            for (const TripStop& stop : tripStops) {
                if (auto place = placeOf(stop, st)) places.push_back(*place);
            }
            if (places.size() != tripStops.size()) continue;
            auto title = TripDetector::title(places);
            if (!title) continue;
            // Checked again under the database lock: once a newer detection
            // has cancelled this run, nothing of it reaches the table.
            bool wrote = rewriteTrip(*db, trip.id, [&](Trip& t) {
                if (st.stop_requested()) return false;
                t.autoTitle = title->title;
                t.subtitle = title->subtitle;
                t.named = true;
                return true;
            });
            if (wrote) postTripsUpdated(poster, delegate);
        }
    }
};

}  // namespace

struct TripPass::Task {
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::jthread thread;

    bool waitDone(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state->mutex);
        return state->cv.wait_until(lock, deadline, [&] { return state->done; });
    }
    bool isDone() {
        std::lock_guard lock(state->mutex);
        return state->done;
    }
};

TripPass::TripPass(std::shared_ptr<LibraryDB> db, std::shared_ptr<PlaceResolver> resolver, MainPoster poster,
                   std::weak_ptr<EngineDelegate> delegate)
    : db_(std::move(db)), resolver_(std::move(resolver)), poster_(std::move(poster)), delegate_(std::move(delegate)) {}

TripPass::~TripPass() {
    std::vector<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        tasks.swap(tasks_);
    }
    for (auto& t : tasks) t->thread.request_stop();
    // A geocoder request in flight completes first; one that hangs must not
    // hold up closing the library, and the task owns everything it uses.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& t : tasks) {
        if (t->waitDone(deadline))
            t->thread.join();
        else
            t->thread.detach();
    }
}

void TripPass::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cancelNaming();
}

void TripPass::cancelNaming() {
    for (auto& t : tasks_) t->thread.request_stop();
}

bool TripPass::waitForNaming(std::chrono::milliseconds timeout) {
    std::vector<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks = tasks_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto& t : tasks)
        if (!t->waitDone(deadline)) return false;
    return true;
}

StopMap TripPass::tripStops() const {
    std::lock_guard lock(mutex_);
    return tripStops_;
}

void TripPass::detectTrips() {
    // A failed read must not look like a library without trips: matching
    // would then delete every trip with its title, dismissal and cover, or
    // insert every trip a second time.
    //
    // Every photo whose date and place the index holds counts, read in this
    // run or still waiting to be read again (after the index was made again,
    // or while another program rewrites it): leaving those out would end
    // their trips, with the title and dismissal the user gave them.
    std::vector<GeoPoint> points;
    std::vector<Trip> remaining;
    try {
        db_->db().forEachRow("SELECT taken, lat, lon FROM assets WHERE hidden=0 AND lat IS NOT NULL AND lon IS NOT NULL",
                             {}, [&](const Row& r) { points.push_back({r.dbl(0), r.dbl(1), r.dbl(2)}); });
        remaining = db_->loadTripsChecked();
    } catch (const DBError&) {
        return;
    }
    {
        // From here on an older naming run writes nothing, so it cannot set a
        // name on a trip whose centre this detection moves.
        std::lock_guard lock(mutex_);
        cancelNaming();
    }

    std::vector<TripCandidate> candidates = TripDetector::detect(std::move(points));

    StopMap newStops, oldStops;
    {
        std::lock_guard lock(mutex_);
        oldStops = tripStops_;
    }
    for (const TripCandidate& c : candidates) {
        if (c.stops.empty()) continue;
        LatLon centre = centreOf(c);

        std::optional<size_t> match;
        double bestOverlap = 0;
        for (size_t i = 0; i < remaining.size(); ++i) {
            const Trip& t = remaining[i];
            double overlap = std::min(t.end, c.end) - std::max(t.start, c.start);
            if (overlap >= 0 && overlap >= bestOverlap) {
                match = i;
                bestOverlap = overlap;
            }
        }

        if (match) {
            Trip old = remaining[*match];
            remaining.erase(remaining.begin() + long(*match));
            const bool spanChanged = old.start != c.start || old.end != c.end;
            // A trip that lost or gained a place (split by photos at home, or
            // joined by photos elsewhere) is named again, or it would keep
            // the title and places of a journey it no longer is. Its stops
            // are known from the previous detection while the library stays
            // open; at the first one after opening, a changed span is taken
            // as a sign that they may have changed too.
            const auto before = oldStops.find(old.id);
            const bool placesChanged =
                before != oldStops.end() ? !sameStops(before->second, c.stops) : spanChanged;
            const bool moved = haversineKm(old.lat, old.lon, centre.lat, centre.lon) > renameDistanceKm;
            if (spanChanged || placesChanged || moved) {
                rewriteTrip(*db_, old.id, [&](Trip& t) {
                    t.start = c.start;
                    t.end = c.end;
                    t.lat = centre.lat;
                    t.lon = centre.lon;
                    if (moved || placesChanged) t.named = false;
                    return true;
                });
            }
            newStops[old.id] = c.stops;
        } else {
            Trip t;
            t.autoTitle = TripDetector::autoTitle(c.start);
            t.start = c.start;
            t.end = c.end;
            t.lat = centre.lat;
            t.lon = centre.lon;
            int64_t id = db_->insertTrip(t);
            if (id > 0) newStops[id] = c.stops;
        }
    }

    for (const Trip& t : remaining) {
        try {
            db_->db().run("DELETE FROM trips WHERE id=?", {t.id});
        } catch (const DBError&) {
        }
    }

    {
        std::lock_guard lock(mutex_);
        tripStops_ = std::move(newStops);
    }
    postTripsUpdated(poster_, delegate_);
    nameTrips();
}

void TripPass::nameTrips() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    cancelNaming();
    std::erase_if(tasks_, [](const std::shared_ptr<Task>& t) {
        if (!t->isDone()) return false;
        t->thread.join();
        return true;
    });
    auto task = std::make_shared<Task>();
    NamingRun run{db_, resolver_, poster_, delegate_, tripStops_};
    task->thread = std::jthread([run = std::move(run), state = task->state](std::stop_token st) {
        struct MarkDone {
            Task::State& s;
            ~MarkDone() {
                std::lock_guard lock(s.mutex);
                s.done = true;
                s.cv.notify_all();
            }
        } mark{*state};
        run(st);
    });
    tasks_.push_back(std::move(task));
}

}  // namespace vintrelle
