#pragma once
// A second copy of what the user made in a library, kept in a small file of
// its own beside the index: the one thing a damaged index cannot give back is
// what no photo holds. Favourites, albums with their order, people's names
// and hidden state with the face prints and boxes of their faces, faces the
// user took out of a person, and trip titles, dismissals and covers, all
// known by the paths of their photos, never by row ids, so that they can be
// put into any index of the same library.
//
// Each file says when its marks last changed: the index in its meta table,
// the copy in its header. The copy is only ever written from the index, in
// the same transaction that stamps the index, so a copy newer than its index
// means the index lost what it had (put back from an older state, or made
// anew); an index newer than its copy means the copy is yet to follow.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Index/Database.h"
#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

// A photo some mark names, with what the scan needs to take its row for the
// file's own (or for a move of it) when the row has to be made anew.
struct MarkedFile {
    std::string path;
    int kind = 0;
    int64_t size = 0;
    double mtime = 0;
    double added = 0;
    bool favorite = false;
    bool operator==(const MarkedFile&) const = default;
};

struct MarkedFace {
    std::string path;
    std::optional<double> x, y, w, h;
    double quality = 0;
    DBBlob embedding;
    bool operator==(const MarkedFace&) const = default;
};

struct MarkedAlbum {
    struct Member {
        std::string path;
        double added = 0;  // orders the album
        bool operator==(const Member&) const = default;
    };
    std::string name;
    double created = 0;  // with the name, what tells albums apart
    std::vector<Member> members;
    bool operator==(const MarkedAlbum&) const = default;
};

// A person the user named or hid, with every face of theirs.
struct MarkedPerson {
    std::string name;
    bool hidden = false;
    double created = 0;
    std::vector<MarkedFace> faces;
    bool operator==(const MarkedPerson&) const = default;
};

// A trip the user renamed, dismissed or gave a cover, known by its span as
// the trip pass knows it.
struct MarkedTrip {
    std::string title;
    std::string subtitle;
    std::optional<std::string> customTitle;
    double start = 0, end = 0, lat = 0, lon = 0;
    bool hidden = false;
    std::optional<std::string> cover;  // the cover photo's path
    bool operator==(const MarkedTrip&) const = default;
};

struct Marks {
    double changed = 0;  // when these marks last changed, seconds since 1970
    std::vector<MarkedFile> files;  // sorted by path, one each
    std::vector<MarkedAlbum> albums;
    std::vector<MarkedPerson> persons;
    std::vector<MarkedFace> locked;  // faces taken out of a person
    std::vector<MarkedTrip> trips;

    const MarkedFile* file(std::string_view path) const;
    bool empty() const;
    // Equal marks, whenever they were made.
    bool sameAs(const Marks& other) const;
};

// How many of one set of marks another lacks: favourites not marked there,
// albums missing or not whole, names nobody bears, and the rest (people
// hidden, faces taken out of a person, trip edits).
struct MarksLacking {
    int favorites = 0;
    int albums = 0;
    int names = 0;
    int other = 0;
    bool any() const { return favorites + albums + names + other > 0; }
};
MarksLacking lacking(const Marks& wanted, const Marks& held);

// The meta key of the index's stamp.
extern const char* const kMarksChangedKey;
std::optional<double> marksChanged(Database& db);
void setMarksChanged(Database& db, double when);

// The marks an index holds; throws DBError. Read a few thousand rows at a
// time, each under the connection's lock on its own, so that the rest of the
// library is never held up for long: a change made meanwhile may show in
// part, and reports itself to be read again. `changed` is the index's stamp
// (0 when it has none).
Marks readMarks(Database& db);

// The copy's file in a library's data folder.
std::string marksCopyPath(const LibraryPaths& paths);

enum class CopyState {
    missing,   // no copy (or a spoiled one, which holds nothing to keep)
    readable,
    newer,     // written by a later Vintrelle: left as it is
};
struct CopyRead {
    CopyState state = CopyState::missing;
    Marks marks;
};
// Never throws: a copy that does not read whole is missing.
CopyRead readMarksCopy(const std::string& path);

// Writes the copy so that the file is always either the previous copy or the
// new one, whole: a temporary beside it, flushed to the disk, then renamed
// over it. Throws DBError (a disk error, full or read-only) when it cannot.
void writeMarksCopy(const std::string& path, const Marks& marks);

// The same in a data folder held open (a descriptor of it): the copy goes
// beside the index it follows even when another folder was mounted over the
// library's path since it opened. And the temporary a write cut short left.
CopyRead readMarksCopyIn(int folder);
void writeMarksCopyIn(int folder, const Marks& marks);
void discardUnfinishedCopyIn(int folder);

// The payload as written (without the stamp), and its digest: what tells
// whether the marks changed since the copy was written.
std::string encodeMarks(const Marks& marks);
uint64_t marksDigest(std::string_view payload);

// Called at each step of writing the copy ("half written", "written",
// "synced", "placed"), so that tests can end the process there.
void setMarksWriteHook(std::function<void(std::string_view step)> hook);

// Refuses to open an index that a crash left empty (a file of no bytes), or
// that is gone while the copy holds marks: a new index made there would be
// taken for the library's, and what the user made would be lost without a
// word. Throws a damage DBError with one of the messages below.
void refuseEmptiedIndex(const LibraryPaths& paths);
extern const char* const kIndexEmpty;
extern const char* const kIndexMissing;

// Puts marks of a copy into an index made from what of a damaged one still
// read, by path. What the index lacks comes from the copy; where both hold a
// value, the copy's is taken only when `copyWins` (the copy is the newer of
// the two). Members and faces the index holds are never taken away. Photos
// whose rows are made anew wait to be read by the scan; photos given faces
// are looked at again, so their faces are matched to what is found.
// `membersWhole`: the index's albums hold every member they had (a member
// the copy has and the index lacks was taken out since).
struct RestoreRules {
    bool copyWins = false;
    bool membersWhole = false;
};
// How much of the copy went in: marks the index lacked and took.
struct Restored {
    int files = 0;  // rows made for photos the index lost
    int marks = 0;
    std::vector<int64_t> albums;  // made for albums the index lost
};
Restored restoreMarks(Database& db, const Marks& copy, const RestoreRules& rules);

}  // namespace vintrelle
