#pragma once
// What a launch asks to open: the folder after "-library", and the folders
// (paths or file URIs, as the desktop file's %U hands them over) given as
// arguments. Paths are made absolute against the launching process's folder,
// so the request means the same when it is forwarded to a running instance.

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace vintrelle {

struct LaunchRequest {
    std::optional<std::string> library;  // "-library PATH"; "-library" last means none
    std::vector<std::string> folders;    // in order, not yet checked for being folders

    bool empty() const { return !library && folders.empty(); }
    // The request as arguments again, with absolute paths.
    QStringList toArguments() const;
    bool operator==(const LaunchRequest&) const = default;
};

// `arguments` without the program's name. Other options and URIs that are not
// local files are dropped.
LaunchRequest parseLaunchArguments(const QStringList& arguments, const QString& workingDir);

}  // namespace vintrelle
