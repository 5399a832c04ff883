#include "App/PortableLibraries.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "App/MountTable.h"
#include "App/VolumeName.h"

namespace vintrelle {
namespace {

constexpr int kLevels = 4;
constexpr size_t kEntriesPerFolder = 200;
constexpr const char* kMarker = "/.vintrelle";

bool hasMarker(const std::string& dir) {
    struct stat st {};
    return ::lstat((dir + kMarker).c_str(), &st) == 0;
}

std::vector<std::string> visibleEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    if (names.size() > kEntriesPerFolder) names.resize(kEntriesPerFolder);
    return names;
}

// A drive's root sits on another device than its parent folder.
bool isVolumeRoot(const std::string& dir) { return dir == "/" || isOnDeviceOfItsOwn(dir); }

std::string parentOf(const std::string& dir) {
    size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return dir.substr(0, slash);
}

std::string trimmed(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

bool travelsOnDrive(const std::string& appDir, const std::string& homeDir, const std::string& userName) {
    const std::string d = trimmed(appDir);
    if (d.empty() || d[0] != '/' || pathIsOnMount(d, trimmed(homeDir))) return false;
    const std::optional<std::string> drive = volumeRoot(d, userName);
    return drive && isVolumeRoot(*drive);
}

std::vector<std::string> findPortableLibraries(const std::string& appDir, const std::string& homeDir,
                                               const std::string& userName) {
    if (!travelsOnDrive(appDir, homeDir, userName)) return {};
    return librariesAround(appDir, homeDir);
}

std::vector<std::string> librariesAround(const std::string& dir, const std::string& homeDir) {
    std::vector<std::string> found;
    std::string d = trimmed(dir);
    if (d.empty() || d[0] != '/') return found;
    const std::string home = trimmed(homeDir);
    auto add = [&](std::string at) {
        if (std::find(found.begin(), found.end(), at) == found.end()) found.push_back(std::move(at));
    };
    for (int level = 0; level < kLevels; ++level) {
        if (d == "/" || d == home) break;
        if (hasMarker(d)) add(d);
        for (const auto& name : visibleEntries(d)) {
            std::string entry = d + "/" + name;
            if (hasMarker(entry)) add(std::move(entry));
        }
        if (isVolumeRoot(d)) break;
        d = parentOf(d);
    }
    return found;
}

}  // namespace vintrelle
