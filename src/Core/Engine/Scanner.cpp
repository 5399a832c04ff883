// The folder scan: compares the files on disk with the index and writes the
// differences (changed, moved, removed, new), then hands the files that need
// reading to the processing pass.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "Core/Engine/EngineCore.h"

namespace vintrelle {

namespace {

std::string lowerASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string joined(const std::string& prefix, std::string_view name) {
    return prefix.empty() ? std::string(name) : prefix + "/" + std::string(name);
}

// A folder's modification and change times: any entry added, removed or
// renamed in it, or the folder itself renamed, changes them.
struct Stamp {
    timespec mtime{}, ctime{};
    bool operator==(const Stamp& o) const {
        return mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

Stamp stampOf(const struct stat& st) { return {st.st_mtim, st.st_ctim}; }

struct Walker {
    const LibraryEngine::ListingCheck& canList;
    const std::string& base;  // absolute path of the walk's starting folder
    Enumeration out;
    // Every folder listed: its path relative to base, and its stamp as the
    // listing began.
    struct Listed {
        std::string absRel;
        Stamp stamp;
    };
    std::unordered_map<std::string, Listed> listed;
    // While catching up, the files already found (entries already walked are
    // in out.walked).
    std::unordered_set<std::string> seenFiles;

    // dirFD is owned by the callee.
    void walk(int dirFD, const std::string& rel, const std::string& absRel) {
        struct stat self {};
        if (::fstat(dirFD, &self) == 0) listed[rel] = {absRel, stampOf(self)};
        DIR* dir = ::fdopendir(dirFD);
        if (!dir) {
            ::close(dirFD);
            out.failed.push_back(rel);
            return;
        }
        for (;;) {
            errno = 0;
            dirent* e = ::readdir(dir);
            if (!e) {
                // A read error mid-listing (a failing drive) leaves the rest of
                // the folder unknown.
                if (errno != 0) out.failed.push_back(rel);
                break;
            }
            const std::string_view name = e->d_name;
            // A name that is not UTF-8 (an old archive's Latin-1) is kept as
            // its bytes: the index stores them and the file is read by them.
            if (name.empty() || name[0] == '.') continue;
            if (!seenFiles.empty() && seenFiles.count(joined(rel, name))) continue;
            struct stat st {};
            // An entry gone between the listing and this look (ENOENT) was
            // renamed or moved as much as deleted: nothing known below it is
            // taken for gone.
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                out.failed.push_back(joined(rel, name));
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (isPackageName(name)) continue;
                const std::string childRel = joined(rel, name);
                if (out.walked.count(childRel)) continue;
                const std::string childAbs = absRel.empty() ? std::string(name) : absRel + "/" + std::string(name);
                if (canList && !canList(base + "/" + childAbs)) {
                    out.failed.push_back(childRel);
                    continue;
                }
                const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) {
                    out.failed.push_back(childRel);
                    continue;
                }
                walk(fd, childRel, childAbs);
                continue;
            }
            if (!S_ISREG(st.st_mode)) continue;
            auto kind = MediaTypes::kindForPath(name);
            if (!kind) continue;
            if (st.st_size < 1) out.empty.push_back(joined(rel, name));
            else out.files.push_back({joined(rel, name), *kind, int64_t(st.st_size), modificationTime(st)});
        }
        out.walked.insert(rel);
        ::closedir(dir);
    }

