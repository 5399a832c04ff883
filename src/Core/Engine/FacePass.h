#pragma once
// The engine's lowest-ranked work: finds the faces of photos not looked at
// yet, a batch at a time, stores each face with its avatar crop, marks the
// photos done, and groups the faces into people now and then. Between
// batches it gives way to scans, to the face switch going off and to the
// engine stopping.
//
// Runs on the engine thread; only the analysis of a batch runs on workers
// of its own.

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "Core/Engine/EngineTypes.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

// What the pass needs of the engine that runs it.
struct FacePassHooks {
    std::function<bool()> stopped;        // the library is closing
    std::function<bool()> shouldGiveWay;  // a scan is pending, or face analysis was switched off
    std::function<void(const EngineStatus&)> report;
    std::function<void()> peopleUpdated;  // persons or faces changed: the store reloads its people
    // The library folder is gone, or only the empty mount point of an
    // unplugged drive is left of it. Unset: the folder is gone when it is not
    // a directory.
    std::function<bool()> libraryGone;
    // A face picture could not be written into the data folder (the
    // system's errno); the pass ends without saving the batch.
    std::function<void(int error)> writeFailed;
};

class FacePass {
public:
    static constexpr int batchSize = 18;
    // Photos analysed at once, each by a worker on networks of its own.
    static int workers();
    static constexpr int maxPixel = 1600;
    static constexpr int clusterEvery = 180;
    static constexpr double cropQuality = 0.82;

    using Analyzer = std::function<std::vector<DetectedFace>(const Image&)>;
    using Clusterer = std::function<bool(LibraryDB&)>;

    // An empty analyzer or clusterer means the shared face analyser and the
    // face clusterer.
    FacePass(LibraryPaths paths, std::shared_ptr<LibraryDB> db, FacePassHooks hooks, Analyzer analyzer = {},
             Clusterer clusterer = {});

    // True when the pass is finished (nothing left, the engine stopped, or
    // the index cannot be written); false when it gave way.
    bool run();

    static const char* const pendingCountSQL;
    // Meta key: faces with a smaller row id have prints of an earlier face
    // analyser, kept because someone in the library had a name.
    static const char* const olderPrintsKey;

private:
    struct Face;
    struct Result;
    struct Photo;
    class Workers;

    bool runBatches(bool& gaveWay);
    // Up to a batch of pending photos, none of those the workers hold nor
    // any found changed during this pass.
    std::vector<Photo> nextBatch(const Workers& workers);
    Result analyseOne(const Photo& photo);
    std::vector<DetectedFace> analyse(const Image& image);
    // Tells peopleUpdated when faces that belonged to people were dropped.
    bool save(const std::vector<Result>& results);
    void cluster();
    bool rootIsDirectory() const;
    std::string stagingPath();
    void removeLeftoverStaging();

    const LibraryPaths paths_;
    const std::shared_ptr<LibraryDB> db_;
    const FacePassHooks hooks_;
    Analyzer analyzer_;
    Clusterer clusterer_;
    std::function<void()> releaseAnalyser_;  // set for the shared analyser only
    bool analysedAny_ = false;
    int64_t olderPrintsBelow_ = 0;
    std::unordered_set<int64_t> changedMeanwhile_;
};

}  // namespace vintrelle
