#include "Core/Engine/FacePass.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

#include "Core/Base/Processors.h"
#include "Core/Engine/EngineCore.h"
#include "Core/Faces/FaceClusterer.h"
#include "Core/Faces/FaceSuccession.h"
#include "Core/Media/HeifFullImage.h"
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

int FacePass::workers() {
    // A photo per processor but one, left to the window and the rest of the
    // machine: each analysis runs on networks of its own, so they scale with
    // the processors. Never fewer than three.
    return std::max(3, activeProcessorCount() - 1);
}

const char* const FacePass::pendingCountSQL =
    "SELECT COUNT(*) FROM assets WHERE kind=0 AND meta_done=1 AND faces_done=0 AND thumb=1";
const char* const FacePass::olderPrintsKey = "olderPrintsBelow";

namespace {

// The faces a photo held before it was read again: those of a photo whose
// file changed since its faces were found.
struct EarlierFace {
    int64_t id = 0;
    PlacedFace place;
    bool ofPerson = false;
};

std::vector<EarlierFace> earlierFaces(Database& db, int64_t asset, int64_t olderPrintsBelow) {
    return db.query("SELECT id, x, y, w, h, embedding, person_id FROM faces WHERE asset_id=? ORDER BY id", {asset},
                    [&](const Row& r) {
                        return EarlierFace{r.int64(0),
                                           {{r.dbl(1), r.dbl(2), r.dbl(3), r.dbl(4)},
                                            LibraryDB::decodeEmbedding(r.blob(5)),
                                            r.int64(0) < olderPrintsBelow},
                                           !r.isNull(6)};
                    });
}

}  // namespace

struct FacePass::Photo {
    PendingFaceAsset asset;
    std::vector<PlacedFace> earlier;  // its faces before its file changed
};

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
    // The photo was decoded and analysed. One that was not (gone meanwhile,
    // unreadable now) says nothing of the faces found in it before.
    bool read = false;
    // The file was written while it was read: what was found is of a picture
    // halfway, and the scan its writing brings makes the photo pending anew.
    bool changed = false;
    // Quarter turns clockwise from the picture its earlier faces were found
    // in to this one: a photo turned, losslessly or by its orientation.
    int turn = 0;
    int64_t size = 0;  // the file as the scan saw it
    double mtime = 0;

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
    if (!analyzer_) {
        analyzer_ = [](const Image& image) { return FaceEngine::shared().analyze(image); };
        releaseAnalyser_ = [] { FaceEngine::shared().releaseWorkingMemory(); };
    }
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

std::vector<DetectedFace> FacePass::analyse(const Image& image) {
    try {
        return analyzer_(image);
    } catch (const std::exception&) {
        return {};
    }
}

namespace {

bool stillAsScanned(const std::string& path, const PendingFaceAsset& asset) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == asset.size &&
           sameModificationTime(modificationTime(st), asset.mtime);
}

std::vector<PlacedFace> placed(const std::vector<DetectedFace>& faces) {
    std::vector<PlacedFace> out;
    for (const DetectedFace& d : faces) out.push_back({d.rect, d.embedding, false});
    return out;
}

// How many earlier faces the faces found take the place of, and the turn
// from the earlier picture to this one that gives the most: the earlier
// boxes are turned with the picture before they are compared.
std::pair<size_t, int> matched(const std::vector<PlacedFace>& earlier, const std::vector<DetectedFace>& found) {
    std::pair<size_t, int> best{0, 0};
    const std::vector<PlacedFace> now = placed(found);
    for (int turn = 0; turn < 4 && best.first < earlier.size(); ++turn) {
        std::vector<PlacedFace> turned = earlier;
        for (PlacedFace& e : turned) e.rect = turnedRect(e.rect, turn);
        const std::vector<int> of = earlierFaceOf(turned, now);
        const size_t n = size_t(std::count_if(of.begin(), of.end(), [](int e) { return e >= 0; }));
        if (n > best.first) best = {n, turn};
    }
    return best;
}

}  // namespace

