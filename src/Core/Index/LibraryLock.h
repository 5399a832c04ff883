#pragma once
// One process at a time works on a library. Two indexers on one library (two
// computers sharing its drive, a tool beside the application) would each take
// the other's files in flight for files that crashed a decoder, so whoever
// opens a library first holds an advisory lock on a file in its data folder
// until it closes the library; a second opener is refused.

#include <string>

namespace vintrelle {

class LibraryLock {
public:
    static const char* const fileName;  // in the data folder
    static const char* const heldElsewhere;  // the refusal's message

    // Takes the lock, or throws DBError with heldElsewhere when another open
    // library holds it. A file system without locks, or a data folder that
    // cannot be written (opening the index then fails with its own reason),
    // leaves the library unlocked rather than unopenable.
    explicit LibraryLock(const std::string& dataDir);
    ~LibraryLock();
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;

    void release();

private:
    int fd_ = -1;
};

}  // namespace vintrelle
