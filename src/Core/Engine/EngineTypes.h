#pragma once
// What the indexing engine reports, and how it reaches the store.

#include <cstdint>
#include <vector>

#include "Core/Index/Models.h"

namespace vintrelle {

struct EngineStatus {
    enum class Kind { scanning, indexing, faces, idle };
    Kind kind = Kind::idle;
    int done = 0;
    int total = 0;

    static EngineStatus scanning() { return {Kind::scanning, 0, 0}; }
    static EngineStatus indexing(int done, int total) { return {Kind::indexing, done, total}; }
    static EngineStatus faces(int done, int total) { return {Kind::faces, done, total}; }
    static EngineStatus idle() { return {Kind::idle, 0, 0}; }

    // Payloads count only for the two cases that have one.
    bool operator==(const EngineStatus& o) const {
        if (kind != o.kind) return false;
        if (kind == Kind::indexing || kind == Kind::faces) return done == o.done && total == o.total;
        return true;
    }
};

// Why a run ended with work left undone. The work is taken up again by the
// next scan.
enum class EngineHalt {
    diskFull,           // no room left on the disk holding the index: the run stopped
    unwritable,         // that disk refused the write for another reason: the run stopped
    // no reader of suspects could be started, or it refused the request:
    // those files wait, the rest was done
    readerUnavailable,
    // a suspect's reading was cut short (its reader killed, as the
    // out-of-memory killer does, or past its deadline): it waits some
    // minutes to be read again, and the engine goes on by itself then
    readAgainLater,
};

// Implemented by the store. Every call arrives on the main thread, and only
// while the store still exists.
class EngineDelegate {
public:
    virtual ~EngineDelegate() = default;
    virtual void engineDidUpsert(const std::vector<Asset>& assets) = 0;
    virtual void engineDidRemove(const std::vector<int64_t>& ids) = 0;
    virtual void engineDidUpdateTrips() = 0;
    virtual void engineDidUpdatePeople() = 0;
    // Albums gained members: photos that came back took their places again.
    virtual void engineDidUpdateAlbums() {}
    virtual void engineDidChangeStatus(const EngineStatus& status) = 0;
    virtual void engineDidGoOffline() = 0;
    // The run ended with work left undone; followed by idle.
    virtual void engineDidHalt(EngineHalt why) = 0;
};

}  // namespace vintrelle
