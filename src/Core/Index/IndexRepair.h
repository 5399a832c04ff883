#pragma once
// A library's index whose file is damaged: finding out, and making it again.
// The damaged file is never deleted: it stays in the data folder under a name
// of its own, and the new index takes over the user's own data (favourites,
// albums, people and their names, trips) from whatever rows of it still read,
// wherever in the file they lie.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

enum class IndexHealth {
    sound,
    damaged,
    unknown,  // the check could not run (the file busy or gone): nothing is known
};

// SQLite's quick check of an index file, on a read-only connection of its
// own, so that the open library's connection stays free meanwhile.
IndexHealth checkIndexFile(const std::string& path);

// What the user had made, as the library showed it before its index was
// made again: the new index is measured against it. Photos are known by
// their paths, albums and people by their ids, which the new index keeps.
struct UserMade {
    struct MadeAlbum {
        int64_t id = 0;
        std::string name;
        std::vector<std::string> paths;  // in the album's order
    };
    struct Name {
        int64_t person = 0;
        std::string name;
    };
    std::vector<std::string> favorites;
    std::vector<MadeAlbum> albums;
    std::vector<Name> names;
};

struct IndexRebuild {
    std::string keptPath;                // the damaged file's name now
    std::map<std::string, int> carried;  // rows taken over, by table
    bool complete = false;               // every row of the damaged file found
    // What the user made that the new index lacks: counted against what the
    // library showed (when known), and, for albums, from members whose photo
    // or album was lost.
    int lostFavorites = 0;
    int lostAlbums = 0;
    int lostNames = 0;
    // Parts of the file were lost that may have held what the user made
    // beyond what was counted: hidden photos or people, faces moved or
    // locked, trip titles or dismissals, or, without the window's lists,
    // anything.
    bool uncounted = false;
};

// Makes a new index beside the library's damaged one from every row of it
// that still reads, with each photo marked to be read again from its file,
// and only then puts it in the damaged one's place, keeping the damaged file
// under another name: however the process ends meanwhile, the library has
// either the damaged index, as it was, or the whole new one. Holds the
// library's lock meanwhile: throws DBError with LibraryLock::heldElsewhere
// when another process has the library open, and DBError when the new index
// cannot be written (nothing has changed then).
IndexRebuild rebuildIndex(const LibraryPaths& paths, const UserMade* made = nullptr);

// Takes away what a rebuild that was cut short left in the data folder.
// Needs the library's lock.
void discardUnfinishedRebuild(const LibraryPaths& paths);

// Called at each step of a rebuild with the step's name ("carrying TABLE"
// as rows of a table come, "built", "kept", "journal kept", "placed"), so
// that tests can end the process there; none by default.
void setRebuildStepHook(std::function<void(std::string_view step)> hook);

}  // namespace vintrelle
