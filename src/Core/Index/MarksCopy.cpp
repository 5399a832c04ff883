#include "Core/Index/MarksCopy.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "Core/Index/MarksFile.h"

namespace vintrelle {

const char* const kMarksChangedKey = "marksChanged";
const char* const kLibraryIdentityKey = "libraryIdentity";
const char* const kIndexEmpty = "Its index is empty, as a power cut can leave it.";
const char* const kIndexMissing = "Its index is missing.";
const char* const kCopyNewer =
    "Its index is missing, and the copy of its favourites and albums was written by a newer Vintrelle.";

namespace {

// A copy that holds nothing: its header and, in the first format, five
// empty lists.
constexpr int64_t kEmptyCopyBytes = 68;

// ---- matching marks ------------------------------------------------------------------

// Two boxes of one photo are the same face when they overlap by half of
// what they cover together; faces without a box match only each other.
double overlapOf(const MarkedFace& a, std::optional<double> x, std::optional<double> y, std::optional<double> w,
                 std::optional<double> h) {
    if (!a.x || !a.y || !a.w || !a.h || !x || !y || !w || !h) {
        const bool noneA = !a.x && !a.y && !a.w && !a.h, noneB = !x && !y && !w && !h;
        return noneA && noneB ? 1.0 : 0.0;
    }
    const double ix = std::max(0.0, std::min(*a.x + *a.w, *x + *w) - std::max(*a.x, *x));
    const double iy = std::max(0.0, std::min(*a.y + *a.h, *y + *h) - std::max(*a.y, *y));
    const double both = ix * iy;
    const double all = *a.w * *a.h + *w * *h - both;
    return all > 0 ? both / all : 0.0;
}
constexpr double kSameFace = 0.5;

bool sameFace(const MarkedFace& a, const MarkedFace& b) {
    return a.path == b.path && overlapOf(a, b.x, b.y, b.w, b.h) >= kSameFace;
}

bool holdsFace(const std::vector<MarkedFace>& faces, const MarkedFace& f) {
    return std::any_of(faces.begin(), faces.end(), [&](const MarkedFace& g) { return sameFace(f, g); });
}

// The trip of `trips` whose span shares most with [start, end], as the trip
// pass matches a trip found again to the one it had.
template <class T>
const T* overlapping(const std::vector<T>& trips, double start, double end) {
    const T* best = nullptr;
    double most = 0;
    for (const T& t : trips) {
        const double shared = std::min(t.end, end) - std::max(t.start, start);
        if (shared >= 0 && (!best || shared > most)) {
            best = &t;
            most = shared;
        }
    }
    return best;
}

// Puts members in the album's order.
void sortMembers(std::vector<MarkedAlbum::Member>& members) {
    std::sort(members.begin(), members.end(), [](const MarkedAlbum::Member& x, const MarkedAlbum::Member& y) {
        return x.added < y.added || (x.added == y.added && x.path < y.path);
    });
}

}  // namespace

// ---- marks -----------------------------------------------------------------------------

const MarkedFile* Marks::file(std::string_view path) const {
    const auto it = std::lower_bound(files.begin(), files.end(), path,
                                     [](const MarkedFile& f, std::string_view p) { return f.path < p; });
    return it != files.end() && it->path == path ? &*it : nullptr;
}

bool Marks::empty() const {
    return albums.empty() && persons.empty() && locked.empty() && trips.empty() &&
           std::none_of(files.begin(), files.end(), [](const MarkedFile& f) { return f.favorite; });
}

bool Marks::sameAs(const Marks& other) const {
    return files == other.files && albums == other.albums && persons == other.persons && locked == other.locked &&
           trips == other.trips;
}

Marks MarkRows::marks(double changed) const {
    Marks m;
    m.changed = changed;
    // The photos marks name, by path; a row naming a photo the rows lack
    // (a copy that did not read whole) names nothing.
    std::vector<int64_t> named;
    auto pathOf = [&](int64_t id) -> const std::string* {
        const auto it = files.find(id);
        if (it == files.end()) return nullptr;
        named.push_back(id);
        return &it->second.path;
    };
    for (const auto& [id, f] : files)
        if (f.favorite) named.push_back(id);

    std::vector<std::pair<const Album*, int64_t>> byCreation;
    for (const auto& [id, a] : albums) byCreation.emplace_back(&a, id);
    std::stable_sort(byCreation.begin(), byCreation.end(),
                     [](const auto& x, const auto& y) { return x.first->created < y.first->created; });
    for (const auto& [a, id] : byCreation) {
        MarkedAlbum& album = m.albums.emplace_back(MarkedAlbum{a->name, a->created, {}});
        for (const auto& [asset, added] : a->members)
            if (const std::string* path = pathOf(asset)) album.members.push_back({*path, added});
        sortMembers(album.members);
    }

    std::map<int64_t, size_t> person;
    for (const auto& [id, p] : persons) {
        if (p.name.empty() && !p.hidden) continue;
        person[id] = m.persons.size();
        m.persons.push_back(MarkedPerson{p.name, p.hidden, p.created, {}});
    }
    for (const auto& [id, f] : faces) {
        const auto owner = person.find(f.person);
        if (!f.locked && owner == person.end()) continue;
        const std::string* path = pathOf(f.asset);
        if (!path) continue;
        MarkedFace face{*path, f.x, f.y, f.w, f.h, f.quality, f.embedding};
        if (f.locked) m.locked.push_back(std::move(face));
        else m.persons[owner->second].faces.push_back(std::move(face));
    }
    // A person without a face is no person the window shows.
    std::erase_if(m.persons, [](const MarkedPerson& p) { return p.faces.empty(); });

    std::vector<std::pair<const Trip*, int64_t>> byStart;
    for (const auto& [id, t] : trips) byStart.emplace_back(&t, id);
    std::stable_sort(byStart.begin(), byStart.end(),
                     [](const auto& x, const auto& y) { return x.first->start < y.first->start; });
    for (const auto& [t, id] : byStart) {
        const std::string* cover = t->cover ? pathOf(t->cover) : nullptr;
        if (!t->customTitle && !t->hidden && !cover) continue;
        m.trips.push_back(MarkedTrip{t->title, t->subtitle, t->customTitle, t->start, t->end, t->lat, t->lon, t->hidden,
                                     cover ? std::optional(*cover) : std::nullopt});
    }

    std::sort(named.begin(), named.end());
    named.erase(std::unique(named.begin(), named.end()), named.end());
    m.files.reserve(named.size());
    for (const int64_t id : named) {
        const File& f = files.at(id);
        m.files.push_back(MarkedFile{f.path, f.kind, f.size, f.mtime, f.added, f.favorite});
    }
    std::sort(m.files.begin(), m.files.end(), [](const MarkedFile& a, const MarkedFile& b) {
        return a.path < b.path || (a.path == b.path && a.favorite > b.favorite);
    });
    // One each: two rows of one path only come of a copy read in part.
    m.files.erase(std::unique(m.files.begin(), m.files.end(),
                              [](const MarkedFile& a, const MarkedFile& b) { return a.path == b.path; }),
                  m.files.end());
    return m;
}

MarkRows MarkRows::of(const Marks& marks) {
    MarkRows rows;
    std::unordered_map<std::string, int64_t> ids;
    auto idOf = [&](const std::string& path) {
        const auto [it, fresh] = ids.try_emplace(path, int64_t(ids.size()) + 1);
        if (fresh) {
            const MarkedFile* f = marks.file(path);
            rows.files[it->second] = f ? File{f->path, f->kind, f->size, f->mtime, f->added, f->favorite} : File{path};
        }
        return it->second;
    };
    for (const MarkedFile& f : marks.files) idOf(f.path);
    int64_t next = 1;
    for (const MarkedAlbum& a : marks.albums) {
        Album& album = rows.albums[next++] = Album{a.name, a.created, {}};
        for (const MarkedAlbum::Member& member : a.members) album.members.emplace_back(idOf(member.path), member.added);
    }
    int64_t face = 1;
    auto addFace = [&](const MarkedFace& f, int64_t person, bool locked) {
        rows.faces[face++] = Face{idOf(f.path), f.x, f.y, f.w, f.h, f.quality, f.embedding, person, locked};
    };
    next = 1;
    for (const MarkedPerson& p : marks.persons) {
        rows.persons[next] = Person{p.name, p.hidden, p.created};
        for (const MarkedFace& f : p.faces) addFace(f, next, false);
        ++next;
    }
    for (const MarkedFace& f : marks.locked) addFace(f, 0, true);
    next = 1;
    for (const MarkedTrip& t : marks.trips)
        rows.trips[next++] = Trip{t.title, t.subtitle, t.customTitle, t.start, t.end, t.lat, t.lon, t.hidden,
                                  t.cover ? idOf(*t.cover) : 0};
    return rows;
}

MarksLacking lacking(const Marks& wanted, const Marks& held) {
    MarksLacking out;
    for (const MarkedFile& f : wanted.files) {
        const MarkedFile* h = held.file(f.path);
        if (f.favorite && !(h && h->favorite)) ++out.favorites;
    }
    for (const MarkedAlbum& a : wanted.albums) {
        const auto h = std::find_if(held.albums.begin(), held.albums.end(),
                                    [&](const MarkedAlbum& b) { return b.created == a.created && b.name == a.name; });
        const bool whole = h != held.albums.end() &&
                           std::all_of(a.members.begin(), a.members.end(), [&](const MarkedAlbum::Member& m) {
                               return std::any_of(h->members.begin(), h->members.end(),
                                                  [&](const MarkedAlbum::Member& n) { return n.path == m.path; });
                           });
        if (!whole) ++out.albums;
    }
    for (const MarkedPerson& p : wanted.persons) {
        if (!p.name.empty() &&
            std::none_of(held.persons.begin(), held.persons.end(), [&](const MarkedPerson& q) { return q.name == p.name; }))
            ++out.names;
        // A hidden person is held when a hidden person holds a face of theirs.
        if (p.hidden && std::none_of(held.persons.begin(), held.persons.end(), [&](const MarkedPerson& q) {
                return q.hidden && std::any_of(p.faces.begin(), p.faces.end(),
                                               [&](const MarkedFace& f) { return holdsFace(q.faces, f); });
            }))
            ++out.other;
    }
    for (const MarkedFace& f : wanted.locked)
        if (!holdsFace(held.locked, f)) ++out.other;
    for (const MarkedTrip& t : wanted.trips) {
        const MarkedTrip* h = overlapping(held.trips, t.start, t.end);
        if (!h || h->customTitle != t.customTitle || h->hidden != t.hidden || h->cover != t.cover) ++out.other;
    }
    return out;
}

bool marksDiffer(const Marks& a, const Marks& b) {
    if (lacking(a, b).any() || lacking(b, a).any()) return true;
    for (const MarkedAlbum& album : a.albums) {
        const auto other = std::find_if(b.albums.begin(), b.albums.end(), [&](const MarkedAlbum& o) {
            return o.created == album.created && o.name == album.name;
        });
        if (other == b.albums.end() || other->members.size() != album.members.size()) return true;
        for (size_t i = 0; i < album.members.size(); ++i)
            if (album.members[i].path != other->members[i].path) return true;
    }
    return false;
}

// ---- stamps and identity ----------------------------------------------------------------

namespace {

std::optional<std::string> metaText(Database& db, const char* key) {
    std::optional<std::string> out;
    db.forEachRow("SELECT value FROM meta WHERE key=?", {key}, [&](const Row& r) { out = r.text(0); });
    return out;
}

void setMetaText(Database& db, const char* key, const std::string& value) {
    db.run("INSERT INTO meta(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value=excluded.value",
           {key, value});
}

}  // namespace

std::optional<double> marksChanged(Database& db) {
    try {
        const std::optional<std::string> text = metaText(db, kMarksChangedKey);
        if (!text) return std::nullopt;
        double v = 0;
        const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
        if (ec == std::errc() && end == text->data() + text->size() && std::isfinite(v)) return v;
        return std::nullopt;
    } catch (const DBError&) {
        return std::nullopt;
    }
}

void setMarksChanged(Database& db, double when) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, when);
    db.transaction([&] {
        setMetaText(db, kMarksChangedKey, std::string(text, ec == std::errc() ? end : text));
        setMarksChangedSecond(db, when);
    });
}

