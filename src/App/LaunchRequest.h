#pragma once
// What a launch asks to open: the folder after "-library", and the folders
// (paths or file URIs, as the desktop file's %U hands them over) given as
// arguments. Paths are made absolute against the launching process's folder,
// so the request means the same when it is forwarded to a running instance.
// Arguments are bytes, as the system hands them over: a folder's name need
// not be UTF-8, and a path decoded into text would name another folder.

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
    // The request as arguments again, with absolute paths; a path that is
    // not UTF-8 goes as its file URI (see pathText), which reads back the same.
    QStringList toArguments() const;
    bool operator==(const LaunchRequest&) const = default;
};

// `arguments` without the program's name, as bytes. Other options and URIs
// that are not local files are dropped; the path after "-library" may be a
// file URI too.
LaunchRequest parseLaunchArguments(const std::vector<std::string>& arguments, const std::string& workingDir);
// The same for arguments as text: those a later launch hands over.
LaunchRequest parseLaunchArguments(const QStringList& arguments, const QString& workingDir);

}  // namespace vintrelle
