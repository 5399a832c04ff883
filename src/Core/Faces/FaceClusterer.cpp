#include "Core/Faces/FaceClusterer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "Core/Faces/FaceThresholds.h"
#include "Core/Index/LibraryDB.h"

namespace vintrelle {

namespace {

namespace T = FaceThresholds;
constexpr int D = T::embeddingSize;
static_assert(D % 8 == 0);

// Single-precision kernels over D contiguous floats. Eight independent lanes
// let the compiler vectorise the reductions without reassociating them.
float dot(const float* a, const float* b) {
    float lane[8] = {};
    for (int i = 0; i < D; i += 8)
        for (int l = 0; l < 8; ++l) lane[l] += a[i + l] * b[i + l];
    return ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
}

float sumOfSquares(const float* a) { return dot(a, a); }

void addInto(float* acc, const float* v) {
    for (int i = 0; i < D; ++i) acc[i] += v[i];
}

struct Cluster {
    std::optional<int64_t> personID;  // absent for a group opened in this run
    bool named = false;
    alignas(32) std::array<float, D> sum{};
    float sumSq = 0;  // kept in step with sum
    int count = 0;
    std::vector<int64_t> newFaces;
    // For each of newFaces, the person of the absorbed cluster that first
    // took it, so the write-back can hand it back when that merge is refused.
    std::vector<std::optional<int64_t>> newFaceOrigin;
    int mergedInto = -1;
    std::vector<int64_t> absorbed;
    std::vector<float> samples;  // up to sampleCap embeddings, back to back

    int sampleCount() const { return int(samples.size() / D); }
    const float* sample(int i) const { return samples.data() + size_t(i) * D; }

    void add(const float* e) {
        addInto(sum.data(), e);
        sumSq = sumOfSquares(sum.data());
        ++count;
        if (sampleCount() < T::sampleCap) samples.insert(samples.end(), e, e + D);
    }

    void absorb(const Cluster& o) {
        addInto(sum.data(), o.sum.data());
        sumSq = sumOfSquares(sum.data());
        count += o.count;
        for (int i = 0; i < o.sampleCount() && sampleCount() < T::sampleCap; ++i)
            samples.insert(samples.end(), o.sample(i), o.sample(i) + D);
    }

    // Takes back a face added earlier in this run.
    void remove(const float* e, int64_t face) {
        for (int i = 0; i < D; ++i) sum[size_t(i)] -= e[i];
        sumSq = sumOfSquares(sum.data());
        --count;
        for (int i = 0; i < sampleCount(); ++i)
            if (std::equal(e, e + D, sample(i))) {
                samples.erase(samples.begin() + ptrdiff_t(i) * D, samples.begin() + ptrdiff_t(i + 1) * D);
                break;
            }
        const auto at = std::find(newFaces.begin(), newFaces.end(), face);
        if (at == newFaces.end()) return;
        newFaceOrigin.erase(newFaceOrigin.begin() + (at - newFaces.begin()));
        newFaces.erase(at);
    }

    void giveFace(int64_t face, std::optional<int64_t> origin = std::nullopt) {
        newFaces.push_back(face);
        newFaceOrigin.push_back(origin);
    }

    // Mean of the best topMatchDepth dot products of e with the samples.
    float topMatch(const float* e) const {
        const int n = sampleCount();
        if (n == 0) return 0;
        std::array<float, T::topMatchDepth> best;
        best.fill(-INFINITY);
        for (int i = 0; i < n; ++i) {
            float d = dot(sample(i), e);
            for (int k = 0; k < T::topMatchDepth; ++k) {
                if (d > best[k]) std::swap(d, best[k]);
            }
        }
        const int m = std::min(T::topMatchDepth, n);
        float s = 0;
        for (int k = 0; k < m; ++k) s += best[k];
        return s / float(m);
    }