int64_t setMarksChangedSecond(Database& db, double when) {
    // The header's own word for the file's user: a second place for the
    // stamp, in a page other than the meta table's. A statement of its own
    // for each value, and so never kept in the statement cache.
    const auto second = uint32_t(std::clamp(std::floor(when) + double(kStampSecondAhead), 0.0, double(UINT32_MAX)));
    db.exec("PRAGMA user_version=" + std::to_string(int32_t(second)));
    return second;
}

std::optional<int64_t> marksChangedSecond(Database& db) {
    const auto second = uint32_t(db.scalarInt("PRAGMA user_version").value_or(0));
    if (second == 0) return std::nullopt;
    return int64_t(second);
}

std::optional<int64_t> indexFileStampSecond(const std::string& indexPath) {
    const int fd = ::open(indexPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    unsigned char header[100];
    struct stat st {};
    const bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, header, sizeof header, 0) == 100;
    ::close(fd);
    if (!read || std::memcmp(header, "SQLite format 3", 16) != 0) return std::nullopt;
    const uint32_t second = uint32_t(header[60]) << 24 | uint32_t(header[61]) << 16 | uint32_t(header[62]) << 8 | header[63];
    if (second == 0) return std::nullopt;
    return int64_t(second);
}

std::optional<uint64_t> libraryIdentity(Database& db) {
    const std::optional<std::string> text = metaText(db, kLibraryIdentityKey);
    if (!text) return std::nullopt;
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v, 16);
    if (ec != std::errc() || end != text->data() + text->size() || v == 0) return std::nullopt;
    return v;
}

