#pragma once
// Keeps the second copy of an open library's marks (MarksCopy.h, MarksFile.h)
// following its index, on a thread of its own: a change is written a moment
// after it was made, with the changes that came meanwhile, as the rows it
// touched, and only from an index that SQLite's check found sound. The index
// itself says which rows changed: the connection notes them as they are
// written, whoever writes them, so that finding out costs nothing when
// nothing changed. Nothing is ever written from an index that lost marks the
// copy holds, holds marks taken away since, or is another library's:
// opening such an index marks it damaged, so that the library offers to make
// it again from what both still hold.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

class LibraryDB;

class MarksKeeper {
public:
    static constexpr std::chrono::milliseconds kDelay{1000};
    // A copy that could not be written is tried again this often.
    static constexpr std::chrono::milliseconds kRetry{30000};

    MarksKeeper(std::shared_ptr<LibraryDB> db, const LibraryPaths& paths, std::chrono::milliseconds delay = kDelay);
    // close() with its usual bound.
    ~MarksKeeper();
    MarksKeeper(const MarksKeeper&) = delete;
    MarksKeeper& operator=(const MarksKeeper&) = delete;

    // Once, as the library opens: checks the index, compares the copy with
    // it, and writes the copy at once where it is missing or behind.
    void open();
    // The marks may have changed: the copy follows within the delay.
    void changed();
    // Writes what is waiting, then ends the thread, waiting at most `bound`
    // (after which the thread is left to end by itself: its index is about
    // to close, and it writes nothing more then).
    void close(std::chrono::milliseconds bound = std::chrono::seconds(5));

    // How the copy fares, for tests and the probe.
    enum class Standing {
        unknown,       // not opened yet, or the index could not be checked
        kept,          // the copy follows the index
        indexLost,     // the index lacks marks the copy holds, or holds marks taken away since
        otherLibrary,  // the index is another library's
        unsound,       // the index is damaged, or the copy is a later Vintrelle's
    };
    Standing standing() const;
    // Why the copy does not follow the index, when it cannot be written.
    enum class Fault {
        none,
        diskFull,
        unwritable,  // the disk refused for another reason
        notAFile,    // something other than a file is in its place
        newer,       // a later Vintrelle's copy is there
    };
    Fault fault() const;
    // Called on the keeper's thread whenever standing() or fault() change;
    // it must not wait for anything.
    void setObserver(std::function<void()> observer);

    // Waits until the opening has judged the index (or the keeper closes, or
    // `bound` passes): what the library's first scan writes into an index
    // must not make another library's index look like this one's.
    std::function<void()> untilJudged(std::chrono::milliseconds bound = std::chrono::minutes(2)) const;
    // Blocks until nothing waits to be written (or `bound` passes); true
    // when nothing waits.
    bool waitIdle(std::chrono::milliseconds bound) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace vintrelle
