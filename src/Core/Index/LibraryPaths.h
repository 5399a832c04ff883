#pragma once
// Where a library's data folder lives and its fixed layout.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Core/Index/Models.h"

namespace vintrelle {

struct LibraryPaths {
    // The data folder's name inside a library that keeps it there.
    static constexpr const char* kDataFolderName = ".vintrelle";

    std::string root;     // the library folder
    std::string dataDir;  // the data folder
    bool portable = false;

    // Whether a folder may be written. Tests replace it: they run as root,
    // which ignores file modes.
    using WritableCheck = std::function<bool(const std::string&)>;

    // Chooses the data folder and makes its whole layout, working inside the
    // library folder only through one descriptor of it: the data folder is
    // made there without parents, so a library folder that vanishes midway
    // (a drive pulled, its mount point emptied or removed) is never made
    // again, on whatever disk holds its path. Nothing, and nothing made
    // anywhere, when the library folder is not there: its drive is away.
    static std::optional<LibraryPaths> setUp(const std::string& root, const WritableCheck& writable = {});
    // setUp's choice alone, for a folder that may be away: then the data
    // folder's place inside it, unmade.
    static LibraryPaths resolve(const std::string& root, const WritableCheck& writable = {});
    // Makes the layout again (safe at any time); never makes the data folder
    // of a portable library, whose absence means its drive is away.
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

    // Whether a folder that can be listed holds nothing but, at most, a data
    // folder: no photo, and what a library left in it when opened there.
    static bool holdsNothingButData(const std::string& folder);

    static std::string fallbackFolderName(std::string_view path);
    // $XDG_DATA_HOME (or ~/.local/share) + "/Vintrelle/Libraries"
    static std::string applicationSupportLibraries();
    static const char* const readmeText;
};

}  // namespace vintrelle
