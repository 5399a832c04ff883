#include "Core/Engine/FacePass.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Core/Faces/FaceClusterer.h"
#include "Core/Media/MediaProcessor.h"

namespace fs = std::filesystem;

namespace vintrelle {

namespace {

// Crops are encoded by the workers into files under this prefix in the face
// folder, and take their final name (the face's row id) only once that row
// is committed.
constexpr std::string_view kStagingPrefix = ".incoming-";

void removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

}  // namespace

// Every worker finds a set of networks of its own in the shared analyser.
static_assert(FacePass::inFlight <= FaceEngine::networkSets);

const char* const FacePass::pendingCountSQL =
    "SELECT COUNT(*) FROM assets WHERE kind=0 AND meta_done=1 AND faces_done=0 AND thumb=1";

struct FacePass::Face {
    double x = 0, y = 0, w = 0, h = 0;
    double quality = 0;
    std::vector<float> embedding;
    std::string staged;  // the encoded crop; empty when the face has none
};

struct FacePass::Result {
    int64_t assetID = 0;
    std::vector<Face> faces;
    int writeError = 0;  // a crop could not be written

    void discardCrops() const {
        for (const Face& f : faces)
            if (!f.staged.empty()) removeQuietly(f.staged);
    }
};

FacePass::FacePass(LibraryPaths paths, std::shared_ptr<LibraryDB> db, FacePassHooks hooks, Analyzer analyzer,
                   Clusterer clusterer)
    : paths_(std::move(paths)),
      db_(std::move(db)),
      hooks_(std::move(hooks)),
      analyzer_(std::move(analyzer)),
      clusterer_(std::move(clusterer)) {
    if (!analyzer_) analyzer_ = [](const Image& image) { return FaceEngine::shared().analyze(image); };
    if (!clusterer_) clusterer_ = [](LibraryDB& db) { return FaceClusterer::run(db); };
}

bool FacePass::rootIsDirectory() const {
    struct stat st {};
    return ::stat(paths_.root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FacePass::stagingPath() {
    static std::atomic<uint64_t> counter{0};
    return paths_.dataDir + "/faces/" + std::string(kStagingPrefix) + std::to_string(::getpid()) + "-" +
           std::to_string(counter++) + ".jpg";
}

void FacePass::removeLeftoverStaging() {
    std::error_code ec;
    for (fs::directory_iterator it(paths_.dataDir + "/faces", ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().starts_with(kStagingPrefix)) removeQuietly(it->path().string());
    }
}

FacePass::Result FacePass::analyseOne(const PendingFaceAsset& asset) {
    Result result{asset.id, {}};
    ImageRef image = MediaProcessor::loadImage(paths_.root + "/" + asset.path, maxPixel);
    if (!image) return result;  // unreadable: done, without faces
    std::vector<DetectedFace> found;
    try {
        found = analyzer_(*image);
    } catch (const std::exception&) {
        return result;
    }
    for (const DetectedFace& d : found) {
        Face f{d.rect.x, d.rect.y, d.rect.width, d.rect.height, d.quality, d.embedding, {}};
        if (d.crop) {
            f.staged = stagingPath();
            int error = 0;
            if (!MediaProcessor::writeJPEG(*d.crop, f.staged, cropQuality, &error)) {
                removeQuietly(f.staged);
                f.staged.clear();
                if (error != 0 && result.writeError == 0) result.writeError = error;
            }
        }
        result.faces.push_back(std::move(f));
    }
    return result;
}

std::vector<FacePass::Result> FacePass::analyse(const std::vector<PendingFaceAsset>& batch) {
    std::vector<Result> results;
    std::mutex mutex;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < batch.size(); i = next++) {
            Result r = analyseOne(batch[i]);
            std::lock_guard lock(mutex);
            results.push_back(std::move(r));  // in the order they finish
        }
    };
    {
        std::vector<std::jthread> workers;
        const size_t n = std::min<size_t>(inFlight, batch.size());
        for (size_t i = 0; i < n; ++i) workers.emplace_back(worker);
    }
    return results;
}

bool FacePass::save(const std::vector<Result>& results) {
    Database& db = db_->db();
    std::vector<std::pair<int64_t, std::string>> crops;
    try {
        db.transaction([&] {
            for (const Result& r : results) {
                for (const Face& f : r.faces) {
                    int64_t id = db.insert(
                        "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding) VALUES(?,?,?,?,?,?,?)",
                        {r.assetID, f.x, f.y, f.w, f.h, f.quality, LibraryDB::encodeEmbedding(f.embedding)});
                    if (!f.staged.empty()) crops.emplace_back(id, f.staged);
                }
                // A photo left pending would have its faces inserted a second
                // time by the next pass, so this failing fails the batch.
                db.run("UPDATE assets SET faces_done=1 WHERE id=?", {r.assetID});
            }
        });
    } catch (const DBError&) {
        // The rolled-back ids will be handed out again; their crops never
        // took those names, and are dropped here.
        for (const Result& r : results) r.discardCrops();
        return false;
    }
    for (const auto& [id, staged] : crops) {
        const std::string target = paths_.faceURL(id);
        std::error_code ec;
        // The shard only, never its parents: a vanished drive's mount point
        // must not grow a data folder on the system disk.
        fs::create_directory(fs::path(target).parent_path(), ec);
        fs::rename(staged, target, ec);
        if (ec) removeQuietly(staged);  // the face stays, without its picture
    }
    return true;
}

void FacePass::cluster() {
    if (clusterer_(*db_) && hooks_.peopleUpdated) hooks_.peopleUpdated();
}

bool FacePass::run() {
    std::optional<int64_t> pending;
    try {
        pending = db_->db().scalarInt(pendingCountSQL);
    } catch (const DBError&) {
    }
    const int total = int(pending.value_or(0));
    if (total < 1) return true;

    removeLeftoverStaging();
    auto report = [&](int done) {
        if (hooks_.report) hooks_.report(EngineStatus::faces(std::min(total, done), total));
    };
    report(0);
    int done = 0;
    int sinceClustering = 0;
    for (;;) {
        if (hooks_.stopped && hooks_.stopped()) break;
        if (hooks_.shouldGiveWay && hooks_.shouldGiveWay()) return false;
        std::vector<PendingFaceAsset> batch = db_->pendingFaceAssets(batchSize);
        if (batch.empty()) break;

        std::vector<Result> results = analyse(batch);
        const bool gone = hooks_.libraryGone ? hooks_.libraryGone() : !rootIsDirectory();
        if (gone || (hooks_.stopped && hooks_.stopped())) {
            // The drive went away (or the library is closing) mid-batch: what
            // was found may be of files no longer there.
            for (const Result& r : results) r.discardCrops();
            return false;
        }
        // A face without its picture would stay so for good: when the data
        // folder takes no more pictures the batch is left for a later pass.
        const auto unwritten = std::find_if(results.begin(), results.end(),
                                            [](const Result& r) { return r.writeError != 0; });
        if (unwritten != results.end()) {
            for (const Result& r : results) r.discardCrops();
            if (hooks_.writeFailed) hooks_.writeFailed(unwritten->writeError);
            return true;
        }
        // A save that fails (disk full, a drive remounted read-only) would
        // fail again on the same photos: end the pass instead of analysing
        // them over and over. A later scan starts a new one.
        if (!save(results)) break;

        done += int(batch.size());
        sinceClustering += int(batch.size());
        report(done);
        if (sinceClustering >= clusterEvery) {
            cluster();
            sinceClustering = 0;
        }
    }
    cluster();
    return true;
}

}  // namespace vintrelle
