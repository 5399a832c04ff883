#pragma once
// What the benchmarks of the engine's scans share: a delegate that counts
// what the engine reports, and a reader of the index beside the engine, as
// the window's queries on the main thread are, that keeps its longest wait.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Index/LibraryDB.h"

namespace benchengine {

using namespace vintrelle;
using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Counter : EngineDelegate {
    std::atomic<size_t> upserted{0};
    std::atomic<size_t> removed{0};
    std::atomic<bool> idle{false};
    void engineDidUpsert(const std::vector<Asset>& a) override { upserted += a.size(); }
    void engineDidRemove(const std::vector<int64_t>& ids) override { removed += ids.size(); }
    void engineDidUpdateTrips() override {}
    void engineDidUpdatePeople() override {}
    void engineDidChangeStatus(const EngineStatus& s) override { idle = s.kind == EngineStatus::Kind::idle; }
    void engineDidGoOffline() override {}
    void engineDidHalt(EngineHalt) override {}
};

// Reads one row of ids 1 to `rows` in turn every 2 ms until stopped.
class ReaderBeside {
public:
    ReaderBeside(LibraryDB& db, int64_t rows)
        : thread_([this, &db, rows] {
              int64_t id = 1;
              while (reading_) {
                  const auto t0 = Clock::now();
                  db.db().scalarInt("SELECT favorite FROM assets WHERE id=?", {id});
                  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
                  longestUs_ = std::max<int64_t>(longestUs_, us);
                  id = id % rows + 1;
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~ReaderBeside() { stop(); }
    // Stops it, and returns its longest wait in milliseconds.
    double stop() {
        reading_ = false;
        if (thread_.joinable()) thread_.join();
        return double(longestUs_.load()) / 1000;
    }

private:
    std::atomic<bool> reading_{true};
    std::atomic<int64_t> longestUs_{0};
    std::thread thread_;
};

}  // namespace benchengine
