#pragma once
// A library folder with its index in a temporary folder, driven by a real
// engine whose reports are recorded: what the engine tests share.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Engine/ReadJournal.h"
#include "Core/Engine/ReaderProcess.h"
#include "fixtures/TempDir.h"
#include "fixtures/MediaFixtures.h"
#include "fixtures/Patience.h"

namespace enginetest {

using namespace vintrelle;
namespace fs = std::filesystem;

struct Recorder : EngineDelegate {
    std::vector<std::string> log;
    std::map<int64_t, Asset> upserted;
    std::vector<int64_t> removed;
    int offline = 0;
    EngineStatus last = EngineStatus::idle();

    void engineDidUpsert(const std::vector<Asset>& list) override {
        log.push_back("upsert");
        for (const auto& a : list) upserted[a.id] = a;
    }
    void engineDidRemove(const std::vector<int64_t>& ids) override {
        log.push_back("remove");
        removed.insert(removed.end(), ids.begin(), ids.end());
    }
    void engineDidUpdateTrips() override { log.push_back("trips"); }
    void engineDidUpdatePeople() override { log.push_back("people"); }
    void engineDidUpdateAlbums() override { log.push_back("albums"); }
    std::function<void(const EngineStatus&)> onStatus;
    void engineDidChangeStatus(const EngineStatus& s) override {
        if (onStatus) onStatus(s);
        last = s;
        if (s.kind != EngineStatus::Kind::idle) halt.reset();
        static const char* const names[] = {"scanning", "indexing", "faces", "idle"};
        log.push_back(names[int(s.kind)]);
    }
    void engineDidGoOffline() override {
        ++offline;
        log.push_back("offline");
    }
    std::vector<EngineHalt> halts;
    std::optional<EngineHalt> halt;  // as the store keeps it: until the engine goes on
    void engineDidHalt(EngineHalt why) override {
        halts.push_back(why);
        halt = why;
        log.push_back("halt");
    }
    bool saw(const std::string& what) const { return std::find(log.begin(), log.end(), what) != log.end(); }
};

inline void setMTime(const std::string& path, double seconds) {
    timespec times[2];
    times[0].tv_sec = time_t(seconds);
    times[0].tv_nsec = long((seconds - double(time_t(seconds))) * 1e9);
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A stand-in for the reader of suspects at path: a shell script that runs
// the shell commands `first` (the file to read is "$3") and then the real
// reader, as a real process that really dies of the signals it sends itself.
inline std::string standInReader(const std::string& path, const std::string& first) {
    fixtures::writeFile(path, "#!/bin/sh\nulimit -c 0\n" + first + "\nexec '" + ReaderProcess::besideThisProgram() +
                                  "' \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// Shell commands for a stand-in that run as the reader turns to the file:
// how they end the reader counts as the file's reading.
inline std::string whileReading(const std::string& commands) {
    const std::string_view line = ReaderProcess::readingLine;
    return "echo " + std::string(line.substr(0, line.size() - 1)) + "\n" + commands;
}

// A library folder with its index in a temporary folder.
struct Library {
    fixtures::TempDir dir;
    std::string root = dir / "Lib";
    LibraryPaths paths;
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    std::unique_ptr<LibraryEngine> engine;

    Library() {
        fs::create_directories(root);
        open();
    }
    void open() {
        engine.reset();
        db.reset();
        paths = LibraryPaths::resolve(root);
        paths.prepare();
        db = std::make_shared<LibraryDB>(paths.databasePath());
        engine = std::make_unique<LibraryEngine>(paths, db, rec, mainQueue.poster());
        // These tests are about scanning; the face pass has its own.
        engine->setFacesEnabled(false);
    }
    std::string file(const std::string& rel, const std::string& bytes = "not really a picture", double mtime = 0) {
        const std::string p = root + "/" + rel;
        fixtures::writeFile(p, bytes);
        if (mtime > 0) setMTime(p, mtime);
        return p;
    }
    // Idle; with `retried`, also past the runs the engine starts by itself
    // for files that wait to be read again.
    void waitIdle(bool retried = false) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(fixtures::patientMs);
        for (;;) {
            mainQueue.waitAndDrain(20);
            if (!engine->isRunning() && mainQueue.drain() == 0 && rec->last.kind == EngineStatus::Kind::idle &&
                !(retried && rec->halt == EngineHalt::readAgainLater))
                return;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "engine never went idle";
        }
    }
    void fullScan() {
        rec->log.clear();
        engine->requestScan(true, {});
        waitIdle();
    }
    // A partial scan of the folders of the given absolute paths, as the watcher asks.
    void scan(const std::vector<std::string>& changed) {
        rec->log.clear();
        engine->requestScan(false, changed);
        waitIdle();
    }
    // What a kill while these files were read leaves: their rows unread and
    // their ids in flight; then the library opened again. Ids by name.
    std::map<std::string, int64_t> leftInFlight(const std::vector<std::string>& names) {
        engine->stop();
        engine.reset();
        std::map<std::string, int64_t> ids;
        std::vector<int64_t> reading;
        for (const std::string& name : names) {
            ids[name] = db->db().insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,0,?,?,1)",
                                        {name, int64_t(fs::file_size(root + "/" + name)), 1.0});
            reading.push_back(ids[name]);
        }
        ReadJournal(paths.dataDir).mayRead(reading);
        open();
        return ids;
    }
    struct RowView {
        int64_t id;
        bool done;
        bool favorite;
        int thumb;
    };
    std::map<std::string, RowView> rows() {
        std::map<std::string, RowView> out;
        db->db().forEachRow("SELECT path, id, meta_done, favorite, thumb FROM assets", {}, [&](const Row& r) {
            out[r.text(0)] = {r.int64(1), r.int64(2) != 0, r.int64(3) != 0, int(r.int64(4))};
        });
        return out;
    }
    // A processed row that matches a file on disk, as an earlier run left it.
    int64_t seedProcessed(const std::string& rel, MediaKind kind, double duration = 0) {
        const std::string p = file(rel, "bytes of " + rel, 1'600'000'000);
        struct stat st {};
        ::stat(p.c_str(), &st);
        const int64_t id = db->db().insert(
            "INSERT INTO assets(path, kind, size, mtime, added, duration, meta_done, thumb) VALUES(?,?,?,?,0,?,1,1)",
            {rel, int(kind), int64_t(st.st_size), 1'600'000'000.0, duration});
        return id;
    }
};

// A library on a "drive" with its index elsewhere, reached through a link so
// that a test can put an empty folder on another file system in its place,
// as an unplugged drive leaves its mount point behind.
struct DriveLibrary {
    fixtures::TempDir dir;
    std::string drive = dir / "drive";
    std::string link = dir / "Photos";
    std::string emptyMountPoint;
    LibraryPaths paths;
    std::shared_ptr<LibraryDB> db;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    std::unique_ptr<LibraryEngine> engine;

    // False when /dev/shm is not a file system of its own.
    bool open() {
        struct stat tmpStat {}, shmStat {};
        if (::stat("/dev/shm", &shmStat) != 0 || ::stat(dir.path().c_str(), &tmpStat) != 0 ||
            shmStat.st_dev == tmpStat.st_dev)
            return false;
        char shmTemplate[] = "/dev/shm/vintrelle-test-XXXXXX";
        if (!::mkdtemp(shmTemplate)) return false;
        emptyMountPoint = shmTemplate;
        fs::create_directories(drive);
        fs::create_directory_symlink(drive, link);
        fs::create_directories(dir / "index");
        paths = LibraryPaths{link, dir / "index", false};
        paths.prepare();
        db = std::make_shared<LibraryDB>(paths.databasePath());
        engine = std::make_unique<LibraryEngine>(paths, db, rec, mainQueue.poster());
        return true;
    }
    ~DriveLibrary() {
        engine.reset();
        if (!emptyMountPoint.empty()) fs::remove(emptyMountPoint);
    }
    void unplug() {
        fs::remove(link);
        fs::create_directory_symlink(emptyMountPoint, link);
    }
    void plugIn() {
        fs::remove(link);
        fs::create_directory_symlink(drive, link);
    }
    // The drive back as a folder of another inode, as a FAT drive numbers
    // its folders afresh at every mount.
    void plugInRenumbered() {
        const std::string again = drive + "-again";
        fs::create_directory(again);
        for (const auto& e : fs::directory_iterator(drive)) fs::rename(e.path(), again / e.path().filename());
        fs::remove(drive);
        fs::rename(again, drive);
        plugIn();
    }
    void waitIdle() {
        for (int i = 0; i < 3000; ++i) {
            mainQueue.waitAndDrain(20);
            if (!engine->isRunning() && mainQueue.drain() == 0 && rec->last.kind == EngineStatus::Kind::idle) return;
        }
        FAIL() << "engine never went idle";
    }
    void fullScan() {
        engine->requestScan(true, {});
        waitIdle();
    }
};

}  // namespace enginetest
