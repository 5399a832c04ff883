#pragma once
// An index deleted while its library is open (the file alone, or its whole
// data folder) is still whole in the connection that holds it, with every
// mark the user made since: it is written again at its path from there.

#include "Core/Index/Database.h"
#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

// Writes the index `db` holds open back to paths.databasePath(), making the
// data folder again when it went (never its parents for a portable library,
// whose folder the caller has found standing). A data folder made again has
// lost its thumbnails: every photo is then read anew, its row and marks
// kept. The file takes the path only while nothing stands there. On success
// the connection goes on, on the file written back, nothing having been
// written to the one it held after the copy (which SQLite refuses anyway
// once the file is deleted); throws DBError otherwise, and the connection
// stays as it was.
void putIndexBack(Database& db, const LibraryPaths& paths);

}  // namespace vintrelle