void setLibraryIdentity(Database& db, uint64_t identity) {
    char text[17];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, identity, 16);
    setMetaText(db, kLibraryIdentityKey, std::string(text, end));
}

uint64_t newLibraryIdentity() {
    uint64_t v = 0;
    while (v == 0) {
        if (::getrandom(&v, sizeof v, 0) != ssize_t(sizeof v)) {
            std::random_device random;
            v = uint64_t(random()) << 32 | random();
        }
    }
    return v;
}

namespace {

// How many of up to 64 of the photos, taken evenly, are in the library
// folder; nothing said when there are none.
std::optional<double> shareHere(const LibraryPaths& paths, const std::vector<std::string>& photos) {
    if (photos.empty()) return std::nullopt;
    const size_t taken = std::min<size_t>(photos.size(), 64);
    size_t here = 0;
    for (size_t i = 0; i < taken; ++i) {
        const std::optional<std::string> file = paths.fileOf(photos[i * photos.size() / taken]);
        struct stat st {};
        if (file && ::lstat(file->c_str(), &st) == 0) ++here;
    }
    return double(here) / double(taken);
}

}  // namespace

bool copyIsThisLibrarys(const LibraryPaths& paths, const std::vector<std::string>& indexPhotos, const Marks& copy) {
    std::vector<std::string> copyPhotos;
    for (const MarkedFile& f : copy.files) copyPhotos.push_back(f.path);
    const std::optional<double> ofCopy = shareHere(paths, copyPhotos);
    return ofCopy && *ofCopy > shareHere(paths, indexPhotos).value_or(0);
}

