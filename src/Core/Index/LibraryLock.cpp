#include "Core/Index/LibraryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "Core/Index/Database.h"

namespace vintrelle {

const char* const LibraryLock::fileName = "library.lock";
const char* const LibraryLock::heldElsewhere = "This library is open in another Vintrelle.";

LibraryLock::LibraryLock(const std::string& dataDir) {
    const std::string path = dataDir + "/" + fileName;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return;
    // flock, not fcntl: SQLite's own POSIX locks on the index belong to the
    // process, and a second fcntl lock by it would neither block nor be seen.
    int rc;
    while ((rc = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0) return;
    const bool held = errno == EWOULDBLOCK;
    release();
    if (held) throw DBError(heldElsewhere);
}

LibraryLock::~LibraryLock() { release(); }

void LibraryLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the lock
    fd_ = -1;
}

}  // namespace vintrelle
