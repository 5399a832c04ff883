#pragma once
// A library's index whose file is damaged: finding out, and making it again.
// The damaged file is never deleted: it stays in the data folder under a name
// of its own, and the new index takes over the user's own data (favourites,
// albums, people and their names, trips) from whatever rows of it still read,
// wherever in the file they lie.

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Core/Base/MainQueue.h"
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
// their paths, albums by their ids or when they were made, people by their
// names: rows the copy of the marks puts back take new ids.
struct UserMade {
    struct MadeAlbum {
        int64_t id = 0;
        std::string name;
        std::vector<std::string> paths;  // in the album's order
        double created = 0;
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
    std::string keptPath;                // the damaged file's name now; empty when there was none
    std::map<std::string, int> carried;  // rows taken over, by table
    bool complete = false;               // every row of the damaged file found
    // What the user made that the new index lacks, once the copy of the
    // marks has put back what it holds: counted against what the library
    // showed (when known; a mark a newer copy no longer holds was taken away
    // since, and is not lost), and else, without a copy, for albums, from
    // members whose photo or album was lost. An album is lost when it did
    // not come back under its own name.
    int lostFavorites = 0;
    int lostAlbums = 0;
    int lostNames = 0;
    // Parts of the file were lost that may have held what the user made
    // beyond what was counted, and no copy of the marks as new as the index
    // stood in for them: hidden people, faces moved or locked, trip titles
    // or dismissals, or, without the window's lists or a copy, anything.
    bool uncounted = false;
    // Not one row of what the user made read, and no copy of the marks was
    // there to put it back.
    bool nothingRead = false;
    // Marks the copy put back that the damaged file no longer held.
    int fromCopy = 0;
    // Albums that came back without some of their photos, and how many
    // photos they lack in all.
    int incompleteAlbums = 0;
    int missingMembers = 0;
    // Favourites, albums and names were counted against the window's lists:
    // only what the window never lists may be missing besides.
    bool listsCounted = false;
    // The copy of the marks did not read whole: what did was put back, and
    // it is kept aside under `copyKeptPath`, as another library's copy is.
    bool copySpoiled = false;
    std::string copyKeptPath;
    std::string copyAside;  // why it goes aside, while the rebuild runs
};

// Pages looked at and pages in all, as the rebuild goes; false stops it.
using RebuildProgress = std::function<bool(uint64_t done, uint64_t total)>;

// A rebuild asked to stop: nothing changed.
struct RebuildStopped : std::runtime_error {
    RebuildStopped() : std::runtime_error("The rebuild was stopped.") {}
};

// Makes a new index beside the library's damaged one from every row of it
// that still reads, with each photo marked to be read again from its file,
// fills in from the copy of the marks what the file no longer held (the
// newer of the two winning where both hold a value), and only then puts it
// in the damaged one's place, keeping the damaged file under another name:
// however the process ends meanwhile, the library has either the damaged
// index, as it was, or the whole new one. Holds the library's lock
// meanwhile: throws DBError with LibraryLock::heldElsewhere when another
// process has the library open, DBError when the new index cannot be
// written, and RebuildStopped when `progress` said to stop (nothing has
// changed then).
IndexRebuild rebuildIndex(const LibraryPaths& paths, const UserMade* made = nullptr,
                          const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

// A rebuild on a thread of its own, so that the window stays usable
// meanwhile: its progress and its end come through the main queue.
class RebuildWorker {
public:
    struct Outcome {
        std::optional<IndexRebuild> done;  // none when it failed
        std::exception_ptr failure;
    };
    // `progress` gets the latest figures now and then (never more than one
    // report waits in the queue); `finished` comes once, last. Neither is
    // called once stop() was.
    RebuildWorker(LibraryPaths paths, std::optional<UserMade> made, MainPoster post,
                  std::function<void(uint64_t done, uint64_t total)> progress, std::function<void(Outcome)> finished);
    // stop() with its usual bound.
    ~RebuildWorker();
    RebuildWorker(const RebuildWorker&) = delete;
    RebuildWorker& operator=(const RebuildWorker&) = delete;

    // Stops the rebuild at its next look at the flag, leaving the damaged
    // index as it was, and waits at most `bound` for it to end: true when
    // it did (else it ends by itself, owning what it uses).
    bool stop(std::chrono::milliseconds bound = std::chrono::seconds(5));
    const std::string& library() const { return library_; }

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::string library_;
};

// Refuses to open an index that is no file (a folder, say, in its place):
// SQLite would say only that it cannot be opened, and the rebuild that
// brings its marks back from their copy would never be offered. Throws a
// damage DBError with the message below.
void refuseIndexNotAFile(const LibraryPaths& paths);
extern const char* const kIndexNotAFile;

// Takes away what a rebuild that was cut short left in the data folder.
// Needs the library's lock.
void discardUnfinishedRebuild(const LibraryPaths& paths);

// Called at each step of a rebuild with the step's name ("carrying TABLE"
// as rows of a table come, "built", "kept", "journal kept", "placed"), so
// that tests can end the process there, and with "stop asked" on the thread
// that stops a RebuildWorker; none by default.
void setRebuildStepHook(std::function<void(std::string_view step)> hook);

}  // namespace vintrelle