    // Folders whose entries changed after their listing began, so that a
    // folder moved into one already listed, or out of one listed before, may
    // have been missed: they are listed again for what is new in them, a few
    // times while changes go on. Those still changing stay unsettled.
    void catchUp() {
        constexpr int kRounds = 3;
        for (int round = 0;; ++round) {
            std::vector<std::pair<std::string, std::string>> changed;  // rel, absRel
            for (auto it = listed.begin(); it != listed.end();) {
                // The walk's own folder may be reached through a link; the
                // walk follows none below it.
                struct stat st {};
                const bool top = it->second.absRel.empty();
                const std::string path = top ? base : base + "/" + it->second.absRel;
                if ((top ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0 || !S_ISDIR(st.st_mode)) {
                    // Renamed away or deleted: its parent changed too, and
                    // shows where it went.
                    it = listed.erase(it);
                    continue;
                }
                if (!(stampOf(st) == it->second.stamp)) changed.emplace_back(it->first, it->second.absRel);
                ++it;
            }
            if (changed.empty()) return;
            if (round == kRounds) {
                for (auto& [rel, absRel] : changed) out.unsettled.insert(rel);
                return;
            }
            seenFiles.clear();
            for (const FoundFile& f : out.files) seenFiles.insert(f.path);
            for (auto& [rel, absRel] : changed) {
                const int fd = absRel.empty() ? ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                              : ::open((base + "/" + absRel).c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd >= 0) walk(fd, rel, absRel);
            }
            seenFiles.clear();
        }
    }
};

std::string moveKey(const std::string& path, int64_t size, double mtime) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name + "|" + std::to_string(size) + "|" + std::to_string(int64_t(std::trunc(mtime)));
}

// Known not to exist (as opposed to not examinable).
bool isMissing(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool isDirectory(const std::string& path, bool* failed) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    *failed = errno != ENOENT && errno != ENOTDIR;
    return false;
}

}  // namespace

bool isPackageName(std::string_view name) {
    static const char* const extensions[] = {".photoslibrary", ".photolibrary", ".aplibrary", ".migratedphotolibrary",
                                             ".app",           ".bundle",       ".framework", ".plugin"};
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    const std::string ext = lowerASCII(name.substr(dot));
    return std::any_of(std::begin(extensions), std::end(extensions), [&](const char* e) { return ext == e; });
}

bool underFailed(const std::string& path, const std::vector<std::string>& failed) {
    for (const auto& f : failed) {
        if (f.empty() || path == f) return true;
        if (path.size() > f.size() && path.compare(0, f.size(), f) == 0 && path[f.size()] == '/') return true;
    }
    return false;
}

bool underUnsettled(const std::string& path, const Enumeration& e) {
    if (e.unsettled.empty()) return false;
    for (size_t slash = path.rfind('/');; slash = path.rfind('/', slash - 1)) {
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        if (e.walked.count(folder)) return e.unsettled.count(folder) != 0;
        if (slash == std::string::npos || slash == 0) return false;
    }
}

Enumeration enumerate(const std::string& directory, const std::string& prefix,
                      const LibraryEngine::ListingCheck& canList) {
    Walker w{canList, directory, {}, {}, {}};
    if (canList && !canList(directory)) {
        w.out.failed.push_back(prefix);
        return std::move(w.out);
    }
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        w.out.failed.push_back(prefix);
        return std::move(w.out);
    }
    w.walk(fd, prefix, "");
    w.catchUp();
    return std::move(w.out);
}

