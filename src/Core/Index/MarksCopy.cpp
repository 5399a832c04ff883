#include "Core/Index/MarksCopy.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>

#include "Core/Index/DataFiles.h"

namespace vintrelle {

const char* const kMarksChangedKey = "marksChanged";
const char* const kIndexEmpty = "Its index is empty, as a power cut can leave it.";
const char* const kIndexMissing = "Its index is missing.";

namespace {

const char* const kCopyName = "library.marks";
const char* const kWritingSuffix = "-writing";
constexpr char kMagic[8] = {'V', 'T', 'M', 'A', 'R', 'K', 'S', '\n'};
constexpr uint32_t kFormat = 1;
// Magic, format, reserved, stamp, payload size, the payload's checksum, and
// the checksum of all that before it: the layout every format keeps, so that
// a copy of a later format is told from a spoiled one.
constexpr size_t kHeaderSize = 8 + 4 + 4 + 8 + 8 + 8 + 8;
// Far above any library's marks; a size beyond it is a spoiled header.
constexpr uint64_t kMaxPayload = uint64_t(1) << 32;

StepHook step;

// ---- bytes -------------------------------------------------------------------------

static_assert(std::endian::native == std::endian::little, "the copy is written little-endian as it lies in memory");

class Writer {
public:
    std::string out;
    template <class T>
    void put(T v) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        out.append(bytes, sizeof(T));
    }
    void text(std::string_view s) {
        put(uint32_t(s.size()));
        out.append(s);
    }
    void optionalDouble(const std::optional<double>& v) { put(v ? *v : std::nan("")); }
};

// Reads what Writer wrote; any read past the end, or a count the bytes left
// cannot hold, spoils the whole read.
class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    bool atEnd() const { return at_ == in_.size(); }
    template <class T>
    T get() {
        T v{};
        if (!ok_ || in_.size() - at_ < sizeof(T)) {
            ok_ = false;
            return v;
        }
        std::memcpy(&v, in_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return v;
    }
    std::string text() {
        const uint32_t n = get<uint32_t>();
        if (!ok_ || in_.size() - at_ < n) {
            ok_ = false;
            return {};
        }
        std::string s(in_.substr(at_, n));
        at_ += n;
        return s;
    }
    // A count of items each at least `least` bytes long.
    uint32_t count(size_t least) {
        const uint32_t n = get<uint32_t>();
        if (ok_ && uint64_t(n) * least > in_.size() - at_) ok_ = false;
        return ok_ ? n : 0;
    }
    std::optional<double> optionalDouble() {
        const double v = get<double>();
        if (std::isnan(v)) return std::nullopt;
        return v;
    }

private:
    std::string_view in_;
    size_t at_ = 0;
    bool ok_ = true;
};

// FNV-1a, taken eight bytes at a time (a copy holds megabytes of face
// prints), the bytes left over one at a time.
uint64_t fnv(uint64_t h, std::string_view bytes) {
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        h ^= word;
        h *= 0x100000001b3ULL;
        h ^= h >> 29;
    }
    for (; i < bytes.size(); ++i) {
        h ^= uint8_t(bytes[i]);
        h *= 0x100000001b3ULL;
    }
    return h;
}
constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;

// ---- the payload -------------------------------------------------------------------

void putFace(Writer& w, const MarkedFace& f, const std::unordered_map<std::string_view, uint32_t>& at) {
    w.put(at.at(f.path));
    for (const auto* v : {&f.x, &f.y, &f.w, &f.h}) w.optionalDouble(*v);
    w.put(f.quality);
    w.text(std::string_view(reinterpret_cast<const char*>(f.embedding.data()), f.embedding.size()));
}

bool getFace(Reader& r, const Marks& m, MarkedFace& f) {
    const uint32_t file = r.get<uint32_t>();
    if (!r.ok() || file >= m.files.size()) return false;
    f.path = m.files[file].path;
    for (auto* v : {&f.x, &f.y, &f.w, &f.h}) *v = r.optionalDouble();
    f.quality = r.get<double>();
    const std::string print = r.text();
    f.embedding.assign(print.begin(), print.end());
    return r.ok();
}