FacePass::Result FacePass::analyseOne(const Photo& photo) {
    const PendingFaceAsset& asset = photo.asset;
    Result result{asset.id, {}, 0, false};
    result.size = asset.size;
    result.mtime = asset.mtime;
    const std::string path = paths_.root + "/" + asset.path;
    // A HEIF photo is decoded on this worker's thread alone: the workers
    // already fill the processors, and libheif's own decoding threads for
    // each of them would only crowd them.
    ImageRef image = MediaProcessor::loadFullImage(path, maxPixel, 0);
    std::vector<DetectedFace> found;
    if (image) found = analyse(*image);
    // Checked after reading, so that a file written meanwhile, or one
    // unreadable only because it is being written, is left for the scan
    // its writing brings.
    if (!stillAsScanned(path, asset)) {
        result.changed = true;
        return result;
    }
    if (!image) return result;  // unreadable: done, without faces
    result.read = true;
    // A photo may have been turned (losslessly, or by its orientation): its
    // earlier boxes are compared turned each way. When that does not find
    // every earlier face again, the picture is also looked at turned by each
    // quarter, as faces are found best upright, and the look that finds the
    // most of them again is taken, its boxes turned back onto the picture.
    if (!photo.earlier.empty()) {
        auto [best, turn] = matched(photo.earlier, found);
        result.turn = turn;
        for (int look = 1; look < 4 && best < photo.earlier.size(); ++look) {
            std::vector<DetectedFace> other = analyse(turnedImage(*image, -look));
            for (DetectedFace& d : other) d.rect = turnedRect(d.rect, look);
            const auto [n, t] = matched(photo.earlier, other);
            if (n <= best) continue;
            best = n;
            found = std::move(other);
            result.turn = t;
        }
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

// The pass's workers, for the whole pass: photos are queued a batch at a
// time and taken in the order queued; each result is kept with its batch,
// in the order the photos finish.
class FacePass::Workers {
public:
    Workers(FacePass& pass, int count) : pass_(pass) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this] {
                // The pass fills every processor but one; the window's
                // picture loaders and the window itself come first.
                moveThisThreadToTheBackground();
                work();
            });
    }
    // Photos not yet started are dropped; those in flight finish, and their
    // results with every other not taken are dropped too.
    ~Workers() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            waiting_.clear();
        }
        queued_.notify_all();
        threads_.clear();
        for (const auto& [batch, b] : batches_)
            for (const Result& r : b.results) r.discardCrops();
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void add(int batch, const std::vector<Photo>& photos) {
        {
            std::lock_guard lock(mutex_);
            Batch& b = batches_[batch];
            b.expected = photos.size();
            for (const Photo& p : photos) {
                waiting_.emplace_back(batch, p);
                b.ids.push_back(p.asset.id);
            }
        }
        queued_.notify_all();
    }

    // Waits until every photo of `batch` is analysed, or, when `feed` is
    // set, until no photo is waiting to start; true in the first case.
    bool wait(int batch, bool feed) {
        std::unique_lock lock(mutex_);
        const Batch& b = batches_.at(batch);
        progress_.wait(lock, [&] { return b.results.size() == b.expected || (feed && waiting_.empty()); });
        return b.results.size() == b.expected;
    }

    std::vector<Result> take(int batch) {
        std::lock_guard lock(mutex_);
        std::vector<Result> results = std::move(batches_.at(batch).results);
        batches_.erase(batch);
        return results;
    }

    // The photos of every batch not taken yet.
    std::unordered_set<int64_t> queued() const {
        std::lock_guard lock(mutex_);
        std::unordered_set<int64_t> ids;
        for (const auto& [batch, b] : batches_) ids.insert(b.ids.begin(), b.ids.end());
        return ids;
    }

private:
    struct Batch {
        size_t expected = 0;
        std::vector<int64_t> ids;
        std::vector<Result> results;
    };

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            queued_.wait(lock, [&] { return closing_ || !waiting_.empty(); });
            if (closing_) return;
            auto [batch, photo] = std::move(waiting_.front());
            waiting_.pop_front();
            const bool drained = waiting_.empty();
            lock.unlock();
            // The pass may want the next batch queued before this one ends.
            if (drained) progress_.notify_one();
            Result r = pass_.analyseOne(photo);
            lock.lock();
            batches_[batch].results.push_back(std::move(r));
            lock.unlock();
            progress_.notify_one();
            lock.lock();
        }
    }

    FacePass& pass_;
    mutable std::mutex mutex_;
    std::condition_variable queued_, progress_;
    std::deque<std::pair<int, Photo>> waiting_;
    std::map<int, Batch> batches_;
    bool closing_ = false;
    std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

