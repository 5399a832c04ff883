#pragma once
// A real index in a temporary folder, with helpers to place crafted unit
// embeddings as faces and persons.

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Core/Faces/FaceThresholds.h"
#include "Core/Index/LibraryDB.h"
#include "fixtures/TempDir.h"

namespace facecluster {

using vintrelle::LibraryDB;

// A 128-value embedding with the given components, and the rest of its unit
// length on dimension `rest`. `slack` lengthens that rest component, so that
// a cosine computed against the vector falls just below its plain dot product.
inline std::vector<float> vec(std::initializer_list<std::pair<int, float>> parts, int rest = 127, float slack = 0) {
    std::vector<float> v(128, 0.0f);
    double sq = 0;
    for (auto [i, x] : parts) {
        v[size_t(i)] = x;
        sq += double(x) * x;
    }
    if (sq < 1) v[size_t(rest)] = float(std::sqrt(1 - sq)) + slack;
    return v;
}

inline std::vector<float> axis(int i) { return vec({{i, 1.0f}}); }

// Eight look-alikes of a face on axis 0: each misses it (cosine just under
// the join threshold) but matches the others just above it, so they gather
// into one group whose centroid reaches the face at the merge threshold
// (8x / sqrt(8 + 56 s) with x on axis 0 and s their mutual cosine).
inline std::vector<std::vector<float>> lookAlikes() {
    const float x = vintrelle::FaceThresholds::join - 0.01f;
    const float s = vintrelle::FaceThresholds::join + 0.005f;
    std::vector<std::vector<float>> out;
    for (int i = 0; i < 8; ++i) out.push_back(vec({{0, x}, {1, std::sqrt(s - x * x)}}, 2 + i));
    return out;
}

struct Library {
    fixtures::TempDir dir;
    LibraryDB db{dir / "library.sqlite"};
    int photos = 0;

    int64_t photo() {
        return db.db().insert("INSERT INTO assets(path, kind, size, mtime, added, faces_done) VALUES(?,?,?,?,?,1)",
                              {"p" + std::to_string(++photos) + ".jpg", 0, 1, 1.0, 1.0});
    }
    int64_t person(const std::string& name = "") {
        return db.db().insert("INSERT INTO persons(name, created) VALUES(?, 0)", {name});
    }
    // On a photo of its own unless one is given.
    int64_t face(const std::vector<float>& e, double quality = 0.9, std::optional<int64_t> person = std::nullopt,
                 bool locked = false, double w = 0.2, int64_t asset = 0) {
        return db.db().insert(
            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) VALUES(?,?,?,?,?,?,?,?,?)",
            {asset ? asset : photo(), 0.1, 0.1, w, w, quality, LibraryDB::encodeEmbedding(e), person, locked});
    }
    std::optional<int64_t> personOf(int64_t face) {
        auto r = db.db().query("SELECT person_id FROM faces WHERE id=?", {face},
                               [](const vintrelle::Row& row) { return row.optInt(0); });
        return r.empty() ? std::nullopt : r[0];
    }
    std::optional<int64_t> coverOf(int64_t person) {
        auto r = db.db().query("SELECT cover_face FROM persons WHERE id=?", {person},
                               [](const vintrelle::Row& row) { return row.optInt(0); });
        return r.empty() ? std::nullopt : r[0];
    }
    std::optional<std::string> nameOf(int64_t person) {
        auto r = db.db().query("SELECT name FROM persons WHERE id=?", {person},
                               [](const vintrelle::Row& row) { return row.text(0); });
        return r.empty() ? std::nullopt : std::optional(r[0]);
    }
    int64_t count(const std::string& sql) { return db.db().scalarInt(sql).value_or(-1); }
    int64_t persons() { return count("SELECT COUNT(*) FROM persons"); }
    // Faces whose person row does not exist.
    int64_t danglingFaces() {
        return count("SELECT COUNT(*) FROM faces WHERE person_id IS NOT NULL AND person_id NOT IN (SELECT id FROM persons)");
    }
};

}  // namespace facecluster
