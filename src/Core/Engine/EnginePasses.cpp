// The engine's side of the trip and face passes: what each pass may ask of
// the running engine.

#include "Core/Engine/EngineCore.h"
#include "Core/Engine/FacePass.h"

namespace vintrelle {

void EngineCore::detectTrips() { trips.detectTrips(); }

bool EngineCore::facePass() {
    FacePassHooks hooks;
    hooks.stopped = [this] { return stopped.load(); };
    hooks.shouldGiveWay = [this] {
        std::lock_guard lock(mutex);
        return pendingFull || !pendingDirs.empty() || !facesEnabled;
    };
    hooks.report = [this](const EngineStatus& status) { report(status); };
    hooks.peopleUpdated = [this] { post([](EngineDelegate& d) { d.engineDidUpdatePeople(); }); };
    hooks.libraryGone = [this] { return !libraryPresent(); };
    hooks.writeFailed = [this](int error) { noteWriteError(error); };
    return FacePass(paths, db, std::move(hooks)).run();
}

}  // namespace vintrelle
