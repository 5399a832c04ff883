#pragma once
// The file of the copy of a library's marks, "library.marks" in its data
// folder. A header (the format, the library's identity, how long the base
// is), then records, each checked on its own: first the base, the marks
// whole, then a journal, one record for each change after it, holding the
// rows the change touched and when it was made. A change costs the bytes of
// what it touched; the file is written whole again (a temporary beside it,
// flushed, renamed over it) only once the journal has grown long. However
// the writing ends, what reads is the old state or the new one: a record cut
// short at the end is one never written. A record spoiled in the middle
// loses only itself, and a copy cut short keeps what its start holds.
//
// Only regular files are read, header first, the body only when the header
// is ours and says how long it is, and never more than a bound: whatever
// lies in the copy's place (a pipe, a folder, a huge file of anything), the
// reading ends at once or soon, with what it found.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Index/MarksCopy.h"

namespace vintrelle {

// The copy's file in a library's data folder.
std::string marksCopyPath(const LibraryPaths& paths);

enum class CopyState {
    missing,   // nothing there
    readable,  // whole
    spoiled,   // not all of it reads: what did is in the marks
    newer,     // written by a later Vintrelle: left as it is
    notAFile,  // something other than a file (a folder, a pipe, a link) in its place
};

// Where the copy on the disk stands, as its writer left it: a change is
// added after `end`, to that file and no other.
struct CopyPlace {
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t end = 0;       // bytes that read; anything after them is a write cut short
    uint64_t journal = 0;   // of those, the changes after the base
    uint64_t base = 0;      // the base's bytes
};

struct CopyFile {
    CopyState state = CopyState::missing;
    int format = 0;
    uint64_t identity = 0;  // 0: none said (a copy of the first format)
    double changed = 0;     // the stamp of its last change
    MarkRows rows;          // the first format holds no rows of the index: only `marks`
    Marks marks;
    CopyPlace place;
};

// Never throws.
CopyFile readCopyFile(const std::string& path);
CopyFile readCopyFileIn(int folder);
// The same, as what the rebuild and the tests need.
struct CopyRead {
    CopyState state = CopyState::missing;
    Marks marks;
    uint64_t identity = 0;
};
CopyRead readMarksCopy(const std::string& path);

// Writes the copy whole: the old file, or the new one, whole, however it
// ends. Throws DBError (a disk error, full or read-only; and when something
// other than a file is in its place, which is left there).
CopyPlace writeCopyIn(int folder, uint64_t identity, double changed, const MarkRows& rows);
void writeMarksCopy(const std::string& path, const Marks& marks, uint64_t identity = 0);

// A row a change touched: its value now is what `rows` holds, or it is gone.
struct MarkChange {
    enum class Kind : uint8_t { file = 1, album, person, face, trip };
    Kind kind = Kind::file;
    int64_t id = 0;
    auto operator<=>(const MarkChange&) const = default;
};

// Adds a change to the copy at `place`. Throws CopyMoved when the file there
// is no longer the one written (replaced, removed): its writer must look at
// it again; DBError when the disk refuses (nothing of the change then reads).
struct CopyMoved : std::runtime_error {
    CopyMoved() : std::runtime_error("The copy of the marks is not the file written") {}
};
CopyPlace appendCopyIn(int folder, const CopyPlace& place, double changed, const MarkRows& rows,
                       const std::set<MarkChange>& changes);

// Puts the copy aside under a name of its own ("library-marks-WHY-DATE-TIME.marks")
// and returns that name; nothing when it could not be.
std::string setCopyAsideIn(int folder, std::string_view why);
extern const char* const kSpoiledCopy;  // why: it did not read whole
extern const char* const kOtherCopy;    // why: another library's
void discardUnfinishedCopyIn(int folder);

// Called at each step of writing the copy ("half written", "written",
// "synced", "placed"; "appending", "appended" for a change), so that tests
// can end the process there.
void setMarksWriteHook(std::function<void(std::string_view step)> hook);

}  // namespace vintrelle
