#include "Core/Index/DataFiles.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vintrelle {

DBError fileError(const std::string& what, int error) {
    int code = SQLITE_IOERR;
    if (error == ENOSPC || error == EDQUOT) code = SQLITE_FULL;
    else if (error == EACCES || error == EPERM || error == EROFS) code = SQLITE_READONLY;
    return DBError(what + ": " + std::strerror(error), code);
}

void syncToDisk(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void StepHook::set(std::function<void(std::string_view)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void StepHook::operator()(std::string_view step) const {
    std::function<void(std::string_view)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    if (hook) hook(step);
}

}  // namespace vintrelle
