// The folder scan: compares the files on disk with the index and writes the
// differences (changed, moved, removed, new), then hands the files that need
// reading to the processing pass.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "Core/Engine/EngineCore.h"
#include "Core/Index/AbsentFiles.h"

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

using Clock = std::chrono::steady_clock;

// How long one transaction of a scan may hold the index (its commit comes on
// top): the window's own queries wait meanwhile. Steps that take a few
// microseconds each run at least kStepsTogether together, so a few hundred
// moves are seen all at once or not at all; those that take a row and its
// faces and album places apart (or put them together again) are bound by the
// time alone, as a thousand of them may take far longer on a slow disk.
constexpr auto kLongestHold = std::chrono::milliseconds(50);
constexpr size_t kStepsTogether = 1000;

// Calls step(i) for each i below n in as few transactions as keep each one's
// hold on the index short, with at least `together` steps in each, and lets
// whoever waits for the index in between. A step returns false when its own
// statement failed (what it would have changed stays as it was; ok says
// which), and throws for a failure of the whole (the disk): its transaction is
// rolled back and the rest is not run. Returns how many steps were committed,
// in order.
size_t inShortTransactions(Database& db, size_t n, size_t together, const std::function<bool(size_t)>& step,
                           std::vector<char>* ok = nullptr) {
    if (ok) ok->assign(n, 0);
    size_t committed = 0;
    while (committed < n) {
        size_t end = committed;
        try {
            db.transaction([&] {
                end = committed;
                const auto until = Clock::now() + kLongestHold;
                do {
                    const bool fine = step(end);
                    if (ok) (*ok)[end] = fine;
                    ++end;
                } while (end < n && (end - committed < together || Clock::now() < until));
            });
        } catch (const DBError&) {
            if (ok) std::fill(ok->begin() + std::ptrdiff_t(committed), ok->end(), 0);
            return committed;
        }
        committed = end;
        // Else this thread takes the lock again before a waiting one wakes.
        if (committed < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return committed;
}

// The print of a file's first bytes, when it still has this size and time.
std::optional<int64_t> readHead(const std::string& path, int64_t size, double mtime) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<int64_t> out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size &&
        sameModificationTime(modificationTime(st), mtime)) {
        uint8_t bytes[kHeadBytes];
        const size_t want = size_t(std::min<int64_t>(size, int64_t(kHeadBytes)));
        size_t got = 0;
        while (got < want) {
            const ssize_t r = ::pread(fd, bytes + got, want - got, off_t(got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += size_t(r);
        }
        if (got == want) out = headPrint(bytes, got);
    }
    ::close(fd);
    return out;
}

// At least this long is spent in a scan on reading the first bytes of files
// whose rows have no print (indexed before prints were kept, or their
// reading cut short): more when the scan read files for longer.
constexpr Clock::duration kPrintingTime = std::chrono::seconds(2);

// Records the prints of as many of these rows' files as `budget` allows;
// the rest wait for later scans.
void printFiles(Database& sql, const std::string& root, const std::vector<WorkItem>& rows, Clock::duration budget,
                const std::atomic<bool>& stopped) {
    const auto until = Clock::now() + budget;
    std::vector<std::pair<const WorkItem*, int64_t>> prints;
    for (const WorkItem& w : rows) {
        if (stopped || Clock::now() >= until) break;
        if (auto head = readHead(root + "/" + w.path, w.size, w.mtime)) prints.emplace_back(&w, *head);
    }
    inShortTransactions(sql, prints.size(), kStepsTogether, [&](size_t i) {
        const WorkItem& w = *prints[i].first;
        recordHead(sql, w.id, w.size, w.mtime, prints[i].second);
        return true;
    });
}

// Photos absent for longer than they are waited for are forgotten, with
// their pictures, a few hundred at a time.
void forgetLongAbsent(Database& sql, const LibraryPaths& paths, const std::atomic<bool>& stopped) {
    const double before = nowSeconds() - kAbsenceKept;
    try {
        if (!sql.scalarInt("SELECT EXISTS(SELECT 1 FROM absent_assets WHERE left_at < ?)", {before}).value_or(0))
            return;
        for (bool more = true; more && !stopped;) {
            const Forgotten gone = forgetAbsent(sql, before, 500);
            for (int64_t id : gone.assets) ::unlink(paths.thumbURL(id).c_str());
            for (int64_t id : gone.faces) ::unlink(paths.faceURL(id).c_str());
            more = gone.more;
        }
    } catch (const DBError&) {
    }
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
    forgetLongAbsent(sql, paths, stopped);

    bool peopleHeld = false;  // a changed photo showed someone
    std::vector<FoundFile> newFiles;
    std::vector<WorkItem> work;
    std::vector<WorkItem> unprinted;  // rows whose files' first bytes are not known as they are now
    std::vector<std::pair<const FoundFile*, const FileStat*>> changed;
    for (const auto& [path, f] : found) {
        auto it = known.find(path);
        if (it == known.end()) {
            newFiles.push_back(f);
            continue;
        }
        const FileStat& s = it->second;
        if (s.size == f.size && sameModificationTime(s.mtime, f.mtime)) {
            if (!s.done) work.push_back({s.id, f.path, f.kind, f.mtime, f.size});
            if (!s.head) unprinted.push_back({s.id, f.path, f.kind, s.mtime, s.size});
            continue;
        }
        changed.emplace_back(&f, &s);
    }
    // Its faces stay, with their people and locks, until the face pass reads
    // it again and matches what it finds to them; until then they count in
    // no person, as the photo may now show someone else. A failed update
    // still has it read: the next scan finds it changed again.
    inShortTransactions(sql, changed.size(), kStepsTogether, [&](size_t i) {
        const auto [f, s] = changed[i];
        sql.run("UPDATE assets SET size=?, mtime=?, meta_done=0, faces_done=0, thumb=0 WHERE id=?",
                {f->size, f->mtime, s->id});
        if (!peopleHeld)
            peopleHeld = sql.scalarInt("SELECT EXISTS(SELECT 1 FROM faces WHERE asset_id=? AND person_id IS NOT NULL)",
                                       {s->id})
                             .value_or(0) != 0;
        return true;
    });
    for (const auto& [f, s] : changed) {
        work.push_back({s->id, f->path, f->kind, f->mtime, f->size});
        unprinted.push_back(work.back());
    }
    if (peopleHeld) post([](EngineDelegate& d) { d.engineDidUpdatePeople(); });

    // Prints of the first bytes of new files, read when needed, once each.
    std::unordered_map<std::string, std::optional<int64_t>> heads;
    auto headOfNew = [&](const FoundFile& f) {
        auto [it, inserted] = heads.try_emplace(f.path);
        if (inserted) it->second = readHead(paths.root + "/" + f.path, f.size, f.mtime);
        return it->second;
    };

    // Moves: rows not found (gone, or uncertain), and rows found under a path
    // that is gone since (a folder moved after it was walked shows up under
    // both names), taken by new files of the same name, size and time, or
    // else of the same size, time and first bytes (moved and renamed at
    // once). Rows not found are taken first.
    std::vector<int64_t> moved;
    if (!newFiles.empty()) {
        struct Candidate {
            std::string path;
            FileStat stat;
            bool found;  // found by this scan, and so not in gone or uncertain
        };
        std::unordered_map<std::string, std::vector<Candidate>> byKey;
        std::unordered_set<std::string> wanted;
        for (const auto& f : newFiles) wanted.insert(moveKey(f.path, f.size, f.mtime));
        for (const auto& [path, f] : found) {
            auto k = known.find(path);
            if (k == known.end()) continue;
            std::string key = moveKey(path, f.size, f.mtime);
            if (wanted.count(key)) byKey[key].push_back({path, k->second, true});
        }
        std::unordered_map<int64_t, std::vector<Candidate>> bySize;  // not found, with a print
        for (auto* rows : {&gone, &uncertain}) {
            for (const auto& [path, st] : *rows) {
                byKey[moveKey(path, st.size, st.mtime)].push_back({path, st, false});
                if (st.head) bySize[st.size].push_back({path, st, false});
            }
        }
        // Copies of one photo share a key and a print: one the user made
        // something of is taken before one with nothing to lose by waiting.
        std::unordered_map<int64_t, bool> markedRows;
        auto marked = [&](const Candidate& c) {
            auto [it, inserted] = markedRows.try_emplace(c.stat.id);
            if (inserted) it->second = hasMarks(sql, c.stat.id);
            return it->second;
        };
        for (auto& [key, rows] : byKey) {
            if (rows.size() < 2 || !wanted.count(key)) continue;
            std::stable_sort(rows.begin(), rows.end(), [&](const Candidate& a, const Candidate& b) {
                return std::pair(!a.found, !a.found && marked(a)) < std::pair(!b.found, !b.found && marked(b));
            });
        }
        std::unordered_set<int64_t> taken;
        auto takeByKey = [&](const FoundFile& f) -> std::optional<Candidate> {
            auto it = byKey.find(moveKey(f.path, f.size, f.mtime));
            if (it == byKey.end()) return std::nullopt;
            while (!it->second.empty()) {
                Candidate c = std::move(it->second.back());
                it->second.pop_back();
                // A copy beside its original is no move.
                if (!taken.count(c.stat.id) && (!c.found || isMissing(paths.root + "/" + c.path))) return c;
            }
            return std::nullopt;
        };
        auto takeByPrint = [&](const FoundFile& f) -> std::optional<Candidate> {
            auto it = bySize.find(f.size);
            if (it == bySize.end()) return std::nullopt;
            std::vector<Candidate>& rows = it->second;
            auto fits = [&](const Candidate& c) {
                return !taken.count(c.stat.id) && sameModificationTime(c.stat.mtime, f.mtime);
            };
            if (std::none_of(rows.begin(), rows.end(), fits)) return std::nullopt;
            const std::optional<int64_t> head = headOfNew(f);
            if (!head) return std::nullopt;
            auto best = rows.end();
            for (auto c = rows.begin(); c != rows.end(); ++c)
                if (fits(*c) && c->stat.head == head && (best == rows.end() || (!marked(*best) && marked(*c))))
                    best = c;
            if (best == rows.end()) return std::nullopt;
            Candidate out = std::move(*best);
            rows.erase(best);
            return out;
        };
        std::vector<std::pair<FoundFile, Candidate>> planned;
        for (const auto& take : {std::function<std::optional<Candidate>(const FoundFile&)>(takeByKey),
                                 std::function<std::optional<Candidate>(const FoundFile&)>(takeByPrint)}) {
            std::vector<FoundFile> left;
            for (auto& f : newFiles) {
                if (std::optional<Candidate> from = take(f)) {
                    taken.insert(from->stat.id);
                    planned.emplace_back(std::move(f), std::move(*from));
                } else {
                    left.push_back(std::move(f));
                }
            }
            newFiles.swap(left);
        }

        // A failed move (its new path taken meanwhile) leaves the file new.
        std::vector<char> ok;
        inShortTransactions(
            sql, planned.size(), kStepsTogether,
            [&](size_t i) {
                try {
                    sql.run("UPDATE assets SET path=? WHERE id=?", {planned[i].first.path, planned[i].second.stat.id});
                } catch (const DBError& e) {
                    if (e.kind() != DBError::Kind::other) throw;
                    return false;
                }
                return true;
            },
            &ok);
        std::unordered_map<int64_t, const FoundFile*> relocated;  // found rows moved on
        for (size_t i = 0; i < planned.size(); ++i) {
            auto& [f, from] = planned[i];
            if (!ok[i]) {
                newFiles.push_back(f);
                continue;
            }
            gone.erase(from.path);
            uncertain.erase(from.path);
            moved.push_back(from.stat.id);
            if (from.found) {
                relocated.emplace(from.stat.id, &f);
                continue;
            }
            const WorkItem item{from.stat.id, f.path, f.kind, f.mtime, f.size};
            if (!from.stat.done) work.push_back(item);
            if (!from.stat.head) unprinted.push_back({item.id, item.path, item.kind, from.stat.mtime, from.stat.size});
        }
        for (auto* items : {&work, &unprinted}) {
            for (auto& w : *items)
                if (auto r = relocated.find(w.id); r != relocated.end()) w.path = r->second->path;
        }
    }

    // What leaves the index is set aside with what the user made of it, in
    // case its file comes back (AbsentFiles.h); its pictures stay meanwhile.
    if (!gone.empty()) {
        std::vector<int64_t> leaving;
        leaving.reserve(gone.size());
        for (const auto& [path, s] : gone) leaving.push_back(s.id);
        const double now = nowSeconds();
        const size_t left = inShortTransactions(sql, leaving.size(), 1, [&](size_t i) {
            setAside(sql, leaving[i], now);
            return true;
        });
        leaving.resize(left);
        try {
            sql.run(LibraryDB::deleteFacelessPersons);
        } catch (const DBError&) {
        }
        if (!leaving.empty()) {
            post([removed = std::move(leaving)](EngineDelegate& d) {
                d.engineDidRemove(removed);
                d.engineDidUpdatePeople();
            });
        }
        // Rows the disk had no room to set aside are still in the index.
        if (mustHalt()) return false;
    }

    // New files that are photos which left the index a while ago take back
    // their rows, with what the user made of them.
    std::vector<int64_t> cameBack;
    if (!newFiles.empty()) {
        std::unordered_map<int64_t, std::vector<AbsentFile>> absent;  // by size
        try {
            for (AbsentFile& a : absentFiles(sql)) absent[a.size].push_back(std::move(a));
        } catch (const DBError&) {
        }
        // Every file each absent photo could be, best first: at its old path
        // before any copy elsewhere, then under its old name, then one the
        // user made something of, then the last to leave.
        struct Fit {
            size_t file;
            AbsentFile* row;
        };
        std::vector<Fit> fits;
        for (size_t i = 0; i < newFiles.size(); ++i) {
            const FoundFile& f = newFiles[i];
            auto it = absent.find(f.size);
            if (it == absent.end()) continue;
            for (AbsentFile& a : it->second) {
                if (!sameModificationTime(a.mtime, f.mtime)) continue;
                // A file never read is known by its path alone.
                if (a.head ? a.head != headOfNew(f) : a.path != f.path) continue;
                fits.push_back({i, &a});
            }
        }
        auto rank = [&](const Fit& fit) {
            const std::string& path = newFiles[fit.file].path;
            const AbsentFile& a = *fit.row;
            const bool sameName = path.substr(path.rfind('/') + 1) == a.path.substr(a.path.rfind('/') + 1);
            return std::tuple(a.path == path, sameName, a.marked, a.leftAt, -a.id);
        };
        std::stable_sort(fits.begin(), fits.end(), [&](const Fit& x, const Fit& y) { return rank(x) > rank(y); });
        std::vector<std::pair<FoundFile, AbsentFile>> returning;
        std::vector<char> matched(newFiles.size(), 0);
        std::unordered_set<int64_t> takenBack;
        for (const Fit& fit : fits) {
            if (matched[fit.file] || !takenBack.insert(fit.row->id).second) continue;
            matched[fit.file] = 1;
            returning.emplace_back(newFiles[fit.file], *fit.row);
        }
        std::vector<FoundFile> stillNew;
        for (size_t i = 0; i < newFiles.size(); ++i)
            if (!matched[i]) stillNew.push_back(std::move(newFiles[i]));
        newFiles.swap(stillNew);

        std::vector<AbsentPictures> pictures;
        for (const auto& [f, a] : returning) {
            try {
                pictures.push_back(absentPictures(sql, paths, a.id));
            } catch (const DBError&) {
                pictures.push_back({});
            }
        }
        std::vector<BroughtBack> back(returning.size());
        const size_t done = inShortTransactions(sql, returning.size(), 1, [&](size_t i) {
            back[i] = bringBack(sql, returning[i].second.id, returning[i].first.path, pictures[i]);
            return true;
        });
        // Those not brought back stay as they are, and are found new again
        // by the next scan.
        for (size_t i = 0; i < done; ++i) {
            const FoundFile& f = returning[i].first;
            if (!back[i].id) {
                newFiles.push_back(f);
                continue;
            }
            const WorkItem item{back[i].id, f.path, f.kind, f.mtime, f.size};
            if (back[i].read) work.push_back(item);
            else cameBack.push_back(back[i].id);
            if (!returning[i].second.head) unprinted.push_back(item);
        }
        if (done > 0) {
            auto assets = db->assets(cameBack);
            post([assets = std::move(assets)](EngineDelegate& d) {
                if (!assets.empty()) d.engineDidUpsert(assets);
                d.engineDidUpdateAlbums();
                d.engineDidUpdatePeople();
            });
        }
    }

    if (!newFiles.empty()) {
        const double added = nowSeconds();
        const size_t before = work.size(), unprintedBefore = unprinted.size();
        try {
            sql.transaction([&] {
                for (const auto& f : newFiles) {
                    const int64_t id = sql.insert("INSERT INTO assets(path, kind, size, mtime, added) VALUES(?,?,?,?,?)",
                                                  {f.path, int(f.kind), f.size, f.mtime, added});
                    work.push_back({id, f.path, f.kind, f.mtime, f.size});
                    auto head = heads.find(f.path);
                    if (head != heads.end() && head->second) recordHead(sql, id, f.size, f.mtime, *head->second);
                    else unprinted.push_back(work.back());
                }
            });
        } catch (const DBError&) {
            // The rows were rolled back; their ids may be handed out again, so
            // nothing may be read (or a thumbnail written) under them.
            work.resize(before);
            unprinted.resize(unprintedBefore);
        }
    }

    if (!moved.empty()) {
        auto assets = db->assets(moved);
        post([assets = std::move(assets)](EngineDelegate& d) { d.engineDidUpsert(assets); });
    }
    // A write of this scan failed: nothing more is written or read now, and
    // the next scan finds what is left (new files again, unread rows again).
    if (mustHalt()) return false;

    const auto started = Clock::now();
    bool result = false;
    if (!work.empty()) {
        std::stable_sort(work.begin(), work.end(), [](const WorkItem& a, const WorkItem& b) { return a.path > b.path; });
        process(work);
        pairLivePhotos();
        result = true;
    } else if (!gone.empty() || !moved.empty() || !cameBack.empty()) {
        pairLivePhotos();
        result = true;
    } else if (full) {
        pairLivePhotos();
    }
    // The files just read are read first: their first bytes are at hand.
    std::unordered_set<int64_t> read;
    for (const WorkItem& w : work) read.insert(w.id);
    std::stable_partition(unprinted.begin(), unprinted.end(), [&](const WorkItem& w) { return read.count(w.id); });
    printFiles(sql, paths.root, unprinted, std::max<Clock::duration>(kPrintingTime, (Clock::now() - started) / 4),
               stopped);
    return result;
}

}  // namespace vintrelle
