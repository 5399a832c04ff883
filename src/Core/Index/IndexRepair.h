#pragma once
// A library's index whose file is damaged: finding out, and making it again.
// The damaged file is never deleted: it is moved aside within the data
// folder, and the new index takes over the user's own data (favourites,
// albums, people and their names, trips) from whatever rows of it still read.

#include <map>
#include <string>

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

struct IndexRebuild {
    std::string keptPath;              // where the damaged file is now
    std::map<std::string, int> carried;  // rows taken over, by table
    bool complete = false;             // every row of the damaged file read
};

// Moves the library's damaged index aside and makes a new one holding every
// row of it that still reads, with each photo marked to be read again from
// its file. Holds the library's lock meanwhile: throws DBError with
// LibraryLock::heldElsewhere when another process has the library open, and
// DBError when the new index cannot be written (the damaged file is then
// back in its place, as it was).
IndexRebuild rebuildIndex(const LibraryPaths& paths);

}  // namespace vintrelle