    // How well o's faces are matched here: the upper median of topMatch over o's samples.
    float linkage(const Cluster& o) const {
        const int n = o.sampleCount();
        if (n == 0) return 0;
        std::vector<float> m(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) m[size_t(i)] = topMatch(o.sample(i));
        std::nth_element(m.begin(), m.begin() + n / 2, m.end());
        return m[size_t(n / 2)];
    }
};

float cosine(const Cluster& k, const float* e) {
    if (k.sumSq <= 0) return 0;
    return dot(k.sum.data(), e) / std::sqrt(k.sumSq);
}

float cosine(const Cluster& t, const Cluster& x) {
    if (t.sumSq <= 0 || x.sumSq <= 0) return 0;
    return dot(t.sum.data(), x.sum.data()) / std::sqrt(t.sumSq) / std::sqrt(x.sumSq);
}

// Faces with a full embedding, best quality first (equal qualities keep the loaded order).
std::vector<FaceRecord> usableFaces(LibraryDB& db, bool assignedOnly) {
    auto faces = db.allFaces();
    std::erase_if(faces, [&](const FaceRecord& f) {
        return f.embedding.size() != size_t(D) || (assignedOnly && !f.personID);
    });
    std::stable_sort(faces.begin(), faces.end(),
                     [](const FaceRecord& a, const FaceRecord& b) { return a.quality > b.quality; });
    return faces;
}

// One cluster per person owning a face of the list, in order of each person's first face.
std::vector<Cluster> buildClusters(LibraryDB& db, const std::vector<FaceRecord>& faces) {
    std::unordered_map<int64_t, bool> named;
    for (const Person& p : db.loadPersons()) named[p.id] = !p.name.empty();
    std::vector<Cluster> clusters;
    std::unordered_map<int64_t, size_t> index;
    for (const FaceRecord& f : faces) {
        if (!f.personID) continue;
        auto [it, fresh] = index.try_emplace(*f.personID, clusters.size());
        if (fresh) {
            Cluster c;
            c.personID = f.personID;
            auto n = named.find(*f.personID);
            c.named = n != named.end() && n->second;
            clusters.push_back(std::move(c));
        }
        clusters[it->second].add(f.embedding.data());
    }
    return clusters;
}

// The cluster a face joins, or -1: the best centroid at the join threshold,
// else the best top match among large enough clusters near the face.
int match(const std::vector<Cluster>& clusters, const float* e) {
    int best = -1, top = -1;
    float bestCos = -1, topScore = 0;
    for (size_t k = 0; k < clusters.size(); ++k) {
        const Cluster& c = clusters[k];
        const float cos = cosine(c, e);
        if (cos > bestCos) {
            best = int(k);
            bestCos = cos;
        }
        if (cos >= T::topMatchGate && c.count >= T::topMatchMinCount) {
            const float m = c.topMatch(e);
            if (m > topScore) {
                top = int(k);
                topScore = m;
            }
        }
    }
    if (best >= 0 && bestCos >= T::join) return best;
    if (top >= 0 && topScore >= T::topMatch) return top;
    return -1;
}

// A face placed early in a run could only choose among the groups that
// existed then: the first face of a person new to the library joins a
// look-alike's group at the join threshold when its own group opens only
// later in the run, and the merge pass, which moves whole groups, never
// takes it back. So each face placed in this run into a group of two or
// more looks once more when all groups stand, and moves to the group whose
// centroid it matches best when that one reaches the join threshold and
// beats its own group without it.
void reseat(std::vector<Cluster>& clusters, const std::unordered_map<int64_t, const float*>& embeddings) {
    for (size_t k = 0; k < clusters.size(); ++k) {
        const std::vector<int64_t> placed = clusters[k].newFaces;
        for (int64_t face : placed) {
            Cluster& own = clusters[k];
            if (own.count < 2) break;
            const float* e = embeddings.at(face);
            std::array<float, D> rest;
            for (int i = 0; i < D; ++i) rest[size_t(i)] = own.sum[size_t(i)] - e[i];
            const float restSq = sumOfSquares(rest.data());
            const float ownCos = restSq > 0 ? dot(rest.data(), e) / std::sqrt(restSq) : -1;
            int best = -1;
            float bestCos = -1;
            for (size_t j = 0; j < clusters.size(); ++j) {
                if (j == k || clusters[j].count == 0) continue;
                const float cos = cosine(clusters[j], e);
                if (cos > bestCos) {
                    best = int(j);
                    bestCos = cos;
                }
            }
            if (best < 0 || bestCos < T::join || bestCos <= ownCos) continue;
            own.remove(e, face);
            clusters[size_t(best)].add(e);
            clusters[size_t(best)].giveFace(face);
        }
    }
}

// Merges clusters that look like one person, unnamed ones into named or
// larger ones; returns the clusters in merge order.
std::vector<size_t> mergeClusters(std::vector<Cluster>& clusters) {
    std::vector<size_t> order(clusters.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (clusters[a].named != clusters[b].named) return clusters[a].named;
        return clusters[a].count > clusters[b].count;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        Cluster& x = clusters[order[i]];
        if (x.named || x.sumSq <= 0) continue;
        int target = -1;
        float bestCos = -1;
        for (size_t j = 0; j < i; ++j) {
            const Cluster& t = clusters[order[j]];
            if (t.mergedInto >= 0) continue;
            const float cos = cosine(t, x);
            if (cos <= bestCos) continue;
            if (cos >= T::merge || (cos >= T::mergeGate && t.linkage(x) >= T::mergeLinkage)) {
                target = int(order[j]);
                bestCos = cos;
            }
        }
        if (target < 0) continue;
        Cluster& t = clusters[size_t(target)];
        t.absorb(x);
        for (size_t f = 0; f < x.newFaces.size(); ++f)
            t.giveFace(x.newFaces[f], x.newFaceOrigin[f] ? x.newFaceOrigin[f] : x.personID);
        if (x.personID) t.absorbed.push_back(*x.personID);
        t.absorbed.insert(t.absorbed.end(), x.absorbed.begin(), x.absorbed.end());
        x.mergedInto = target;
    }
    return order;
}

enum class PersonNow { gone, unnamed, named };

// Writes one cluster inside the write-back transaction. The clusters were
// planned from a snapshot taken before it, and the user may have renamed or
// merged people since: each person touched is read again here, and one that
// is now named is never merged away, one that is gone never receives faces.
// Faces left unplaced by that stay without a person for the next run.
// Returns true when anything was written.
bool writeCluster(LibraryDB& db, const Cluster& c, std::unordered_map<int64_t, PersonNow>& now) {
    Database& d = db.db();
    auto stateOf = [&](int64_t id) {
        auto it = now.find(id);
        if (it != now.end()) return it->second;
        auto names = d.query("SELECT name FROM persons WHERE id=?", {id}, [](const Row& r) { return r.text(0); });
        PersonNow s = names.empty() ? PersonNow::gone : names[0].empty() ? PersonNow::unnamed : PersonNow::named;
        now.emplace(id, s);
        return s;
    };

    bool wrote = false;
    std::optional<int64_t> person;
    if (c.personID) {
        if (stateOf(*c.personID) != PersonNow::gone) person = c.personID;
    } else {
        for (int64_t a : c.absorbed) {
            if (stateOf(a) == PersonNow::unnamed) {
                person = a;
                break;
            }
        }
        if (!person) {
            person = d.insert("INSERT INTO persons(created) VALUES(?)", {nowSeconds()});
            now[*person] = PersonNow::unnamed;
            wrote = true;
        }
    }

    std::unordered_set<int64_t> merged;
    if (person) {
        for (int64_t a : c.absorbed) {
            if (a == *person || stateOf(a) != PersonNow::unnamed) continue;
            db.mergePerson(a, *person);  // ignores its own failure
            now[a] = PersonNow::gone;
            merged.insert(a);
            wrote = true;
        }
    }

    for (size_t i = 0; i < c.newFaces.size(); ++i) {
        const auto& origin = c.newFaceOrigin[i];
        std::optional<int64_t> dest;
        if (!origin || origin == person || merged.count(*origin)) {
            dest = person;
        } else if (stateOf(*origin) != PersonNow::gone) {
            dest = origin;  // its cluster's merge was refused: it stays with the person it matched
        }
        if (!dest) continue;
        d.run("UPDATE faces SET person_id=? WHERE id=?", {*dest, c.newFaces[i]});
        wrote = true;
    }
    return wrote;
}

bool writeBack(LibraryDB& db, const std::vector<Cluster>& clusters, const std::vector<size_t>& order) {
    bool changed = false;
    try {
        db.db().transaction([&] {
            std::unordered_map<int64_t, PersonNow> now;
            for (size_t k : order) {
                const Cluster& c = clusters[k];
                if (c.mergedInto >= 0 || (c.newFaces.empty() && c.absorbed.empty())) continue;
                if (writeCluster(db, c, now)) changed = true;
            }
        });
    } catch (const DBError&) {
        // The transaction was rolled back, so nothing of this run was written.
        changed = false;
    }
    return changed;
}

void fillMissingCovers(LibraryDB& db) {
    for (const Person& p : db.loadPersons()) {
        if (!p.coverFaceID) db.setPersonCover(p.id, db.bestFace(p.id));
    }
}

}  // namespace

bool FaceClusterer::run(LibraryDB& db) { return run(db, {}); }

bool FaceClusterer::run(LibraryDB& db, const std::function<void()>& beforeWriteBack) {
    const auto faces = usableFaces(db, false);
    if (faces.empty()) return false;
    auto clusters = buildClusters(db, faces);

    std::vector<const FaceRecord*> deferred;
    std::unordered_map<int64_t, const float*> embeddings;
    for (const FaceRecord& f : faces) {
        if (f.personID || f.locked) continue;
        const float* e = f.embedding.data();
        embeddings.emplace(f.id, e);
        const int k = match(clusters, e);
        if (k >= 0) {
            clusters[size_t(k)].add(e);
            clusters[size_t(k)].giveFace(f.id);
        } else if (f.quality >= T::openQuality) {
            Cluster c;
            c.add(e);
            c.giveFace(f.id);
            clusters.push_back(std::move(c));
        } else {
            deferred.push_back(&f);
        }
    }
    // Faces too poor to found a person may still join one that grew meanwhile.
    for (const FaceRecord* f : deferred) {
        const int k = match(clusters, f->embedding.data());
        if (k < 0) continue;
        clusters[size_t(k)].add(f->embedding.data());
        clusters[size_t(k)].giveFace(f->id);
    }

    reseat(clusters, embeddings);

    const auto order = mergeClusters(clusters);
    if (beforeWriteBack) beforeWriteBack();
    const bool changed = writeBack(db, clusters, order);
    if (changed) fillMissingCovers(db);
    return changed;
}

std::vector<int64_t> FaceClusterer::suggestions(LibraryDB& db, int64_t person, int limit) {
    if (limit <= 0) return {};
    const auto faces = usableFaces(db, true);
    const auto clusters = buildClusters(db, faces);
    auto target = std::find_if(clusters.begin(), clusters.end(), [&](const Cluster& c) { return c.personID == person; });
    if (target == clusters.end()) return {};

    // Two faces of one photo are two people: whoever shares a photo with
    // the person is never offered as the same person, however alike.
    std::unordered_set<int64_t> photos, besides;
    for (const FaceRecord& f : faces)
        if (f.personID == person) photos.insert(f.assetID);
    for (const FaceRecord& f : faces)
        if (f.personID != person && photos.count(f.assetID)) besides.insert(*f.personID);

    std::vector<std::pair<int64_t, float>> kept;
    for (const Cluster& o : clusters) {
        if (o.personID == person || besides.count(*o.personID)) continue;
        const float cos = cosine(*target, o);
        const float link = std::min(target->linkage(o), o.linkage(*target));
        const float score = std::max(cos, link);
        if (score >= T::suggestion) kept.emplace_back(*o.personID, score);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (kept.size() > size_t(limit)) kept.resize(size_t(limit));
    std::vector<int64_t> ids;
    for (const auto& k : kept) ids.push_back(k.first);
    return ids;
}

}  // namespace vintrelle
