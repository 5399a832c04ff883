#pragma once
// Where a library's data folder lives and its fixed layout.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Core/Index/Models.h"

namespace vintrelle {

struct LibraryPaths {
    std::string root;     // the library folder
    std::string dataDir;  // the data folder
    bool portable = false;

    // Whether a folder may be written. Tests replace it: they run as root,
    // which ignores file modes.
    using WritableCheck = std::function<bool(const std::string&)>;

    static LibraryPaths resolve(const std::string& root, const WritableCheck& writable = {});
    void prepare() const;

    // The file of a path stored in the index (relative, "/"-separated), or
    // nothing when the stored path could reach outside the library folder:
    // absolute, with a ".." step, empty, or holding a NUL byte. The index
    // travels with the drive and anyone can edit it, so such a path is taken
    // as unreadable by everything that opens, shows or copies a file.
    std::optional<std::string> fileOf(std::string_view relativePath) const;
    static bool isContainedPath(std::string_view relativePath);

    std::string thumbURL(int64_t id) const;
    std::string faceURL(int64_t id) const;
    std::string databasePath() const { return dataDir + "/library.sqlite"; }

    static std::string fallbackFolderName(std::string_view path);
    // $XDG_DATA_HOME (or ~/.local/share) + "/Vintrelle/Libraries"
    static std::string applicationSupportLibraries();
    static const char* const readmeText;
};

}  // namespace vintrelle
