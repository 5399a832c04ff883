#pragma once
// Photos that left the library, kept for a while with what the user made of
// them. A file moved out of the library folder and back, a folder put back
// from a backup a piece at a time, a photo moved and renamed at once: each
// leaves the index for a moment, and the favourite, album places, faces with
// their people and locks that no photo holds would go with its row for good.
// So a row that leaves is set aside whole, with its faces and album places,
// its thumbnail and face pictures left in the data folder, and a file that
// comes back within kAbsenceKept with the same size, time and first bytes
// takes it back, under its old id where it can. Nothing of an absent photo
// shows meanwhile: its person counts none of its faces, its albums lack it.
//
// Every function here throws DBError and runs inside the caller's
// transaction when one is open.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/Index/Database.h"
#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

// How long a photo that left waits for its file: 30 days, in seconds.
inline constexpr double kAbsenceKept = 30 * 86400.0;

// How many of a file's first bytes its print covers.
inline constexpr size_t kHeadBytes = 4096;
// The print of a file's first bytes (at most kHeadBytes of them).
int64_t headPrint(const uint8_t* bytes, size_t count);

// Records the print of a row's file as it was read with this size and time;
// nothing when the row has another size or time now (the file changed since).
void recordHead(Database& db, int64_t id, int64_t size, double mtime, int64_t head);

// Sets the row of a photo aside, with its faces and album places, and
// deletes it (its faces and album places go with it by cascade).
void setAside(Database& db, int64_t id, double now);

struct AbsentFile {
    int64_t id = 0;
    std::string path;
    int64_t size = 0;
    double mtime = 0;
    std::optional<int64_t> head;  // none when the file was never read
    double leftAt = 0;
    bool marked = false;  // the user made something of it
};
std::vector<AbsentFile> absentFiles(Database& db);

// Whether the user made anything of a row: a favourite, an album place, a
// face with a person or a lock. Copies of one photo are told apart by it.
bool hasMarks(Database& db, int64_t id);

// What of an absent photo's pictures is still in the data folder; looked at
// before the photo is brought back, outside the index's lock.
struct AbsentPictures {
    bool thumbnail = false;  // as it was (or it had none)
    bool faces = false;      // every face's picture
};
AbsentPictures absentPictures(Database& db, const LibraryPaths& paths, int64_t id);

// Makes the row of an absent photo again at `path`, with its faces and its
// places in the albums still there, and forgets it as absent. It keeps its id
// unless another row has it; it is read again when its pictures are not all
// there. Returns its id, and whether it must be read.
struct BroughtBack {
    int64_t id = 0;
    bool read = false;
};
BroughtBack bringBack(Database& db, int64_t id, const std::string& path, const AbsentPictures& pictures);

// Forgets at most `most` of the photos absent since before `before`, and,
// once none is left, the persons only they showed. Returns the ids of their
// rows and faces whose pictures no row of the index uses, and whether more
// are left to forget.
struct Forgotten {
    std::vector<int64_t> assets;
    std::vector<int64_t> faces;
    bool more = false;
};
Forgotten forgetAbsent(Database& db, double before, size_t most);

}  // namespace vintrelle