std::vector<std::string> photosNamedBy(Database& db, const Marks& marks) {
    std::vector<std::string> out;
    for (const MarkedFile& f : marks.files) out.push_back(f.path);
    if (out.empty())
        db.forEachRow("SELECT path FROM assets ORDER BY id LIMIT 64", {}, [&](const Row& r) { out.push_back(r.text(0)); });
    return out;
}

// ---- reading the index -------------------------------------------------------------------

void letOthersIn(std::chrono::steady_clock::duration held) {
    // The lock is no queue: a thread woken for it may find it taken again
    // by a reader that only yields, window after window. Asleep as long as
    // it held the lock (a moment at least), the reader lets it in.
    std::this_thread::sleep_for(std::max<std::chrono::steady_clock::duration>(held, std::chrono::microseconds(100)));
}

namespace {

// Rows are read a window of row ids at a time, each window under the
// connection's lock on its own: a library's worth of faces read at once would
// hold up every other reader and writer of the index meanwhile.
constexpr int64_t kWindow = 256;

void inWindows(Database& db, const std::string& table, const std::string& sql,
               const std::function<void(const Row&)>& f) {
    const int64_t last = db.scalarInt("SELECT MAX(rowid) FROM " + table).value_or(0);
    for (int64_t from = 0; from < last; from += kWindow) {
        const auto start = std::chrono::steady_clock::now();
        db.forEachRow(sql, {from, from + kWindow}, f);
        letOthersIn(std::chrono::steady_clock::now() - start);
    }
}

const char* const kFileColumns = "a.id, a.path, a.kind, a.size, a.mtime, a.added, a.favorite";
const char* const kMarkedPerson = "(name <> '' OR hidden <> 0)";

}  // namespace

