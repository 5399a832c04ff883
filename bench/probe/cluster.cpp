// vintrelle-probe cluster DIR [--pairs CSV]: analyses every photo of a
// folder into a temporary index, groups the faces into people, and prints
// one object per person with its photos, then a summary. With --pairs (a
// CSV of "a,b,same" file-name pairs) the summary also counts the people
// that hold more than one identity (identities are the connected groups of
// "same" pairs).

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>

#include "Core/Faces/FaceClusterer.h"
#include "Core/Faces/FaceEngine.h"
#include "Core/Media/MediaProcessor.h"
#include "Core/Index/LibraryDB.h"
#include "LabelledPairs.h"
#include "Probe.h"

namespace fs = std::filesystem;
using namespace vintrelle;

namespace {

double msSince(std::chrono::steady_clock::time_point start) {
    return std::round(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
}

struct TempFolder {
    std::string path;
    TempFolder() {
        std::string tmpl = (fs::temp_directory_path() / "vintrelle-probe-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

int cluster(const probe::Args& given) {
    probe::Args args = given;
    const std::string pairs = probe::takeOption(args, "--pairs");
    if (args.size() != 1) return probe::fail("usage: vintrelle-probe cluster DIR [--pairs CSV]");
    const fs::path root(args[0]);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return probe::fail("not a folder: " + args[0]);
    auto& engine = FaceEngine::shared();
    if (!engine.model) return probe::fail("face model not loaded (run scripts/npm-assets.sh or set VINTRELLE_ASSETS)");
    TempFolder temp;
    if (temp.path.empty()) return probe::fail("cannot make a temporary folder");

    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().filename().string().front() != '.')
            files.push_back(fs::relative(it->path(), root).generic_string());
    }
    std::sort(files.begin(), files.end());

    LibraryDB db(temp.path + "/library.sqlite");
    int photos = 0, faceCount = 0;
    const auto analyzeStart = std::chrono::steady_clock::now();
    for (const auto& rel : files) {
        auto image = MediaProcessor::loadImage((root / rel).string(), 1600);
        if (!image) continue;
        ++photos;
        const int64_t asset = db.db().insert(
            "INSERT INTO assets(path, kind, size, mtime, added, faces_done) VALUES(?,?,?,?,?,1)", {rel, 0, 0, 0.0, 0.0});
        for (const auto& f : engine.analyze(*image)) {
            db.db().insert("INSERT INTO faces(asset_id, x, y, w, h, quality, embedding) VALUES(?,?,?,?,?,?,?)",
                           {asset, f.rect.x, f.rect.y, f.rect.width, f.rect.height, f.quality,
                            LibraryDB::encodeEmbedding(f.embedding)});
            ++faceCount;
        }
    }
    const double analyzeMs = msSince(analyzeStart);
    const auto clusterStart = std::chrono::steady_clock::now();
    FaceClusterer::run(db);
    const double clusterMs = msSince(clusterStart);

    const auto ids = pairs.empty() ? std::map<std::string, int>() : probe::identities(pairs);
    int mixed = 0;
    auto persons = db.loadPersons();
    std::sort(persons.begin(), persons.end(), [](const Person& a, const Person& b) { return a.id < b.id; });
    for (const Person& p : persons) {
        const auto paths = db.db().query(
            "SELECT DISTINCT a.path FROM faces f JOIN assets a ON a.id = f.asset_id WHERE f.person_id=? ORDER BY a.path",
            {p.id}, [](const Row& r) { return r.text(0); });
        probe::Json j{{"person", p.id}, {"faces", db.db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id=?", {p.id}).value_or(0)},
                      {"photos", paths}};
        if (!ids.empty()) {
            std::set<int> seen;
            for (const auto& path : paths) {
                auto it = ids.find(fs::path(path).filename().string());
                if (it != ids.end()) seen.insert(it->second);
            }
            j["identities"] = seen.size();
            mixed += seen.size() > 1;
        }
        probe::emit(j);
    }
    probe::Json summary{{"photos", photos},
                        {"faces", faceCount},
                        {"people", persons.size()},
                        {"unassigned", db.db().scalarInt("SELECT COUNT(*) FROM faces WHERE person_id IS NULL").value_or(0)},
                        {"analyzeMs", analyzeMs},
                        {"clusterMs", clusterMs}};
    if (!ids.empty()) {
        std::set<int> all;
        for (const auto& [name, id] : ids) all.insert(id);
        summary["identities"] = all.size();
        summary["mixed"] = mixed;
    }
    probe::emit(summary);
    return 0;
}

probe::Register reg("cluster", "DIR [--pairs CSV]", cluster);

}  // namespace
