#include "Core/Index/IndexPutBack.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "Core/Index/DataFiles.h"

namespace vintrelle {

namespace {

// The copy while it is written; one left by a copy cut short is written over.
const char* const kPuttingBack = "library-putting-back.sqlite";

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void removeWithJournal(const std::string& file) {
    for (const char* suffix : {"", "-journal"}) ::unlink((file + suffix).c_str());
}

// Gives `from` the name `to` unless something already has it.
void renameIfFree(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int error = errno;
    // A file system that cannot say so in one step.
    if (error == EINVAL || error == ENOSYS) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return;
        }
        error = errno;
    }
    throw fileError(error == EEXIST ? "Another index came in its place" : "Could not name the index", error);
}

}  // namespace

void putIndexBack(Database& db, const LibraryPaths& paths) {
    // Held throughout: nothing is written into the open file between its
    // copy and its closing, and so lost.
    std::lock_guard lock(db.lock());
    const std::string index = paths.databasePath();
    if (struct stat st {}; ::lstat(index.c_str(), &st) == 0) throw fileError("Another index came in its place", EEXIST);
    const bool remade = !isDirectory(paths.dataDir + "/thumbs");
    std::error_code ec;
    if (paths.portable) {
        if (::mkdir(paths.dataDir.c_str(), 0755) != 0 && errno != EEXIST)
            throw fileError("Could not make the data folder again", errno);
    } else {
        std::filesystem::create_directories(paths.dataDir, ec);
    }
    const std::string copy = paths.dataDir + "/" + kPuttingBack;
    removeWithJournal(copy);
    try {
        db.writeCopy(copy);
        if (remade) {
            Database written(copy);
            written.run("UPDATE assets SET meta_done=0");
            written.close();
        }
        ::unlink((copy + "-journal").c_str());
        syncToDisk(copy, false);
        renameIfFree(copy, index);
    } catch (const DBError&) {
        removeWithJournal(copy);
        throw;
    }
    syncToDisk(paths.dataDir, true);
    db.reopen();
}

}  // namespace vintrelle