std::optional<Marks> decodePayload(std::string_view payload, double changed) {
    Reader r(payload);
    Marks m;
    m.changed = changed;
    constexpr size_t kLeastFile = 4 + 1 + 8 + 8 + 8 + 1, kLeastFace = 4 + 5 * 8 + 4;
    m.files.resize(r.count(kLeastFile));
    for (MarkedFile& f : m.files) {
        f.path = r.text();
        f.kind = r.get<uint8_t>();
        f.size = r.get<int64_t>();
        f.mtime = r.get<double>();
        f.added = r.get<double>();
        f.favorite = r.get<uint8_t>() != 0;
    }
    // Sorted and one each, as written: a lookup by path relies on it.
    for (size_t i = 1; r.ok() && i < m.files.size(); ++i)
        if (!(m.files[i - 1].path < m.files[i].path)) return std::nullopt;
    auto fileAt = [&](uint32_t i) -> const std::string* { return i < m.files.size() ? &m.files[i].path : nullptr; };

    m.albums.resize(r.count(4 + 8 + 4));
    for (MarkedAlbum& a : m.albums) {
        a.name = r.text();
        a.created = r.get<double>();
        a.members.resize(r.count(4 + 8));
        for (MarkedAlbum::Member& member : a.members) {
            const std::string* path = fileAt(r.get<uint32_t>());
            if (!path) return std::nullopt;
            member.path = *path;
            member.added = r.get<double>();
        }
    }
    m.persons.resize(r.count(4 + 1 + 8 + 4));
    for (MarkedPerson& p : m.persons) {
        p.name = r.text();
        p.hidden = r.get<uint8_t>() != 0;
        p.created = r.get<double>();
        p.faces.resize(r.count(kLeastFace));
        for (MarkedFace& f : p.faces)
            if (!getFace(r, m, f)) return std::nullopt;
    }
    m.locked.resize(r.count(kLeastFace));
    for (MarkedFace& f : m.locked)
        if (!getFace(r, m, f)) return std::nullopt;
    m.trips.resize(r.count(4 + 4 + 1 + 4 * 8 + 1 + 4));
    for (MarkedTrip& t : m.trips) {
        t.title = r.text();
        t.subtitle = r.text();
        if (r.get<uint8_t>()) t.customTitle = r.text();
        t.start = r.get<double>();
        t.end = r.get<double>();
        t.lat = r.get<double>();
        t.lon = r.get<double>();
        t.hidden = r.get<uint8_t>() != 0;
        const int64_t cover = r.get<int64_t>();
        if (cover >= 0) {
            const std::string* path = cover <= int64_t(UINT32_MAX) ? fileAt(uint32_t(cover)) : nullptr;
            if (!path) return std::nullopt;
            t.cover = *path;
        }
    }
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return m;
}

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

const char* const kFileColumns = "a.id, a.path, a.kind, a.size, a.mtime, a.added, a.favorite";

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

std::optional<double> marksChanged(Database& db) {
    try {
        std::optional<double> out;
        db.forEachRow("SELECT value FROM meta WHERE key=?", {kMarksChangedKey}, [&](const Row& r) {
            const std::string text = r.text(0);
            double v = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (ec == std::errc() && end == text.data() + text.size() && std::isfinite(v)) out = v;
        });
        return out;
    } catch (const DBError&) {
        return std::nullopt;
    }
}

void setMarksChanged(Database& db, double when) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, when);
    db.run("INSERT INTO meta(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value=excluded.value",
           {kMarksChangedKey, std::string(text, ec == std::errc() ? end : text)});
}

namespace {

// Rows are read a window of row ids at a time, each window under the
// connection's lock on its own: a library's worth of faces read at once would
// hold up every other reader and writer of the index meanwhile.
constexpr int64_t kWindow = 4096;

void inWindows(Database& db, const std::string& table, const std::string& sql,
               const std::function<void(const Row&)>& f) {
    const int64_t last = db.scalarInt("SELECT MAX(rowid) FROM " + table).value_or(0);
    for (int64_t from = 0; from < last; from += kWindow) {
        db.forEachRow(sql, {from, from + kWindow}, f);
        // The lock is no queue: whoever waits for it gets it now, not after
        // the next window.
        std::this_thread::yield();
    }
}

}  // namespace

