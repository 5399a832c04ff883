#pragma once
// The files a library's data folder holds beside its index: their failures,
// said the way SQLite's are, and flushing them to the disk.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "Core/Index/Database.h"

namespace vintrelle {

// A failure of the file system (an errno) as a DBError of the matching kind:
// a full disk, one that may not be written, or one that failed.
DBError fileError(const std::string& what, int error);

// Flushes a file, or a folder's entries, to the disk; failures are ignored.
void syncToDisk(const std::string& path, bool folder);

// The steps of writing files that must never be left half done, where tests
// end the process to see that they are not; nothing is called by default.
class StepHook {
public:
    void set(std::function<void(std::string_view step)> hook);
    void operator()(std::string_view step) const;

private:
    mutable std::mutex mutex_;
    std::function<void(std::string_view)> hook_;
};

}  // namespace vintrelle
