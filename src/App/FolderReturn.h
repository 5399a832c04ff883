#pragma once
// Watching for a library folder that went (deleted, perhaps to be put back
// from a backup, or its drive away) to come back. Nothing is opened while a
// copy is still under way: the watch reports only once what it watches has
// been still for a moment, and the index of a half-copied folder may yet be
// written over by the copy.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <string>
#include <unordered_map>

class QSocketNotifier;

namespace vintrelle {

class FolderReturnWatch final : public QObject {
    Q_OBJECT

public:
    // As long as the folder watcher's latency: a copy pausing longer than
    // this is taken as done.
    static constexpr int kStillMs = 1500;

    // Watches the folder, every folder below it, and a file growing in any of
    // them, and its data folder: a folder put back whole by a copy brings
    // the data folder whenever it comes to it, and may spend minutes in one
    // folder of photos, or on one video, without touching the folder itself.
    explicit FolderReturnWatch(std::string path, QObject* parent = nullptr);
    ~FolderReturnWatch() override;

    const std::string& path() const { return path_; }
    // Whether the folder is there with its own index, in its data folder or
    // in the one kept on this computer for a folder that cannot be written.
    static bool holdsItsIndex(const std::string& path);
    // Whether nothing watched has changed for kStillMs, counting changes
    // made but not reported yet.
    bool isStill();

signals:
    // Nothing watched changed for kStillMs (also right after the watch
    // starts, when nothing changes at all).
    void settled();

private:
    // Watches what is there now: the nearest existing folder at or above the
    // path, or, once the folder is back, all of it and its data folder.
    void arm();
    void watch(const std::string& dir, uint32_t mask);
    void watchTree(const std::string& dir);
    // Takes the changes reported so far; whether there were any.
    bool readChanges();
    void checkStill();

    std::string path_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    // Watch descriptor -> the folder it watches.
    std::unordered_map<int, std::string> watched_;
    // The folder's own watch; -1 while it is not there.
    int folderWatch_ = -1;
    QTimer still_;
    QElapsedTimer sinceChange_;
};

}  // namespace vintrelle