Marks readMarks(Database& db) {
    Marks m;
    m.changed = marksChanged(db).value_or(0);
    std::unordered_map<int64_t, size_t> at;
    // The photo of columns from..from+6 (see kFileColumns); its path.
    auto fileOf = [&](const Row& r, int from) {
        const auto [it, fresh] = at.try_emplace(r.int64(from), m.files.size());
        if (fresh)
            m.files.push_back(MarkedFile{r.text(from + 1), int(r.int64(from + 2)), r.int64(from + 3), r.dbl(from + 4),
                                         r.dbl(from + 5), r.int64(from + 6) != 0});
        return m.files[it->second].path;
    };
    auto faceOf = [&](const Row& r, int from) {
        MarkedFace f;
        f.path = fileOf(r, from);
        f.x = r.optDouble(from + 7);
        f.y = r.optDouble(from + 8);
        f.w = r.optDouble(from + 9);
        f.h = r.optDouble(from + 10);
        f.quality = r.dbl(from + 11);
        f.embedding = r.blob(from + 12);
        return f;
    };
    const std::string files = kFileColumns;

    inWindows(db, "assets", "SELECT " + files + " FROM assets a WHERE a.id > ? AND a.id <= ? AND a.favorite <> 0",
              [&](const Row& r) { fileOf(r, 0); });

    std::unordered_map<int64_t, size_t> album;
    db.forEachRow("SELECT id, name, created FROM albums ORDER BY created, id", {}, [&](const Row& r) {
        album[r.int64(0)] = m.albums.size();
        m.albums.push_back(MarkedAlbum{r.text(1), r.dbl(2), {}});
    });
    inWindows(db, "album_assets",
              "SELECT m.album_id, m.added, " + files +
                  " FROM album_assets m JOIN assets a ON a.id = m.asset_id WHERE m.rowid > ? AND m.rowid <= ?",
              [&](const Row& r) {
                  const auto it = album.find(r.int64(0));
                  if (it != album.end()) m.albums[it->second].members.push_back({fileOf(r, 2), r.dbl(1)});
              });
    for (MarkedAlbum& a : m.albums)
        std::sort(a.members.begin(), a.members.end(), [](const MarkedAlbum::Member& x, const MarkedAlbum::Member& y) {
            return x.added < y.added || (x.added == y.added && x.path < y.path);
        });

    std::unordered_map<int64_t, size_t> person;
    const char* const marked = "(name <> '' OR hidden <> 0)";
    db.forEachRow(std::string("SELECT id, name, hidden, created FROM persons WHERE ") + marked + " ORDER BY id", {},
                  [&](const Row& r) {
                      person[r.int64(0)] = m.persons.size();
                      m.persons.push_back(MarkedPerson{r.text(1), r.int64(2) != 0, r.dbl(3), {}});
                  });
    // Faces of marked people, and faces taken out of a person, in one pass.
    inWindows(db, "faces",
              "SELECT f.locked, f.person_id, " + files +
                  ", f.x, f.y, f.w, f.h, f.quality, f.embedding FROM faces f JOIN assets a ON a.id = f.asset_id "
                  "WHERE f.id > ? AND f.id <= ? AND (f.locked <> 0 OR f.person_id IN (SELECT id FROM persons WHERE " +
                  marked + ")) ORDER BY f.id",
              [&](const Row& r) {
                  if (r.int64(0) != 0) return m.locked.push_back(faceOf(r, 2));
                  const auto it = person.find(r.int64(1));
                  if (it != person.end()) m.persons[it->second].faces.push_back(faceOf(r, 2));
              });
    // A person without a face is no person the window shows.
    std::erase_if(m.persons, [](const MarkedPerson& p) { return p.faces.empty(); });

    db.forEachRow("SELECT t.title, t.subtitle, t.custom_title, t.start, t.end, t.lat, t.lon, t.hidden, " + files +
                      " FROM trips t LEFT JOIN assets a ON a.id = t.cover_asset "
                      "WHERE t.custom_title IS NOT NULL OR t.hidden <> 0 OR a.id IS NOT NULL ORDER BY t.start, t.id",
                  {}, [&](const Row& r) {
                      MarkedTrip t{r.text(0), r.text(1), r.optText(2), r.dbl(3), r.dbl(4), r.dbl(5), r.dbl(6),
                                   r.int64(7) != 0, std::nullopt};
                      if (!r.isNull(8)) t.cover = fileOf(r, 8);
                      m.trips.push_back(std::move(t));
                  });

    std::sort(m.files.begin(), m.files.end(), [](const MarkedFile& a, const MarkedFile& b) { return a.path < b.path; });
    return m;
}

// ---- the file ------------------------------------------------------------------------

std::string marksCopyPath(const LibraryPaths& paths) { return paths.dataDir + "/" + kCopyName; }