bool EngineCore::scan(bool full, const std::set<std::string>& requested) {
    if (!libraryPresent()) {
        reportOffline();
        return false;
    }
    report(EngineStatus::scanning());

    // A requested folder that is gone may have been renamed or moved rather
    // than deleted: its nearest existing ancestor is scanned instead, which
    // sees both the rows under the old name and the files under the new one
    // and pairs them as moves.
    std::set<std::string> dirs;
    for (std::string d : requested) {
        while (!d.empty() && isMissing(paths.root + "/" + d)) {
            const size_t slash = d.rfind('/');
            d.resize(slash == std::string::npos ? 0 : slash);
        }
        if (d.empty()) full = true;
        dirs.insert(std::move(d));
    }
    std::vector<std::string> folders;
    if (full) folders.emplace_back();
    else {
        for (const auto& d : dirs) {  // std::set iterates in ascending order
            const bool covered = std::any_of(folders.begin(), folders.end(), [&](const std::string& f) {
                return d == f || (d.size() > f.size() && d.compare(0, f.size(), f) == 0 && d[f.size()] == '/');
            });
            if (!covered) folders.push_back(d);
        }
    }

    LibraryEngine::ListingCheck check;
    {
        std::lock_guard lock(mutex);
        check = listingCheck;
    }
    std::unordered_map<std::string, FoundFile> found;
    std::unordered_map<std::string, FileStat> known;
    std::unordered_set<std::string> empty;
    Enumeration walk;  // where the walks looked, and how it went
    for (const auto& folder : folders) {
        const std::string url = folder.empty() ? paths.root : paths.root + "/" + folder;
        bool statFailed = false;
        if (isDirectory(url, &statFailed)) {
            Enumeration e = enumerate(url, folder, check);
            for (auto& f : e.files) found.emplace(f.path, std::move(f));
            for (auto& path : e.empty) empty.insert(std::move(path));
            walk.failed.insert(walk.failed.end(), e.failed.begin(), e.failed.end());
            walk.walked.merge(e.walked);
            walk.unsettled.merge(e.unsettled);
        } else if (statFailed) {
            walk.failed.push_back(folder);
        }
        known.merge(db->fileIndex(folder.empty() ? std::nullopt : std::optional<std::string>(folder)));
        if (stopped) return false;
    }

    if (full && found.empty() && known.size() >= 21) {
        reportOffline();
        return false;
    }
    // The drive may have gone, or another folder taken the library's place,
    // while the folders were listed: what was not found then says nothing
    // about the files.
    if (!libraryPresent()) {
        reportOffline();
        return false;
    }

    // Below a folder that could not be listed, or whose listing changed while
    // it was read, nothing is known to be gone: such rows are only candidates
    // for moves (a folder renamed during the walk), and a later scan decides.
    // A known file found empty is being written again in place (or was
    // emptied): its row stays as it is, with its favourite, albums and faces,
    // until the file has content again and a scan reads it.
    std::unordered_map<std::string, FileStat> gone, uncertain;
    for (const auto& [path, stat] : known) {
        if (found.count(path) || empty.count(path)) continue;
        if (underFailed(path, walk.failed) || underUnsettled(path, walk)) uncertain.emplace(path, stat);
        else gone.emplace(path, stat);
    }

    Database& sql = db->db();
    bool peopleHeld = false;  // a changed photo showed someone
    std::vector<FoundFile> newFiles;
    std::vector<WorkItem> work;
    for (const auto& [path, f] : found) {
        auto it = known.find(path);
        if (it == known.end()) {
            newFiles.push_back(f);
            continue;
        }
        const FileStat& s = it->second;
        if (s.size == f.size && sameModificationTime(s.mtime, f.mtime)) {
            if (!s.done) work.push_back({s.id, f.path, f.kind, f.mtime, f.size});
            continue;
        }
        // Its faces stay, with their people and locks, until the face pass
        // reads it again and matches what it finds to them; until then they
        // count in no person, as the photo may now show someone else.
        try {
            sql.run("UPDATE assets SET size=?, mtime=?, meta_done=0, faces_done=0, thumb=0 WHERE id=?",
                    {f.size, f.mtime, s.id});
            if (!peopleHeld)
                peopleHeld = sql.scalarInt("SELECT EXISTS(SELECT 1 FROM faces WHERE asset_id=? AND person_id IS "
                                           "NOT NULL)",
                                           {s.id})
                                 .value_or(0) != 0;
        } catch (const DBError&) {
        }
        work.push_back({s.id, f.path, f.kind, f.mtime, f.size});
    }
    if (peopleHeld) post([](EngineDelegate& d) { d.engineDidUpdatePeople(); });

    // Candidates for moves, by move key: rows not found (gone, or uncertain),
    // and rows found under a path that is gone since: a folder moved after it
    // was walked shows up under both names. Rows not found are taken first.
    std::vector<int64_t> moved;
    if (!newFiles.empty()) {
        struct Candidate {
            std::string path;
            FileStat stat;
            bool found;  // found by this scan, and so not in gone or uncertain
        };
        std::unordered_map<std::string, std::vector<Candidate>> candidates;
        std::unordered_set<std::string> wanted;
        for (const auto& f : newFiles) wanted.insert(moveKey(f.path, f.size, f.mtime));
        for (const auto& [path, f] : found) {
            auto k = known.find(path);
            if (k == known.end()) continue;
            std::string key = moveKey(path, f.size, f.mtime);
            if (wanted.count(key)) candidates[key].push_back({path, k->second, true});
        }
        for (auto* rows : {&gone, &uncertain})
            for (const auto& [path, st] : *rows) candidates[moveKey(path, st.size, st.mtime)].push_back({path, st, false});

        std::unordered_map<int64_t, const FoundFile*> relocated;  // found rows moved on
        std::vector<FoundFile> stillNew;
        for (auto& f : newFiles) {
            std::optional<Candidate> from;
            if (auto it = candidates.find(moveKey(f.path, f.size, f.mtime)); it != candidates.end()) {
                while (!from && !it->second.empty()) {
                    Candidate c = std::move(it->second.back());
                    it->second.pop_back();
                    // A copy beside its original is no move.
                    if (!c.found || isMissing(paths.root + "/" + c.path)) from = std::move(c);
                }
            }
            if (!from) {
                stillNew.push_back(std::move(f));
                continue;
            }
            try {
                sql.run("UPDATE assets SET path=? WHERE id=?", {f.path, from->stat.id});
            } catch (const DBError&) {
                stillNew.push_back(std::move(f));
                continue;
            }
            gone.erase(from->path);
            uncertain.erase(from->path);
            moved.push_back(from->stat.id);
            if (from->found) relocated.emplace(from->stat.id, &f);
            else if (!from->stat.done) work.push_back({from->stat.id, f.path, f.kind, f.mtime, f.size});
        }
        for (auto& w : work) {
            if (auto r = relocated.find(w.id); r != relocated.end())
                w = {w.id, r->second->path, r->second->kind, r->second->mtime, r->second->size};
        }
        newFiles.swap(stillNew);
    }

    if (!gone.empty()) {
        std::vector<int64_t> removed;
        removed.reserve(gone.size());
        for (const auto& [path, s] : gone) {
            removed.push_back(s.id);
            ::unlink(paths.thumbURL(s.id).c_str());
            for (const auto& face : db->faces(s.id)) ::unlink(paths.faceURL(face.faceID).c_str());
        }
        db->deleteAssets(removed);
        try {
            sql.run("DELETE FROM persons WHERE id NOT IN "
                    "(SELECT DISTINCT person_id FROM faces WHERE person_id IS NOT NULL)");
        } catch (const DBError&) {
        }
        // Rows the disk had no room to delete are still in the index.
        if (mustHalt()) return false;
        post([removed = std::move(removed)](EngineDelegate& d) {
            d.engineDidRemove(removed);
            d.engineDidUpdatePeople();
        });
    }

    if (!newFiles.empty()) {
        const double added = nowSeconds();
        const size_t before = work.size();
        try {
            sql.transaction([&] {
                for (const auto& f : newFiles) {
                    const int64_t id = sql.insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,?,?,?,?)",
                                                  {f.path, int(f.kind), f.size, f.mtime, added});
                    work.push_back({id, f.path, f.kind, f.mtime, f.size});
                }
            });
        } catch (const DBError&) {
            // The rows were rolled back; their ids may be handed out again, so
            // nothing may be read (or a thumbnail written) under them.
            work.resize(before);
        }
    }

    if (!moved.empty()) {
        auto assets = db->assets(moved);
        post([assets = std::move(assets)](EngineDelegate& d) { d.engineDidUpsert(assets); });
    }
    // A write of this scan failed: nothing more is written or read now, and
    // the next scan finds what is left (new files again, unread rows again).
    if (mustHalt()) return false;

    if (!work.empty()) {
        std::stable_sort(work.begin(), work.end(), [](const WorkItem& a, const WorkItem& b) { return a.path > b.path; });
        process(work);
        pairLivePhotos();
        return true;
    }
    if (!gone.empty() || !moved.empty()) {
        pairLivePhotos();
        return true;
    }
    if (full) pairLivePhotos();
    return false;
}

}  // namespace vintrelle
