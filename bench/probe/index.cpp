// vintrelle-probe index DIR [--faces on|off]: opens a folder as the
// application does, through the library store with its engine and watcher,
// waits until the engine is idle and the trips are named, and prints what
// this run indexed. The index stays in the folder's data folder. A run that
// leaves files unread (the index damaged, its disk full or unwritable, or
// files waiting for a reader that cannot be started) prints {"error": WHY}
// instead and exits 1, as does one that leaves files waiting to be read
// again later (their reading was cut short).

#include <QElapsedTimer>
#include <QTimer>

#include <chrono>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "StoreProbe.h"

namespace {

using namespace vintrelle;

int index(const probe::Args& argsIn) {
    probe::Args args = argsIn;
    const std::string faces = probe::takeOption(args, "--faces", "off");
    if (args.size() != 1 || (faces != "on" && faces != "off"))
        return probe::fail("usage: vintrelle-probe index DIR [--faces on|off]");
    probe::QtApp qt;
    MediaProcessor::initialize();
    QElapsedTimer timer;
    timer.start();
    std::string error;
    auto store = probe::openStore(args[0], error);
    if (!store) return probe::fail(error);
    store->start(faces == "on");
    // Idle with no loop left and nothing still queued for the store. The
    // wait sleeps until the store's next event, or the tick: a main thread
    // polling without pause would take a core from the readers it times.
    QTimer tick;
    tick.start(100);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (store->isOffline() || store->halt() || store->isDamaged()) break;
        if (store->status() == EngineStatus::idle() && !store->engine()->isRunning()) {
            // Trips are named beside the engine's work and may still be going.
            store->engine()->waitForTripNaming(std::chrono::minutes(10));
            QCoreApplication::processEvents();
            if (store->status() == EngineStatus::idle() && !store->engine()->isRunning()) break;
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (store->isOffline()) {
        store->shutdown();
        return probe::fail("the library folder is offline");
    }
    // Indexing stopped with work left: the index is not the library's.
    if (store->isDamaged() || store->halt()) {
        const std::string reason =
            store->isDamaged()                              ? "The index is damaged."
            : store->halt() == EngineHalt::diskFull          ? "The disk holding the index is full."
            : store->halt() == EngineHalt::readerUnavailable ? "Vintrelle\u2019s photo reader is missing: some photos wait to be read."
            : store->halt() == EngineHalt::readAgainLater
                ? "Some photos wait to be read again: reading them was cut short (killed or past its deadline)."
                : "The disk holding the index can\u2019t be written.";
        store->shutdown();
        return probe::fail(reason);
    }

    int64_t photos = 0, videos = 0, live = 0, failed = 0;
    for (const Asset& a : store->assets()) {
        (a.kind == MediaKind::photo ? photos : videos) += 1;
        if (a.liveVideo) ++live;
        if (a.thumbState == 2) ++failed;
    }
    const int64_t total = photos + videos;
    probe::Json out{{"assets", total},   {"photos", photos},   {"videos", videos},
                    {"live", live},      {"failed", failed},   {"seconds", seconds},
                    {"files_per_s", seconds > 0 ? double(total) / seconds : 0.0}};
    int64_t faceCount = 0;
    try {
        faceCount = store->db().db().scalarInt("SELECT COUNT(*) FROM faces").value_or(0);
    } catch (const DBError&) {
    }
    out["people"] = store->persons().size();
    out["faces"] = faceCount;
    out["trips"] = store->trips().size();
    store->shutdown();
    probe::emit(out);
    return 0;
}

probe::Register reg("index", "DIR [--faces on|off]   (exit 1 and {\"error\": WHY} when files are left unread)", index);

}  // namespace
