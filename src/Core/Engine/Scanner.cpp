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
#include <unordered_map>

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

struct Walker {
    const LibraryEngine::ListingCheck& canList;
    const std::string& base;  // absolute path of the walk's starting folder
    Enumeration out;

    // dirFD is owned by the callee.
    void walk(int dirFD, const std::string& rel, const std::string& absRel) {
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
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) out.failed.push_back(joined(rel, name));
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (isPackageName(name)) continue;
                const std::string childRel = joined(rel, name);
                const std::string childAbs = absRel.empty() ? std::string(name) : absRel + "/" + std::string(name);
                if (canList && !canList(base + "/" + childAbs)) {
                    out.failed.push_back(childRel);
                    continue;
                }
                const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) {
                    if (errno != ENOENT) out.failed.push_back(childRel);
                    continue;
                }
                walk(fd, childRel, childAbs);
                continue;
            }
            if (!S_ISREG(st.st_mode) || st.st_size < 1) continue;
            auto kind = MediaTypes::kindForPath(name);
            if (!kind) continue;
            out.files.push_back({joined(rel, name), *kind, int64_t(st.st_size),
                                 double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9});
        }
        ::closedir(dir);
    }
};

std::string moveKey(const std::string& path, int64_t size, double mtime) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name + "|" + std::to_string(size) + "|" + std::to_string(int64_t(std::trunc(mtime)));
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

Enumeration enumerate(const std::string& directory, const std::string& prefix,
                      const LibraryEngine::ListingCheck& canList) {
    Walker w{canList, directory, {}};
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
    return std::move(w.out);
}

bool EngineCore::scan(bool full, const std::set<std::string>& dirs) {
    if (!rootIsDirectory() || looksUnmounted()) {
        post([](EngineDelegate& d) { d.engineDidGoOffline(); });
        return false;
    }
    report(EngineStatus::scanning());

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
    std::vector<std::string> failed;
    for (const auto& folder : folders) {
        const std::string url = folder.empty() ? paths.root : paths.root + "/" + folder;
        bool statFailed = false;
        if (isDirectory(url, &statFailed)) {
            Enumeration e = enumerate(url, folder, check);
            for (auto& f : e.files) found.emplace(f.path, std::move(f));
            failed.insert(failed.end(), e.failed.begin(), e.failed.end());
        } else if (statFailed) {
            failed.push_back(folder);
        }
        known.merge(db->fileIndex(folder.empty() ? std::nullopt : std::optional<std::string>(folder)));
        if (stopped) return false;
    }

    if (full && found.empty() && known.size() >= 21) {
        post([](EngineDelegate& d) { d.engineDidGoOffline(); });
        return false;
    }
    // The drive may have gone while the folders were listed: what was not
    // found then says nothing about the files.
    if (!rootIsDirectory() || looksUnmounted()) {
        post([](EngineDelegate& d) { d.engineDidGoOffline(); });
        return false;
    }

    std::unordered_map<std::string, FileStat> gone;
    for (const auto& [path, stat] : known) {
        // Below a folder that could not be listed nothing is known to be gone.
        if (!found.count(path) && !underFailed(path, failed)) gone.emplace(path, stat);
    }

    Database& sql = db->db();
    std::vector<FoundFile> newFiles;
    std::vector<WorkItem> work;
    for (const auto& [path, f] : found) {
        auto it = known.find(path);
        if (it == known.end()) {
            newFiles.push_back(f);
            continue;
        }
        const FileStat& s = it->second;
        if (s.size == f.size && std::fabs(s.mtime - f.mtime) <= 1.0) {
            if (!s.done) work.push_back({s.id, f.path, f.kind, f.mtime});
            continue;
        }
        try {
            sql.run("UPDATE assets SET size=?, mtime=?, meta_done=0, faces_done=0, thumb=0 WHERE id=?",
                    {f.size, f.mtime, s.id});
            sql.run("DELETE FROM faces WHERE asset_id=?", {s.id});
        } catch (const DBError&) {
        }
        work.push_back({s.id, f.path, f.kind, f.mtime});
    }

    std::vector<int64_t> moved;
    if (!gone.empty() && !newFiles.empty()) {
        std::unordered_map<std::string, std::vector<std::string>> candidates;
        for (const auto& [path, s] : gone) candidates[moveKey(path, s.size, s.mtime)].push_back(path);
        std::vector<FoundFile> stillNew;
        for (auto& f : newFiles) {
            auto it = candidates.find(moveKey(f.path, f.size, f.mtime));
            if (it == candidates.end() || it->second.empty()) {
                stillNew.push_back(std::move(f));
                continue;
            }
            const std::string from = it->second.back();
            it->second.pop_back();
            const FileStat s = gone.at(from);
            try {
                sql.run("UPDATE assets SET path=? WHERE id=?", {f.path, s.id});
            } catch (const DBError&) {
                stillNew.push_back(std::move(f));
                continue;
            }
            gone.erase(from);
            moved.push_back(s.id);
            if (!s.done) work.push_back({s.id, f.path, f.kind, f.mtime});
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
                    work.push_back({id, f.path, f.kind, f.mtime});
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
