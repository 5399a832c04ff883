// Live photos: a still and a short movie of the same name in one folder are
// shown as one item. Every pairing is worked out again from the whole index,
// so pairs follow the files as they come and go.

#include <unordered_map>
#include <unordered_set>

#include "Core/Engine/EngineCore.h"
#include "Core/Base/Text.h"

namespace vintrelle {

namespace {

constexpr double kLongestLiveMovie = 3.6;

std::string pairingKey(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string stem = (dot != std::string::npos && dot > nameStart) ? path.substr(0, dot) : path;
    return text::lowercased(stem);
}

// What pairing looks at of a listed photo or video.
struct Pairable {
    int64_t id = 0;
    std::string path;
    MediaKind kind = MediaKind::photo;
    double duration = 0;
    std::optional<std::string> liveVideo;
    bool hidden = false;
};

}  // namespace

void EngineCore::pairLivePhotos() {
    Database& sql = db->db();
    // A few thousand rows at a time: the window's queries get in between.
    std::vector<Pairable> all;
    try {
        sql.forEachRowInPieces("SELECT id, path, kind, duration, live_video, hidden FROM assets WHERE meta_done=1 AND "
                               "id > ? ORDER BY id LIMIT ?",
                               {}, INT64_MIN, 0, 8192, [&](const Row& r) {
                                   all.push_back({r.int64(0), r.text(1), r.int64(2) == 1 ? MediaKind::video : MediaKind::photo, r.dbl(3),
                                                  r.optText(4), r.int64(5) != 0});
                               });
    } catch (const DBError&) {
        return;
    }
    std::unordered_map<std::string, const Pairable*> photos;
    for (const auto& a : all)
        if (a.kind == MediaKind::photo) photos[pairingKey(a.path)] = &a;

    std::unordered_map<int64_t, std::string> movieOf;
    std::unordered_set<int64_t> pairedMovies;
    for (const auto& a : all) {
        if (a.kind != MediaKind::video || a.duration <= 0 || a.duration > kLongestLiveMovie) continue;
        auto it = photos.find(pairingKey(a.path));
        if (it == photos.end()) continue;
        movieOf[it->second->id] = a.path;
        pairedMovies.insert(a.id);
    }

    std::vector<int64_t> changed;
    try {
        sql.transaction([&] {
            for (const auto& a : all) {
                if (a.kind == MediaKind::photo) {
                    auto it = movieOf.find(a.id);
                    std::optional<std::string> wanted;
                    if (it != movieOf.end()) wanted = it->second;
                    if (wanted == a.liveVideo) continue;
                    changed.push_back(a.id);
                    try {
                        sql.run("UPDATE assets SET live_video=? WHERE id=?", {wanted, a.id});
                    } catch (const DBError&) {
                    }
                } else {
                    const bool wanted = pairedMovies.count(a.id) != 0;
                    if (wanted == a.hidden) continue;
                    changed.push_back(a.id);
                    try {
                        sql.run("UPDATE assets SET hidden=? WHERE id=?", {wanted ? 1 : 0, a.id});
                    } catch (const DBError&) {
                    }
                }
            }
        });
    } catch (const DBError&) {
        // Could not begin: nothing was written. Could not commit: rolled back,
        // and the rows read back below are as stored.
    }
    if (changed.empty()) return;
    auto assets = db->assets(changed);
    post([assets = std::move(assets)](EngineDelegate& d) { d.engineDidUpsert(assets); });
}

}  // namespace vintrelle
