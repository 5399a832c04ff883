#pragma once
// Grid contents built from section sizes, and a thumbnail source whose loads
// the test completes by hand.

#include <QImage>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "App/GridContent.h"
#include "UI/Grid/GridThumbnails.h"

namespace gridtest {

using namespace vintrelle;

inline Asset asset(int64_t id) {
    Asset a;
    a.id = id;
    a.path = "photos/IMG_" + std::to_string(id) + ".jpg";
    a.thumbState = 1;
    a.mtime = 1.6e9;
    a.size = 1000 + id;
    return a;
}

// Sections of the given sizes, titled "S0", "S1", … with ids from `ids`
// (consecutive from 1 when empty).
inline GridContentPtr content(const std::vector<int>& counts, int64_t token, const std::string& scrollKey = "library|",
                              std::vector<int64_t> ids = {}) {
    auto c = std::make_shared<GridContent>();
    auto flat = std::make_shared<std::vector<Asset>>();
    size_t n = 0;
    for (int k : counts) n += size_t(k);
    if (ids.empty())
        for (size_t i = 0; i < n; ++i) ids.push_back(int64_t(i + 1));
    for (size_t i = 0; i < n; ++i) flat->push_back(asset(ids[i]));
    size_t at = 0;
    for (size_t s = 0; s < counts.size(); ++s) {
        GridContent::Section sec;
        sec.id = "s" + std::to_string(s);
        sec.title = "S" + std::to_string(s);
        sec.detail = std::to_string(counts[s]) + " items";
        sec.begin = at;
        sec.end = at + size_t(counts[s]);
        at = sec.end;
        c->sections.push_back(sec);
    }
    c->flat = std::make_shared<const AssetList>(std::move(*flat));
    c->token = token;
    c->scrollKey = scrollKey;
    return c;
}

// The same sections and ids with a changed copy of the records.
template <class F>
GridContentPtr edited(const GridContent& from, int64_t token, F&& edit) {
    auto c = std::make_shared<GridContent>(from);
    std::vector<Asset> flat = from.flat->toVector();
    for (Asset& a : flat) edit(a);
    c->flat = std::make_shared<const AssetList>(std::move(flat));
    c->token = token;
    return c;
}

inline QImage solid(QColor c, int w = 480, int h = 360) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

struct ManualThumbs {
    struct Request {
        std::string path;
        ThumbnailSource::Completion done;
        bool cancelled = false;
    };
    std::vector<std::shared_ptr<Request>> requests;
    std::map<std::string, QImage> memory;  // hits complete at once
    // Stand-ins, read on the grid's workers: every path asked for, and the
    // paths whose small reading fails.
    bool standIns = false;
    std::mutex small;
    std::vector<std::string> smallReads;
    std::set<std::string> smallFails;

    std::vector<std::string> smallAsked() {
        std::lock_guard lock(small);
        return smallReads;
    }

    ThumbnailSource source() {
        ThumbnailSource s;
        s.cached = [this](const std::string& path) {
            auto it = memory.find(path);
            return it == memory.end() ? QImage() : it->second;
        };
        if (standIns)
            s.decodeSmall = [this](const std::string& path, int minSide) -> QImage {
                std::lock_guard lock(small);
                smallReads.push_back(path);
                if (smallFails.count(path)) return QImage();
                return solid(Qt::green, minSide * 4 / 3, minSide);
            };
        s.load = [this](const std::string& path, ThumbnailSource::Completion done) -> ThumbnailSource::Cancel {
            if (auto it = memory.find(path); it != memory.end()) {
                done(it->second);
                return {};
            }
            auto r = std::make_shared<Request>(Request{path, std::move(done)});
            requests.push_back(r);
            return [r] { r->cancelled = true; };
        };
        return s;
    }
    std::shared_ptr<Request> latest(const std::string& path) const {
        for (auto it = requests.rbegin(); it != requests.rend(); ++it)
            if ((*it)->path == path) return *it;
        return nullptr;
    }
};

inline GridLibrary library(ThumbnailSource thumbs, uint64_t key = 7) {
    GridLibrary lib;
    lib.thumbs = std::move(thumbs);
    lib.paths.root = "/media/me/Photos";
    lib.paths.dataDir = "/media/me/Photos/.vintrelle";
    lib.key = key;
    return lib;
}

}  // namespace gridtest
