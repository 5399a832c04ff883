#pragma once
// A second copy of what the user made in a library, kept in a small file of
// its own beside the index: the one thing a damaged index cannot give back is
// what no photo holds. Favourites, albums with their order, people's names
// and hidden state with the face prints and boxes of their faces, faces the
// user took out of a person, and trip titles, dismissals and covers, all
// known by the paths of their photos, never by row ids, so that they can be
// put into any index of the same library.
//
// Each file says when its marks last changed: the index in its meta table
// (and, to the second, in its file's header, which a lost meta page leaves),
// the copy with each change it records. The copy is only ever written from
// the index, after the index was stamped, so a copy newer than its index
// means the index lost what it had (put back from an older state, or made
// anew); an index newer than its copy means the copy is yet to follow. Both
// also say which library they belong to: an identity made once, so that an
// index or a copy of another library is never taken for this one's.

#include <chrono>
#include <cstdint>
#include <map>
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

// The same marks as the index holds them, each by its row's id: what the
// copy records row by row, so that a change is written as the rows it
// touched. Rows no mark needs (a photo no longer named by any) may linger
// until the copy is next written whole; marks() leaves them out.
struct MarkRows {
    struct File {
        std::string path;
        int kind = 0;
        int64_t size = 0;
        double mtime = 0, added = 0;
        bool favorite = false;
        bool operator==(const File&) const = default;
    };
    struct Album {
        std::string name;
        double created = 0;
        std::vector<std::pair<int64_t, double>> members;  // photo id, when added
        bool operator==(const Album&) const = default;
    };
    struct Person {  // named or hidden
        std::string name;
        bool hidden = false;
        double created = 0;
        bool operator==(const Person&) const = default;
    };
    struct Face {  // of a person above, or taken out of one
        int64_t asset = 0;
        std::optional<double> x, y, w, h;
        double quality = 0;
        DBBlob embedding;
        int64_t person = 0;  // 0: none
        bool locked = false;
        bool operator==(const Face&) const = default;
    };
    struct Trip {  // renamed, dismissed or given a cover
        std::string title, subtitle;
        std::optional<std::string> customTitle;
        double start = 0, end = 0, lat = 0, lon = 0;
        bool hidden = false;
        int64_t cover = 0;  // 0: none
        bool operator==(const Trip&) const = default;
    };
    std::map<int64_t, File> files;
    std::map<int64_t, Album> albums;
    std::map<int64_t, Person> persons;
    std::map<int64_t, Face> faces;
    std::map<int64_t, Trip> trips;

    Marks marks(double changed = 0) const;
    bool operator==(const MarkRows&) const = default;
    // Made up row ids for marks known only by path (tests, benchmarks).
    static MarkRows of(const Marks& marks);
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
// Marks either lacks of the other, or albums in another order: the two are
// not the same state of what the user made.
bool marksDiffer(const Marks& a, const Marks& b);

// The meta key of the index's stamp.
extern const char* const kMarksChangedKey;
std::optional<double> marksChanged(Database& db);
// Writes the stamp into meta, and a second into the file's header (below).
void setMarksChanged(Database& db, double when);
// The file's header holds a second no earlier than the stamp of any copy
// written from this index (set before the copy is written, and up to
// kStampSecondAhead seconds ahead, so that it is written seldom): an index
// whose meta table no longer reads is still known to be older than a copy of
// a later second, and else is taken to be as new as the copy.
inline constexpr int64_t kStampSecondAhead = 10;
// Writes `when`'s second, kStampSecondAhead ahead; returns what it wrote.
int64_t setMarksChangedSecond(Database& db, double when);
std::optional<int64_t> marksChangedSecond(Database& db);
std::optional<int64_t> indexFileStampSecond(const std::string& indexPath);

// The library's identity, made once and kept in the index and its copy.
extern const char* const kLibraryIdentityKey;
std::optional<uint64_t> libraryIdentity(Database& db);
void setLibraryIdentity(Database& db, uint64_t identity);
uint64_t newLibraryIdentity();

// Of an index and a copy that name different libraries, whether the copy is
// this library's: more of the photos it names are in the library folder than
// of the index's (sampled; the index wins when neither tells). Reads the
// folder: never on the main thread.
bool copyIsThisLibrarys(const LibraryPaths& paths, const std::vector<std::string>& indexPhotos, const Marks& copy);
// Photos an index names, to weigh it by: its marked ones, or else a sample
// of all of them; throws DBError.
std::vector<std::string> photosNamedBy(Database& db, const Marks& marks);

// The marks an index holds; throws DBError. Read a few hundred rows at a
// time, each under the connection's lock on its own, so that the rest of the
// library is never held up for long: a change made meanwhile may show in
// part, and reports itself to be read again.
MarkRows readMarkRows(Database& db);
// The same by path; `changed` is the index's stamp (0 when it has none).
Marks readMarks(Database& db);
// Between the parts of a long reading, the last of which held the
// connection's lock so long: whoever waits for the lock gets it then.
void letOthersIn(std::chrono::steady_clock::duration held = {});

// Refuses to open an index that a crash left empty (a file of no bytes), or
// that is gone while a copy of its marks is there: a new index made there
// would be taken for the library's, and what the user made would be lost
// without a word. Looks only at what the folder says of the files (it runs
// on the main thread: the copy is read by the rebuild, on a thread of its
// own). Throws a damage DBError with one of the messages below.
void refuseEmptiedIndex(const LibraryPaths& paths);
extern const char* const kIndexEmpty;
extern const char* const kIndexMissing;
// The copy could stand in for a missing index, but a later Vintrelle wrote
// it: no index is made without it.
extern const char* const kCopyNewer;

// Puts marks of a copy into an index made from what of a damaged one still
// read, by path. What the index lacks comes from the copy; where both hold a
// value, the copy's is taken only when `copyWins` (the copy is the newer of
// the two), and then, when the copy is whole, it wins whole: marks the index
// holds and the copy does not were taken away since, and go. Otherwise
// members and faces the index holds are never taken away. Photos whose rows
// are made anew wait to be read by the scan; photos given faces are looked
// at again, so their faces are matched to what is found.
// `membersWhole`: the index's albums hold every member they had (a member
// the copy has and the index lacks was taken out since).
struct RestoreRules {
    bool copyWins = false;
    bool membersWhole = false;
    bool copyWhole = false;  // the copy read whole: what it lacks was taken away
};
// How much of the copy went in: marks the index lacked and took.
struct Restored {
    int files = 0;  // rows made for photos the index lost
    int marks = 0;
    std::vector<int64_t> albums;  // made for albums the index lost
};
// `copyRows`: the copy's rows, when the index is the one the copy followed:
// an album the index lost is made again under the id it had there, while no
// album holds it, else under a new one.
Restored restoreMarks(Database& db, const Marks& copy, const RestoreRules& rules,
                      const MarkRows* copyRows = nullptr);

}  // namespace vintrelle
