#pragma once
// Watching for a library folder that went (deleted, perhaps to be put back
// from a backup, or its drive away) to come back. Nothing is opened while a
// copy is still under way: the watch reports only once the folder, its data
// folder and its index have been still for a moment, and the index of a
// half-copied folder may yet be written over by the copy.

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <string>

namespace vintrelle {

class FolderReturnWatch final : public QObject {
    Q_OBJECT

public:
    // As long as the folder watcher's latency: a copy pausing longer between
    // two files of the data folder is taken as done.
    static constexpr int kStillMs = 1500;

    explicit FolderReturnWatch(std::string path, QObject* parent = nullptr);

    const std::string& path() const { return path_; }
    // Whether the folder is there with its own index, in its data folder or
    // in the one kept on this computer for a folder that cannot be written.
    static bool holdsItsIndex(const std::string& path);

signals:
    // Nothing watched changed for kStillMs (also right after the watch
    // starts, when nothing changes at all).
    void settled();

private:
    // Watches what is there now: the nearest existing folder at or above the
    // path, and, once the folder is back, its data folder and index.
    void arm();

    std::string path_;
    QFileSystemWatcher watcher_;
    QTimer still_;
};

}  // namespace vintrelle