std::string encodeMarks(const Marks& m) {
    Writer w;
    std::unordered_map<std::string_view, uint32_t> at;
    at.reserve(m.files.size());
    w.put(uint32_t(m.files.size()));
    for (const MarkedFile& f : m.files) {
        at.emplace(f.path, uint32_t(at.size()));
        w.text(f.path);
        w.put(uint8_t(f.kind));
        w.put(f.size);
        w.put(f.mtime);
        w.put(f.added);
        w.put(uint8_t(f.favorite));
    }
    w.put(uint32_t(m.albums.size()));
    for (const MarkedAlbum& a : m.albums) {
        w.text(a.name);
        w.put(a.created);
        w.put(uint32_t(a.members.size()));
        for (const MarkedAlbum::Member& member : a.members) {
            w.put(at.at(member.path));
            w.put(member.added);
        }
    }
    w.put(uint32_t(m.persons.size()));
    for (const MarkedPerson& p : m.persons) {
        w.text(p.name);
        w.put(uint8_t(p.hidden));
        w.put(p.created);
        w.put(uint32_t(p.faces.size()));
        for (const MarkedFace& f : p.faces) putFace(w, f, at);
    }
    w.put(uint32_t(m.locked.size()));
    for (const MarkedFace& f : m.locked) putFace(w, f, at);
    w.put(uint32_t(m.trips.size()));
    for (const MarkedTrip& t : m.trips) {
        w.text(t.title);
        w.text(t.subtitle);
        w.put(uint8_t(t.customTitle.has_value()));
        if (t.customTitle) w.text(*t.customTitle);
        w.put(t.start);
        w.put(t.end);
        w.put(t.lat);
        w.put(t.lon);
        w.put(uint8_t(t.hidden));
        w.put(int64_t(t.cover ? int64_t(at.at(*t.cover)) : -1));
    }
    return std::move(w.out);
}

uint64_t marksDigest(std::string_view payload) { return fnv(kFnvBasis, payload); }

namespace {

int openFolder(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// A path's folder, open, and its name in it.
std::pair<int, std::string> placeOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {openFolder("."), path};
    return {openFolder(slash == 0 ? "/" : path.substr(0, slash)), path.substr(slash + 1)};
}

CopyRead readAt(int folder, const std::string& name) {
    CopyRead out;
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) >= kHeaderSize &&
        uint64_t(st.st_size) <= kHeaderSize + kMaxPayload) {
        bytes.resize(size_t(st.st_size));
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return out;
    Reader header(std::string_view(bytes).substr(sizeof kMagic, kHeaderSize - sizeof kMagic));
    const uint32_t format = header.get<uint32_t>();
    header.get<uint32_t>();
    const double changed = header.get<double>();
    const uint64_t size = header.get<uint64_t>();
    const uint64_t checksum = header.get<uint64_t>();
    if (header.get<uint64_t>() != fnv(kFnvBasis, std::string_view(bytes).substr(0, kHeaderSize - 8))) return out;
    if (format > kFormat) {
        out.state = CopyState::newer;
        return out;
    }
    const std::string_view payload = std::string_view(bytes).substr(kHeaderSize);
    if (format != kFormat || size != payload.size() || fnv(kFnvBasis, payload) != checksum || !std::isfinite(changed))
        return out;
    if (std::optional<Marks> marks = decodePayload(payload, changed)) {
        out.state = CopyState::readable;
        out.marks = std::move(*marks);
    }
    return out;
}

void writeAll(int fd, const char* data, size_t size, const std::string& what) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw fileError(what, n < 0 ? errno : ENOSPC);
        data += n;
        size -= size_t(n);
    }
}

