// vintrelle-probe index DIR [--faces on|off]: indexes a folder headless with
// a full scan and prints what this run indexed. The index stays in the
// folder's data folder.

#include <chrono>
#include <unordered_map>

#include "Core/LibraryEngine.h"
#include "Core/MainQueue.h"
#include "Core/MediaProcessor.h"
#include "Probe.h"

namespace {

using namespace vintrelle;

struct CountingDelegate : EngineDelegate {
    std::unordered_map<int64_t, Asset> assets;
    bool idle = false;
    bool offline = false;

    void engineDidUpsert(const std::vector<Asset>& list) override {
        for (const auto& a : list) assets[a.id] = a;
    }
    void engineDidRemove(const std::vector<int64_t>& ids) override {
        for (int64_t id : ids) assets.erase(id);
    }
    void engineDidUpdateTrips() override {}
    void engineDidUpdatePeople() override {}
    void engineDidChangeStatus(const EngineStatus& s) override { idle = s.kind == EngineStatus::Kind::idle; }
    void engineDidGoOffline() override { offline = true; }
};

int index(const probe::Args& argsIn) {
    probe::Args args = argsIn;
    const std::string faces = probe::takeOption(args, "--faces", "off");
    if (args.size() != 1 || (faces != "on" && faces != "off"))
        return probe::fail("usage: vintrelle-probe index DIR [--faces on|off]");

    const auto started = std::chrono::steady_clock::now();
    MediaProcessor::initialize();
    LibraryPaths paths = LibraryPaths::resolve(args[0]);
    paths.prepare();
    std::shared_ptr<LibraryDB> db;
    try {
        db = std::make_shared<LibraryDB>(paths.databasePath());
    } catch (const DBError& e) {
        return probe::fail(e.message);
    }
    auto delegate = std::make_shared<CountingDelegate>();
    ManualMainQueue mainQueue;
    {
        LibraryEngine engine(paths, db, delegate, mainQueue.poster());
        engine.start(faces == "on");
        for (;;) {
            mainQueue.waitAndDrain(100);
            if (delegate->idle && !engine.isRunning() && mainQueue.drain() == 0) break;
        }
        // Trips are named beside the engine's work and may still be going.
        engine.waitForTripNaming(std::chrono::minutes(10));
        mainQueue.drain();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (delegate->offline) return probe::fail("the library folder is offline");
    int64_t photos = 0, videos = 0, live = 0, failed = 0;
    for (const auto& [id, a] : delegate->assets) {
        (a.kind == MediaKind::photo ? photos : videos) += 1;
        if (a.liveVideo) ++live;
        if (a.thumbState == 2) ++failed;
    }
    const int64_t total = photos + videos;
    probe::Json out{{"assets", total},   {"photos", photos},   {"videos", videos},
                    {"live", live},      {"failed", failed},   {"seconds", seconds},
                    {"files_per_s", seconds > 0 ? double(total) / seconds : 0.0}};
    auto count = [&](const char* sql) -> int64_t {
        try {
            return db->db().scalarInt(sql).value_or(0);
        } catch (const DBError&) {
            return 0;
        }
    };
    out["people"] = count("SELECT COUNT(*) FROM persons");
    out["faces"] = count("SELECT COUNT(*) FROM faces");
    out["trips"] = count("SELECT COUNT(*) FROM trips");
    probe::emit(out);
    return 0;
}

probe::Register reg("index", "DIR [--faces on|off]", index);

}  // namespace