MarkRows readMarkRows(Database& db) {
    MarkRows m;
    // The photo of columns from..from+6 (see kFileColumns).
    auto fileOf = [&](const Row& r, int from) {
        const int64_t id = r.int64(from);
        m.files.try_emplace(id, MarkRows::File{r.text(from + 1), int(r.int64(from + 2)), r.int64(from + 3),
                                               r.dbl(from + 4), r.dbl(from + 5), r.int64(from + 6) != 0});
        return id;
    };
    const std::string files = kFileColumns;

    inWindows(db, "assets", "SELECT " + files + " FROM assets a WHERE a.id > ? AND a.id <= ? AND a.favorite <> 0",
              [&](const Row& r) { fileOf(r, 0); });
    db.forEachRow("SELECT id, name, created FROM albums", {},
                  [&](const Row& r) { m.albums[r.int64(0)] = MarkRows::Album{r.text(1), r.dbl(2), {}}; });
    inWindows(db, "album_assets",
              "SELECT m.album_id, m.added, " + files +
                  " FROM album_assets m JOIN assets a ON a.id = m.asset_id WHERE m.rowid > ? AND m.rowid <= ?",
              [&](const Row& r) {
                  const auto it = m.albums.find(r.int64(0));
                  if (it != m.albums.end()) it->second.members.emplace_back(fileOf(r, 2), r.dbl(1));
              });
    for (auto& [id, a] : m.albums) std::sort(a.members.begin(), a.members.end());

    db.forEachRow(std::string("SELECT id, name, hidden, created FROM persons WHERE ") + kMarkedPerson, {},
                  [&](const Row& r) { m.persons[r.int64(0)] = MarkRows::Person{r.text(1), r.int64(2) != 0, r.dbl(3)}; });
    // Faces of marked people, and faces taken out of a person, in one pass.
    inWindows(db, "faces",
              "SELECT f.id, f.locked, f.person_id, " + files +
                  ", f.x, f.y, f.w, f.h, f.quality, f.embedding FROM faces f JOIN assets a ON a.id = f.asset_id "
                  "WHERE f.id > ? AND f.id <= ? AND (f.locked <> 0 OR f.person_id IN (SELECT id FROM persons WHERE " +
                  kMarkedPerson + "))",
              [&](const Row& r) {
                  const bool locked = r.int64(1) != 0;
                  const int64_t person = r.isNull(2) ? 0 : r.int64(2);
                  // Read whole between windows: one taken out of a person
                  // meanwhile has a person the list above does not know.
                  if (!locked && !m.persons.contains(person)) return;
                  m.faces[r.int64(0)] = MarkRows::Face{fileOf(r, 3), r.optDouble(10), r.optDouble(11), r.optDouble(12),
                                                       r.optDouble(13), r.dbl(14), r.blob(15), person, locked};
              });
    db.forEachRow("SELECT t.id, t.title, t.subtitle, t.custom_title, t.start, t.end, t.lat, t.lon, t.hidden, " + files +
                      " FROM trips t LEFT JOIN assets a ON a.id = t.cover_asset "
                      "WHERE t.custom_title IS NOT NULL OR t.hidden <> 0 OR a.id IS NOT NULL",
                  {}, [&](const Row& r) {
                      m.trips[r.int64(0)] = MarkRows::Trip{r.text(1), r.text(2), r.optText(3), r.dbl(4), r.dbl(5),
                                                           r.dbl(6), r.dbl(7), r.int64(8) != 0,
                                                           r.isNull(9) ? 0 : fileOf(r, 9)};
                  });
    return m;
}

Marks readMarks(Database& db) {
    const double changed = marksChanged(db).value_or(0);
    return readMarkRows(db).marks(changed);
}

