#pragma once
// Groups the stored face embeddings into people, and proposes people that
// may be the same person. Stateless: every call rebuilds its clusters from
// the index and keeps nothing.

#include <cstdint>
#include <functional>
#include <vector>

namespace vintrelle {

class LibraryDB;

class FaceClusterer {
public:
    FaceClusterer() = delete;

    // Clusters every stored face and writes the result back in one
    // transaction; true when at least one person was written.
    static bool run(LibraryDB& db);

    // As run, with beforeWriteBack called after the index was read and
    // before the write-back transaction begins: the window in which the
    // user may rename or merge people meanwhile.
    static bool run(LibraryDB& db, const std::function<void()>& beforeWriteBack);

    // Person ids that may be the same person as `person`, best first, at most `limit`.
    static std::vector<int64_t> suggestions(LibraryDB& db, int64_t person, int limit);
};

}  // namespace vintrelle