bool FacePass::save(const std::vector<Result>& results) {
    Database& db = db_->db();
    std::vector<std::pair<int64_t, std::string>> crops;
    std::vector<int64_t> staleCrops;  // of faces gone, or found again without a picture
    std::vector<const Result*> unsaved;  // photos changed since they were fetched
    bool peopleChanged = false;
    try {
        db.transaction([&] {
            unsaved.clear();
            crops.clear();
            staleCrops.clear();
            peopleChanged = false;
            for (const Result& r : results) {
                if (r.changed) continue;
                // The scan may have found the file changed since it was
                // fetched: what was read is not the photo as it is now.
                const bool current =
                    db.scalarInt("SELECT COUNT(*) FROM assets WHERE id=? AND faces_done=0 AND size=? AND mtime=?",
                                 {r.assetID, r.size, r.mtime})
                        .value_or(0) != 0;
                if (!current) {
                    unsaved.push_back(&r);
                    continue;
                }
                const std::vector<EarlierFace> earlier = earlierFaces(db, r.assetID, olderPrintsBelow_);
                for (const EarlierFace& e : earlier)
                    if (e.ofPerson) peopleChanged = true;  // counted in people again, or gone from them
                if (!r.read) {
                    // Unreadable now: what it shows is unknown. Its faces
                    // keep what the user gave them but count in no person
                    // until the file changes again and can be read.
                    db.run("UPDATE assets SET faces_done=? WHERE id=?",
                           {earlier.empty() ? FacesState::done : FacesState::held, r.assetID});
                    continue;
                }
                // A photo read again keeps the rows of the faces found again,
                // with their person and their lock, and only their place,
                // print and picture renewed; the faces it no longer shows go.
                std::vector<int> of(r.faces.size(), -1);
                if (!earlier.empty()) {
                    std::vector<PlacedFace> before, now;
                    for (const EarlierFace& e : earlier)
                        before.push_back({turnedRect(e.place.rect, r.turn), e.place.embedding, e.place.olderPrint});
                    for (const Face& f : r.faces) now.push_back({{f.x, f.y, f.w, f.h}, f.embedding, false});
                    of = earlierFaceOf(before, now);
                }
                std::vector<bool> kept(earlier.size(), false);
                for (size_t i = 0; i < r.faces.size(); ++i) {
                    const Face& f = r.faces[i];
                    const DBValue embedding = LibraryDB::encodeEmbedding(f.embedding);
                    int64_t id;
                    if (of[i] >= 0 && earlier[size_t(of[i])].place.olderPrint) {
                        // Its print is today's now: a new row, so that its id
                        // no longer marks it as an earlier analyser's.
                        const int64_t old = earlier[size_t(of[i])].id;
                        kept[size_t(of[i])] = true;
                        id = db.insert(
                            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) "
                            "SELECT asset_id, ?, ?, ?, ?, ?, ?, person_id, locked FROM faces WHERE id=?",
                            {f.x, f.y, f.w, f.h, f.quality, embedding, old});
                        db.run("UPDATE persons SET cover_face=? WHERE cover_face=?", {id, old});
                        db.run("DELETE FROM faces WHERE id=?", {old});
                        staleCrops.push_back(old);
                    } else if (of[i] >= 0) {
                        id = earlier[size_t(of[i])].id;
                        kept[size_t(of[i])] = true;
                        db.run("UPDATE faces SET x=?, y=?, w=?, h=?, quality=?, embedding=? WHERE id=?",
                               {f.x, f.y, f.w, f.h, f.quality, embedding, id});
                        if (f.staged.empty()) staleCrops.push_back(id);
                    } else {
                        id = db.insert(
                            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding) VALUES(?,?,?,?,?,?,?)",
                            {r.assetID, f.x, f.y, f.w, f.h, f.quality, embedding});
                    }
                    if (!f.staged.empty()) crops.emplace_back(id, f.staged);
                }
                for (size_t j = 0; j < earlier.size(); ++j) {
                    if (kept[j]) continue;
                    const int64_t id = earlier[j].id;
                    db.run("DELETE FROM faces WHERE id=?", {id});
                    // A person shown by this face is shown by its best face left.
                    db.run("UPDATE persons SET cover_face=(SELECT f.id FROM faces f JOIN assets a ON a.id=f.asset_id "
                           "WHERE f.person_id=persons.id ORDER BY a.faces_done=1 DESC, f.quality * f.w DESC LIMIT 1) "
                           "WHERE cover_face=?",
                           {id});
                    staleCrops.push_back(id);
                }
                // Written in the same transaction as its faces: a failure
                // fails the batch.
                db.run("UPDATE assets SET faces_done=? WHERE id=?", {FacesState::done, r.assetID});
            }
        });
    } catch (const DBError&) {
        // The rolled-back ids will be handed out again; their crops never
        // took those names, and are dropped here.
        for (const Result& r : results) r.discardCrops();
        return false;
    }
    for (const Result* r : unsaved) {
        r->discardCrops();
        changedMeanwhile_.insert(r->assetID);
    }
    for (const Result& r : results)
        if (r.changed) changedMeanwhile_.insert(r.assetID);
    for (int64_t id : staleCrops) removeQuietly(paths_.faceURL(id));
    for (const auto& [id, staged] : crops) {
        const std::string target = paths_.faceURL(id);
        std::error_code ec;
        // The shard only, never its parents: a vanished drive's mount point
        // must not grow a data folder on the system disk.
        fs::create_directory(fs::path(target).parent_path(), ec);
        fs::rename(staged, target, ec);
        if (ec) removeQuietly(staged);  // the face stays, without its picture
    }
    // Faces of people in photos read again count in them again, or left them.
    if (peopleChanged && hooks_.peopleUpdated) hooks_.peopleUpdated();
    return true;
}