void writeAt(int folder, const std::string& name, const Marks& marks) {
    const std::string payload = encodeMarks(marks);
    Writer header;
    header.out.append(kMagic, sizeof kMagic);
    header.put(kFormat);
    header.put(uint32_t(0));
    header.put(marks.changed);
    header.put(uint64_t(payload.size()));
    header.put(fnv(kFnvBasis, payload));
    header.put(fnv(kFnvBasis, header.out));

    const std::string writing = name + kWritingSuffix;
    const std::string what = "Could not write the copy of the library's marks";
    const int fd = ::openat(folder, writing.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw fileError(what, errno);
    int error = 0;
    try {
        writeAll(fd, header.out.data(), header.out.size(), what);
        const size_t half = payload.size() / 2;
        writeAll(fd, payload.data(), half, what);
        step("half written");
        writeAll(fd, payload.data() + half, payload.size() - half, what);
        step("written");
        if (::fsync(fd) != 0) error = errno;
    } catch (...) {
        ::close(fd);
        ::unlinkat(folder, writing.c_str(), 0);
        throw;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0) step("synced");
    if (error == 0 && ::renameat(folder, writing.c_str(), folder, name.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlinkat(folder, writing.c_str(), 0);
        throw fileError(what, error);
    }
    ::fsync(folder);
    step("placed");
}

}  // namespace

CopyRead readMarksCopy(const std::string& path) {
    const auto [folder, name] = placeOf(path);
    if (folder < 0) return {};
    CopyRead out = readAt(folder, name);
    ::close(folder);
    return out;
}

CopyRead readMarksCopyIn(int folder) { return readAt(folder, kCopyName); }

void writeMarksCopy(const std::string& path, const Marks& marks) {
    const auto [folder, name] = placeOf(path);
    if (folder < 0) throw fileError("Could not write the copy of the library's marks", errno);
    try {
        writeAt(folder, name, marks);
    } catch (...) {
        ::close(folder);
        throw;
    }
    ::close(folder);
}

void writeMarksCopyIn(int folder, const Marks& marks) { writeAt(folder, kCopyName, marks); }

void discardUnfinishedCopyIn(int folder) { ::unlinkat(folder, (std::string(kCopyName) + kWritingSuffix).c_str(), 0); }

void setMarksWriteHook(std::function<void(std::string_view)> hook) { step.set(std::move(hook)); }

void refuseEmptiedIndex(const LibraryPaths& paths) {
    struct stat st {};
    if (::stat(paths.databasePath().c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && st.st_size == 0) throw DBError(kIndexEmpty, SQLITE_NOTADB);
        return;
    }
    if (errno != ENOENT) return;
    const CopyRead copy = readMarksCopy(marksCopyPath(paths));
    if (copy.state == CopyState::readable && !copy.marks.empty()) throw DBError(kIndexMissing, SQLITE_NOTADB);
}

// ---- putting a copy back ---------------------------------------------------------------

namespace {

class Restorer {
public:
    Restorer(Database& db, const Marks& copy, const RestoreRules& rules) : db_(db), copy_(copy), rules_(rules) {}

    Restored run() {
        for (const MarkedFile& f : copy_.files) file(f);
        for (const MarkedAlbum& a : copy_.albums) album(a);
        for (const MarkedPerson& p : copy_.persons) person(p);
        for (const MarkedFace& f : copy_.locked) lockedFace(f);
        for (const MarkedTrip& t : copy_.trips) trip(t);
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

    void file(const MarkedFile& f) {
        const bool known = db_.scalarInt("SELECT COUNT(*) FROM assets WHERE path=?", {f.path}).value_or(0) != 0;
        const int64_t id = idOf(f.path);
        if (!known || !rules_.copyWins) return;
        if (db_.scalarInt("SELECT favorite FROM assets WHERE id=?", {id}).value_or(0) != (f.favorite ? 1 : 0)) {
            db_.run("UPDATE assets SET favorite=? WHERE id=?", {f.favorite, id});
            out_.marks += f.favorite;
        }
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
            id = db_.insert("INSERT INTO albums(name, created) VALUES(?,?)", {a.name, a.created});
            out_.albums.push_back(id);
            ++out_.marks;
        } else if (rules_.copyWins && name != a.name) {
            db_.run("UPDATE albums SET name=? WHERE id=?", {a.name, id});
            ++out_.marks;
        }
        for (const MarkedAlbum::Member& m : a.members) {
            const int64_t asset = idOf(m.path);
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
        if (!id) {
            id = db_.insert("INSERT INTO persons(name, hidden, created) VALUES(?,?,?)", {p.name, p.hidden, p.created});
            ++out_.marks;
        } else if (rules_.copyWins) {
            db_.run("UPDATE persons SET name=?, hidden=? WHERE id=? AND (name<>? OR hidden<>?)",
                    {p.name, p.hidden, *id, p.name, p.hidden});
        }
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
        const std::optional<int64_t> cover = t.cover ? std::optional(idOf(*t.cover)) : std::nullopt;
        if (const Span* s = overlapping(spans, t.start, t.end)) {
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
        db_.run("INSERT INTO trips(title, custom_title, subtitle, start, end, lat, lon, hidden, cover_asset, named) "
                "VALUES(?,?,?,?,?,?,?,?,?,0)",
                {t.title, t.customTitle, t.subtitle, t.start, t.end, t.lat, t.lon, t.hidden, cover});
        ++out_.marks;
    }

    Database& db_;
    const Marks& copy_;
    RestoreRules rules_;
    Restored out_;
    std::unordered_map<std::string, int64_t> ids_;
    std::set<int64_t> made_;
    std::set<int64_t> lookAgain_;
};

}  // namespace

Restored restoreMarks(Database& db, const Marks& copy, const RestoreRules& rules) {
    Restored out;
    db.transaction([&] { out = Restorer(db, copy, rules).run(); });
    return out;
}

}  // namespace vintrelle
