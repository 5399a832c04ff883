#include "App/FolderReturn.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Core/Index/LibraryPaths.h"

namespace vintrelle {

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where the folder's own index is, without making anything (opening the
// library would make a data folder): its data folder's, or, for a folder this
// user cannot write, the one kept on this computer for it.
std::string indexOf(const std::string& path) {
    const std::string inside = path + "/" + LibraryPaths::kDataFolderName;
    if (isDirectory(inside) || ::access(path.c_str(), W_OK) == 0) return inside + "/library.sqlite";
    return LibraryPaths::applicationSupportLibraries() + "/" + LibraryPaths::fallbackFolderName(path) +
           "/library.sqlite";
}

}  // namespace

FolderReturnWatch::FolderReturnWatch(std::string path, QObject* parent) : QObject(parent), path_(std::move(path)) {
    still_.setSingleShot(true);
    still_.setInterval(kStillMs);
    connect(&still_, &QTimer::timeout, this, &FolderReturnWatch::settled);
    auto changed = [this] {
        arm();
        still_.start();
    };
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    arm();
    still_.start();
}

bool FolderReturnWatch::holdsItsIndex(const std::string& path) {
    return isDirectory(path) && isFile(indexOf(path));
}

void FolderReturnWatch::arm() {
    QStringList wanted;
    std::filesystem::path nearest(path_);
    while (nearest.has_relative_path() && !isDirectory(nearest.string())) nearest = nearest.parent_path();
    wanted << QString::fromStdString(nearest.string());
    if (isDirectory(path_)) {
        const std::string index = indexOf(path_), data = std::filesystem::path(index).parent_path().string();
        if (isDirectory(data)) wanted << QString::fromStdString(data);
        if (isFile(index)) wanted << QString::fromStdString(index);
    }
    // Watched afresh each time: a folder deleted and made again under the
    // same name is another folder to watch.
    const QStringList watched = watcher_.files() + watcher_.directories();
    if (!watched.isEmpty()) watcher_.removePaths(watched);
    watcher_.addPaths(wanted);
}

}  // namespace vintrelle