void FacePass::cluster() {
    if (clusterer_(*db_) && hooks_.peopleUpdated) hooks_.peopleUpdated();
}

bool FacePass::run() {
    bool gaveWay = false;
    const bool finished = runBatches(gaveWay);
    // What the analyses held (networks per worker, their working memory) is
    // let go when the pass ends, but not when it only gives way to a scan:
    // the work loop comes back to it straight after.
    if (analysedAny_ && !gaveWay && releaseAnalyser_) releaseAnalyser_();
    return finished;
}

std::vector<FacePass::Photo> FacePass::nextBatch(const Workers& workers) {
    // The batch before may still be in flight, and pending: it is fetched
    // again with this one and left out.
    const std::unordered_set<int64_t> queued = workers.queued();
    std::vector<Photo> batch;
    const int skipped = int(queued.size() + changedMeanwhile_.size());
    for (PendingFaceAsset& p : db_->pendingFaceAssets(batchSize + skipped)) {
        if (queued.count(p.id) || changedMeanwhile_.count(p.id)) continue;
        std::vector<PlacedFace> earlier;
        try {
            for (EarlierFace& e : earlierFaces(db_->db(), p.id, olderPrintsBelow_)) earlier.push_back(std::move(e.place));
        } catch (const DBError&) {
        }
        batch.push_back({std::move(p), std::move(earlier)});
        if (batch.size() == size_t(batchSize)) break;
    }
    return batch;
}

bool FacePass::runBatches(bool& gaveWay) {
    std::optional<int64_t> pending;
    try {
        pending = db_->db().scalarInt(pendingCountSQL);
    } catch (const DBError&) {
    }
    const int total = int(pending.value_or(0));
    if (total < 1) return true;
    try {
        db_->db().forEachRow("SELECT value FROM meta WHERE key=?", {olderPrintsKey},
                             [&](const Row& r) { olderPrintsBelow_ = std::stoll(r.text(0)); });
    } catch (const std::exception&) {
        olderPrintsBelow_ = 0;
    }

    removeLeftoverStaging();
    auto report = [&](int done) {
        if (hooks_.report) hooks_.report(EngineStatus::faces(std::min(total, done), total));
    };
    auto stopped = [&] { return hooks_.stopped && hooks_.stopped(); };
    auto giveWay = [&] { return hooks_.shouldGiveWay && hooks_.shouldGiveWay(); };
    report(0);
    int done = 0;
    int sinceClustering = 0;
    // The workers go from one batch to the next without waiting for the
    // slowest photo of a batch: the next batch is queued as soon as the
    // workers have started the last photos of the current one. It is saved
    // only after the current one; when the pass ends after the current one,
    // what was found of the next is dropped and its photos stay pending.
    Workers workers(*this, FacePass::workers());
    int current = 0;
    std::vector<Photo> batch;
    bool nextQueued = false;
    for (;;) {
        if (stopped()) break;
        if (giveWay()) {
            gaveWay = true;
            return false;
        }
        if (!nextQueued) {
            batch = nextBatch(workers);
            if (batch.empty()) break;
            workers.add(current, batch);
        }
        analysedAny_ = true;
        nextQueued = false;
        std::vector<Photo> next;
        while (!workers.wait(current, !nextQueued)) {
            if (stopped() || giveWay()) {
                nextQueued = true;  // nothing more: only the current batch is waited for
                continue;
            }
            next = nextBatch(workers);
            if (!next.empty()) workers.add(current + 1, next);
            nextQueued = true;
        }
        std::vector<Result> results = workers.take(current);
        const bool gone = hooks_.libraryGone ? hooks_.libraryGone() : !rootIsDirectory();
        if (gone || stopped()) {
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
        ++current;
        nextQueued = !next.empty();
        if (nextQueued) batch = std::move(next);
    }
    cluster();
    return true;
}

}  // namespace vintrelle