void refuseEmptiedIndex(const LibraryPaths& paths) {
    struct stat st {};
    if (::stat(paths.databasePath().c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && st.st_size == 0) throw DBError(kIndexEmpty, SQLITE_NOTADB);
        return;
    }
    if (errno != ENOENT) return;
    // A file longer than a copy that holds nothing: what it holds, and
    // whether it reads, the rebuild finds out.
    if (::lstat(marksCopyPath(paths).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size > kEmptyCopyBytes)
        throw DBError(kIndexMissing, SQLITE_NOTADB);
}

// ---- putting a copy back ---------------------------------------------------------------

namespace {

class Restorer {
public:
    Restorer(Database& db, const Marks& copy, const RestoreRules& rules, const MarkRows* rows)
        : db_(db), copy_(copy), rules_(rules), rows_(rows) {}

    Restored run() {
        for (const MarkedFile& f : copy_.files) file(f);
        for (const MarkedAlbum& a : copy_.albums) album(a);
        for (const MarkedPerson& p : copy_.persons) person(p);
        for (const MarkedFace& f : copy_.locked) lockedFace(f);
        for (const MarkedTrip& t : copy_.trips) trip(t);
        if (rules_.copyWins && rules_.copyWhole) takeAwayWhatTheCopyLacks();
        for (int64_t id : lookAgain_) db_.run("UPDATE assets SET faces_done=0 WHERE id=?", {id});
        return out_;
    }

private:
    struct IndexFace {
        int64_t id = 0;
        std::optional<int64_t> person;  // one the index still holds
        bool locked = false;
    };

    // The row of a photo of the copy, made when the index lost it: the scan
    // then takes it for the file, and reads it again.
    int64_t idOf(const std::string& path) {
        if (const auto it = ids_.find(path); it != ids_.end()) return it->second;
        int64_t id = db_.scalarInt("SELECT id FROM assets WHERE path=?", {path}).value_or(0);
        if (id == 0) {
            const MarkedFile* f = copy_.file(path);
            id = db_.insert("INSERT INTO assets(path, kind, size, mtime, added, favorite) VALUES(?,?,?,?,?,?)",
                            {path, f ? f->kind : 0, f ? f->size : 0, f ? f->mtime : 0.0, f ? f->added : 0.0,
                             f && f->favorite});
            made_.insert(id);
            ++out_.files;
            if (f && f->favorite) ++out_.marks;
        }
        ids_[path] = id;
        return id;
    }

    // A photo of the copy the index holds as away for now (its file left the
    // library): the copy, written before it left, names it as a live photo.
    // Its marks wait with its absent row and come back with its file: no row
    // is made for it here, and none of its marks goes to another file that
    // took its path meanwhile (the copy's file is the absent one by size and
    // time, not the one there now).
    bool away(const std::string& path) {
        if (const auto it = away_.find(path); it != away_.end()) return it->second;
        // Rows at the path that are the copy's file; any, where the copy
        // does not say which file it was.
        const MarkedFile* f = copy_.file(path);
        auto holds = [&](const std::string& table) {
            return db_.scalarInt("SELECT EXISTS(SELECT 1 FROM " + table +
                                     " WHERE path=? AND (? OR (size=? AND abs(mtime - ?) <= 1.0)))",
                                 {path, !f, f ? f->size : 0, f ? f->mtime : 0.0})
                       .value_or(0) != 0;
        };
        return away_[path] = holds("absent_assets") && !holds("assets");
    }

    // The person of the absent face that is the copy's face, if the index
    // still holds them.
    std::optional<int64_t> awayPerson(const MarkedFace& f) {
        std::optional<int64_t> best;
        double most = 0;
        db_.forEachRow("SELECT f.x, f.y, f.w, f.h, f.person_id FROM absent_faces f JOIN absent_assets a ON "
                       "a.id = f.asset_id WHERE a.path=? AND f.person_id IN (SELECT id FROM persons)",
                       {f.path}, [&](const Row& r) {
                           const double shared = overlapOf(f, r.optDouble(0), r.optDouble(1), r.optDouble(2), r.optDouble(3));
                           if (shared >= kSameFace && shared > most) {
                               most = shared;
                               best = r.int64(4);
                           }
                       });
        return best;
    }

    void file(const MarkedFile& f) {
        if (away(f.path)) return;
        const bool known = db_.scalarInt("SELECT COUNT(*) FROM assets WHERE path=?", {f.path}).value_or(0) != 0;
        const int64_t id = idOf(f.path);
        if (f.favorite) favorites_.insert(id);
        if (!known || !rules_.copyWins) return;
        if (db_.scalarInt("SELECT favorite FROM assets WHERE id=?", {id}).value_or(0) != (f.favorite ? 1 : 0)) {
            db_.run("UPDATE assets SET favorite=? WHERE id=?", {f.favorite, id});
            out_.marks += f.favorite;
        }
    }

    // The id an album lost with its row had in the index the copy followed,
    // while no album holds it: made again under it, the places that still
    // point at it (of photos away for now, and members whose album row was
    // lost) are its own again.
    std::optional<int64_t> ownId(const MarkedAlbum& a) {
        if (!rows_) return std::nullopt;
        for (const auto& [id, row] : rows_->albums)
            if (row.name == a.name && row.created == a.created &&
                db_.scalarInt("SELECT EXISTS(SELECT 1 FROM albums WHERE id=?)", {id}).value_or(1) == 0)
                return id;
        return std::nullopt;
    }

    void album(const MarkedAlbum& a) {
        int64_t id = 0;
        std::string name;
        db_.forEachRow("SELECT id, name FROM albums WHERE created=? ORDER BY id LIMIT 1", {a.created},
                       [&](const Row& r) {
                           id = r.int64(0);
                           name = r.text(1);
                       });
        const bool made = id == 0;
        if (made) {
            const std::optional<int64_t> own = ownId(a);
            id = own ? db_.insert("INSERT INTO albums(id, name, created) VALUES(?,?,?)", {*own, a.name, a.created})
                     : db_.insert("INSERT INTO albums(name, created) VALUES(?,?)", {a.name, a.created});
            out_.albums.push_back(id);
            ++out_.marks;
        } else if (rules_.copyWins && name != a.name) {
            db_.run("UPDATE albums SET name=? WHERE id=?", {a.name, id});
            ++out_.marks;
        }
        albums_.insert(id);
        std::set<int64_t> members;
        for (const MarkedAlbum::Member& m : a.members) {
            if (away(m.path)) continue;
            const int64_t asset = idOf(m.path);
            members.insert(asset);
            std::optional<double> added;
            db_.forEachRow("SELECT added FROM album_assets WHERE album_id=? AND asset_id=?", {id, asset},
                           [&](const Row& r) { added = r.dbl(0); });
            // A member whose photo row was lost went with it.
            if (!added && (made || rules_.copyWins || !rules_.membersWhole || made_.contains(asset))) {
                db_.run("INSERT INTO album_assets(album_id, asset_id, added) VALUES(?,?,?)", {id, asset, m.added});
                ++out_.marks;
            } else if (added && rules_.copyWins && *added != m.added) {
                db_.run("UPDATE album_assets SET added=? WHERE album_id=? AND asset_id=?", {m.added, id, asset});
            }
        }
        if (!rules_.copyWins || !rules_.copyWhole) return;
        // Taken out of the album since the index's state.
        const std::vector<int64_t> held = db_.query("SELECT asset_id FROM album_assets WHERE album_id=?", {id},
                                                    [](const Row& r) { return r.int64(0); });
        for (const int64_t asset : held)
            if (!members.contains(asset)) {
                db_.run("DELETE FROM album_assets WHERE album_id=? AND asset_id=?", {id, asset});
                ++out_.marks;
            }
    }

    // The face of the index that is the copy's face, if any.
    std::optional<IndexFace> match(const MarkedFace& f, int64_t asset) {
        std::optional<IndexFace> best;
        double most = 0;
        db_.forEachRow("SELECT f.id, f.x, f.y, f.w, f.h, p.id, f.locked FROM faces f "
                       "LEFT JOIN persons p ON p.id = f.person_id WHERE f.asset_id=?",
                       {asset}, [&](const Row& r) {
                           const double shared = overlapOf(f, r.optDouble(1), r.optDouble(2), r.optDouble(3), r.optDouble(4));
                           if (shared >= kSameFace && shared > most) {
                               most = shared;
                               best = IndexFace{r.int64(0), r.optInt(5), r.int64(6) != 0};
                           }
                       });
        return best;
    }

    int64_t insertFace(const MarkedFace& f, int64_t asset, std::optional<int64_t> person, bool locked) {
        lookAgain_.insert(asset);
        return db_.insert(
            "INSERT INTO faces(asset_id, x, y, w, h, quality, embedding, person_id, locked) VALUES(?,?,?,?,?,?,?,?,?)",
            {asset, f.x, f.y, f.w, f.h, f.quality, f.embedding, person, locked});
    }

    void person(const MarkedPerson& p) {
        std::vector<std::pair<const MarkedFace*, std::optional<IndexFace>>> faces;
        std::map<int64_t, int> votes;
        for (const MarkedFace& f : p.faces) {
            if (away(f.path)) {
                if (const std::optional<int64_t> owner = awayPerson(f)) ++votes[*owner];
                continue;
            }
            const std::optional<IndexFace> found = match(f, idOf(f.path));
            if (found && found->person) ++votes[*found->person];
            faces.emplace_back(&f, found);
        }
        // The person most of their faces still belong to is theirs.
        std::optional<int64_t> id;
        int most = 0;
        for (const auto& [person, n] : votes)
            if (n > most) {
                id = person;
                most = n;
            }
        // All of their faces away: they wait with them (and the photo that
        // comes back makes them again by name if they are gone).
        if (!id && faces.empty()) return;
        if (!id) {
            id = db_.insert("INSERT INTO persons(name, hidden, created) VALUES(?,?,?)", {p.name, p.hidden, p.created});
            ++out_.marks;
        } else if (rules_.copyWins) {
            db_.run("UPDATE persons SET name=?, hidden=? WHERE id=? AND (name<>? OR hidden<>?)",
                    {p.name, p.hidden, *id, p.name, p.hidden});
        }
        persons_.insert(*id);
        for (const auto& [f, found] : faces) {
            if (!found) {
                insertFace(*f, idOf(f->path), *id, false);
                ++out_.marks;
                continue;
            }
            // A face whose person was lost is theirs again; one the index
            // took out of them since, or gave to another, stays so unless
            // the copy is the newer.
            const bool free = !found->person && !found->locked;
            if (found->person == *id || !(free || rules_.copyWins)) continue;
            db_.run("UPDATE faces SET person_id=?, locked=0 WHERE id=?", {*id, found->id});
            ++out_.marks;
        }
        db_.run("UPDATE persons SET cover_face=(SELECT id FROM faces WHERE person_id=persons.id "
                "ORDER BY quality * w DESC LIMIT 1) WHERE id=? AND (cover_face IS NULL OR cover_face NOT IN "
                "(SELECT id FROM faces WHERE person_id=?))",
                {*id, *id});
    }

    void lockedFace(const MarkedFace& f) {
        if (away(f.path)) return;
        const int64_t asset = idOf(f.path);
        const std::optional<IndexFace> found = match(f, asset);
        if (!found) {
            insertFace(f, asset, std::nullopt, true);
            ++out_.marks;
        } else if (!found->locked && (!found->person || rules_.copyWins)) {
            db_.run("UPDATE faces SET person_id=NULL, locked=1 WHERE id=?", {found->id});
            ++out_.marks;
        }
    }

    void trip(const MarkedTrip& t) {
        struct Span {
            int64_t id;
            double start, end;
            bool coverHeld;  // a cover the index still has the photo of
        };
        const std::vector<Span> spans =
            db_.query("SELECT t.id, t.start, t.end, a.id IS NOT NULL FROM trips t LEFT JOIN assets a ON "
                      "a.id = t.cover_asset", {},
                      [](const Row& r) { return Span{r.int64(0), r.dbl(1), r.dbl(2), r.int64(3) != 0}; });
        const std::optional<int64_t> cover =
            t.cover && !away(*t.cover) ? std::optional(idOf(*t.cover)) : std::nullopt;
        if (const Span* s = overlapping(spans, t.start, t.end)) {
            trips_.insert(s->id);
            if (rules_.copyWins) {
                db_.run("UPDATE trips SET custom_title=?, hidden=?, cover_asset=? WHERE id=?",
                        {t.customTitle, t.hidden, cover, s->id});
                ++out_.marks;
            } else if (cover && !s->coverHeld) {
                // The cover's photo row was lost, not the choice.
                db_.run("UPDATE trips SET cover_asset=? WHERE id=?", {cover, s->id});
                ++out_.marks;
            }
            return;
        }
        trips_.insert(db_.insert(
            "INSERT INTO trips(title, custom_title, subtitle, start, end, lat, lon, hidden, cover_asset, named) "
            "VALUES(?,?,?,?,?,?,?,?,?,0)",
            {t.title, t.customTitle, t.subtitle, t.start, t.end, t.lat, t.lon, t.hidden, cover}));
        ++out_.marks;
    }

    // The copy is newer than the index and read whole: a mark the index
    // holds and the copy does not was taken away after the index's state.
    // Faces taken out of a person stay so: nothing takes a face back but
    // the person it then belongs to, which the copy holds.
    void takeAwayWhatTheCopyLacks() {
        auto notIn = [&](const std::set<int64_t>& kept, const std::string& sql) {
            std::vector<int64_t> out;
            db_.forEachRow(sql, {}, [&](const Row& r) {
                if (!kept.contains(r.int64(0))) out.push_back(r.int64(0));
            });
            out_.marks += int(out.size());
            return out;
        };
        for (const int64_t id : notIn(favorites_, "SELECT id FROM assets WHERE favorite <> 0"))
            db_.run("UPDATE assets SET favorite=0 WHERE id=?", {id});
        // Its members go with it (the rebuild's index has no cascades).
        for (const int64_t id : notIn(albums_, "SELECT id FROM albums")) {
            db_.run("DELETE FROM album_assets WHERE album_id=?", {id});
            db_.run("DELETE FROM albums WHERE id=?", {id});
        }
        // A person whose faces are all on photos away is not in the copy,
        // which follows only what shows: they wait for their photos.
        for (const int64_t id : notIn(persons_, "SELECT id FROM persons p WHERE (name <> '' OR hidden <> 0) AND "
                                                "(EXISTS(SELECT 1 FROM faces WHERE person_id = p.id) OR NOT "
                                                "EXISTS(SELECT 1 FROM absent_faces WHERE person_id = p.id))"))
            db_.run("UPDATE persons SET name='', hidden=0 WHERE id=?", {id});
        for (const int64_t id :
             notIn(trips_, "SELECT id FROM trips WHERE custom_title IS NOT NULL OR hidden <> 0 OR cover_asset IS NOT NULL"))
            db_.run("UPDATE trips SET custom_title=NULL, hidden=0, cover_asset=NULL WHERE id=?", {id});
    }

    Database& db_;
    const Marks& copy_;
    RestoreRules rules_;
    const MarkRows* rows_;
    Restored out_;
    std::unordered_map<std::string, int64_t> ids_;
    std::unordered_map<std::string, bool> away_;  // see away()
    std::set<int64_t> made_;
    std::set<int64_t> lookAgain_;
    // What of the index the copy's marks went into.
    std::set<int64_t> favorites_, albums_, persons_, trips_;
};

}  // namespace

Restored restoreMarks(Database& db, const Marks& copy, const RestoreRules& rules, const MarkRows* copyRows) {
    Restored out;
    db.transaction([&] { out = Restorer(db, copy, rules, copyRows).run(); });
    return out;
}

}  // namespace vintrelle