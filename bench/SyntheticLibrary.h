#pragma once
// A synthetic index of 100,000 assets (or another count) in 2,000 folders
// over ten years, made once per run and size, and libraries opened on copies
// of it. The files themselves do not exist, so the engine is stopped before
// the store starts it: it would otherwise look for them.

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Index/LibraryDB.h"
#include "Store/LibraryStore.h"
#include "fixtures/TempDir.h"

namespace benchlib {

using namespace vintrelle;

constexpr int kAssets = 100000;
constexpr int kFolders = 2000;
constexpr double kStart = 1.3e9;  // 2011

inline std::string folderOf(int i) {
    const int f = i % kFolders;
    return std::to_string(2011 + f / 200) + "/Event " + std::to_string(f);
}

// One pristine index, copied into a fresh library for every open.
struct Template {
    fixtures::TempDir dir;
    std::string file = dir / "library.sqlite";
    explicit Template(int assets) {
        LibraryDB db(file);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> when(0, 10 * 365 * 86400.0);
        db.db().transaction([&] {
            for (int i = 0; i < assets; ++i) {
                const bool geo = i % 3 != 0;
                db.db().run(
                    "INSERT INTO assets(path, kind, size, mtime, added, taken, width, height, lat, lon, camera, iso, "
                    "fnumber, exposure, focal, thumb, meta_done, favorite) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,1,1,?)",
                    {folderOf(i) + "/IMG_" + std::to_string(i) + ".JPG", i % 10 == 0 ? 1 : 0, 3000000 + i,
                     1.6e9 + i, 1.7e9 + (i % 500) * 60.0, kStart + when(rng), 4032, 3024,
                     geo ? DBValue(38.7 + i * 1e-5) : DBValue(), geo ? DBValue(-9.1) : DBValue(), "iPhone 12", 100,
                     1.6, 0.008, 4.2, i % 50 == 0 ? 1 : 0});
            }
        });
        db.setMeta("faceVersion", vintrelle::FaceEngine::dataVersion);
    }
};

inline Template& pristine(int assets = kAssets) {
    static std::map<int, std::unique_ptr<Template>> made;
    auto& t = made[assets];
    if (!t) t = std::make_unique<Template>(assets);
    return *t;
}

struct OpenLibrary {
    fixtures::TempDir dir;
    std::shared_ptr<LibraryStore> store;
    // An indexed library: its data folder is already laid out.
    explicit OpenLibrary(int assets = kAssets) {
        const LibraryPaths paths = LibraryPaths::resolve(dir.path());
        paths.prepare();
        std::filesystem::copy_file(pristine(assets).file, paths.databasePath());
    }
    void open() {
        store = LibraryStore::init(dir.path());
        store->engine()->stop();
        store->start(false);
    }
};

// A loaded store whose engine and database are closed again: the lists stay.
inline const std::shared_ptr<LibraryStore>& loaded(int assets = kAssets) {
    static std::map<int, std::unique_ptr<OpenLibrary>> made;
    auto& lib = made[assets];
    if (!lib) {
        lib = std::make_unique<OpenLibrary>(assets);
        lib->open();
        lib->store->shutdown();
    }
    return lib->store;
}

// 100 records already listed come back with new capture times (files edited).
inline std::vector<Asset> changedBatch(const LibraryStore& store, std::mt19937& rng) {
    std::uniform_int_distribution<size_t> pick(0, store.assets().size() - 1);
    std::uniform_real_distribution<double> when(0, 10 * 365 * 86400.0);
    std::vector<Asset> batch;
    for (int i = 0; i < 100; ++i) {
        Asset a = store.assets()[pick(rng)];
        a.taken = kStart + when(rng);
        batch.push_back(std::move(a));
    }
    return batch;
}

}  // namespace benchlib
