#include "Core/Index/MarksFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <variant>

#include "Core/Index/DataFiles.h"

namespace vintrelle {

const char* const kSpoiledCopy = "damaged";
const char* const kOtherCopy = "other-library";

namespace {

const char* const kCopyName = "library.marks";
const char* const kWritingSuffix = "-writing";
const char* const kWriteFailed = "Could not write the copy of the library's marks";
constexpr char kMagic[8] = {'V', 'T', 'M', 'A', 'R', 'K', 'S', '\n'};
constexpr uint32_t kFormat = 2;
// Magic, format, a word of the format's own, stamp, a size, a word of the
// format's own, and the checksum of all that before it: the layout every
// format keeps, so that a copy of a later format is told from a spoiled one.
constexpr size_t kHeaderSize = 8 + 4 + 4 + 8 + 8 + 8 + 8;
// Far above any library's marks (a hundred thousand photos take about
// fourteen megabytes): a copy is never read beyond it.
constexpr uint64_t kMaxCopy = uint64_t(512) << 20;
// Records of the base are about this long, so that a spoiled byte loses
// little of it.
constexpr size_t kBaseRecord = 4 << 10;
// A record: its marker, its body's length and checksum, then the body.
constexpr uint32_t kRecordMarker = 0x524d5456;  // "VTMR"
constexpr size_t kRecordHead = 4 + 4 + 8;

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
    std::string text() { return std::string(bytes()); }
    // What text() reads, in place.
    std::string_view bytes() {
        const uint32_t n = get<uint32_t>();
        if (!ok_ || in_.size() - at_ < n) {
            ok_ = false;
            return {};
        }
        const std::string_view s = in_.substr(at_, n);
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
uint64_t fnv(std::string_view bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
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

template <class T>
T load(std::string_view bytes, size_t at) {
    T v;
    std::memcpy(&v, bytes.data() + at, sizeof(T));
    return v;
}

// ---- rows as records ---------------------------------------------------------------

using Kind = MarkChange::Kind;

void putRow(Writer& w, const MarkRows::File& f) {
    w.text(f.path);
    w.put(uint8_t(f.kind));
    w.put(f.size);
    w.put(f.mtime);
    w.put(f.added);
    w.put(uint8_t(f.favorite));
}
void putRow(Writer& w, const MarkRows::Album& a) {
    w.text(a.name);
    w.put(a.created);
    w.put(uint32_t(a.members.size()));
    for (const auto& [asset, added] : a.members) {
        w.put(asset);
        w.put(added);
    }
}
void putRow(Writer& w, const MarkRows::Person& p) {
    w.text(p.name);
    w.put(uint8_t(p.hidden));
    w.put(p.created);
}
void putRow(Writer& w, const MarkRows::Face& f) {
    w.put(f.asset);
    for (const auto* v : {&f.x, &f.y, &f.w, &f.h}) w.optionalDouble(*v);
    w.put(f.quality);
    w.text(std::string_view(reinterpret_cast<const char*>(f.embedding.data()), f.embedding.size()));
    w.put(f.person);
    w.put(uint8_t(f.locked));
}
void putRow(Writer& w, const MarkRows::Trip& t) {
    w.text(t.title);
    w.text(t.subtitle);
    w.put(uint8_t(t.customTitle.has_value()));
    if (t.customTitle) w.text(*t.customTitle);
    w.put(t.start);
    w.put(t.end);
    w.put(t.lat);
    w.put(t.lon);
    w.put(uint8_t(t.hidden));
    w.put(t.cover);
}

void getRow(Reader& r, MarkRows::File& f) {
    f.path = r.text();
    f.kind = r.get<uint8_t>();
    f.size = r.get<int64_t>();
    f.mtime = r.get<double>();
    f.added = r.get<double>();
    f.favorite = r.get<uint8_t>() != 0;
}
void getRow(Reader& r, MarkRows::Album& a) {
    a.name = r.text();
    a.created = r.get<double>();
    a.members.resize(r.count(16));
    for (auto& [asset, added] : a.members) {
        asset = r.get<int64_t>();
        added = r.get<double>();
    }
}
void getRow(Reader& r, MarkRows::Person& p) {
    p.name = r.text();
    p.hidden = r.get<uint8_t>() != 0;
    p.created = r.get<double>();
}
void getRow(Reader& r, MarkRows::Face& f) {
    f.asset = r.get<int64_t>();
    for (auto* v : {&f.x, &f.y, &f.w, &f.h}) *v = r.optionalDouble();
    f.quality = r.get<double>();
    const std::string_view print = r.bytes();
    f.embedding.assign(print.begin(), print.end());
    f.person = r.get<int64_t>();
    f.locked = r.get<uint8_t>() != 0;
}
void getRow(Reader& r, MarkRows::Trip& t) {
    t.title = r.text();
    t.subtitle = r.text();
    if (r.get<uint8_t>()) t.customTitle = r.text();
    t.start = r.get<double>();
    t.end = r.get<double>();
    t.lat = r.get<double>();
    t.lon = r.get<double>();
    t.hidden = r.get<uint8_t>() != 0;
    t.cover = r.get<int64_t>();
}

// Each row is its kind, its id and whether it is gone, then its values.
template <class Map>
void putChange(Writer& w, Kind kind, int64_t id, const Map& rows) {
    const auto it = rows.find(id);
    w.put(uint8_t(kind));
    w.put(id);
    w.put(uint8_t(it == rows.end()));
    if (it != rows.end()) putRow(w, it->second);
}

void putChange(Writer& w, const MarkChange& c, const MarkRows& rows) {
    switch (c.kind) {
        case Kind::file: return putChange(w, c.kind, c.id, rows.files);
        case Kind::album: return putChange(w, c.kind, c.id, rows.albums);
        case Kind::person: return putChange(w, c.kind, c.id, rows.persons);
        case Kind::face: return putChange(w, c.kind, c.id, rows.faces);
        case Kind::trip: return putChange(w, c.kind, c.id, rows.trips);
    }
}

// One row of a record, read.
struct RowChange {
    Kind kind;
    int64_t id;
    std::variant<std::monostate, MarkRows::File, MarkRows::Album, MarkRows::Person, MarkRows::Face, MarkRows::Trip> row;
};

template <class Row>
void readRow(Reader& r, bool gone, RowChange& change) {
    if (gone) return;
    Row row;
    getRow(r, row);
    change.row = std::move(row);
}

template <class Map>
void applyRow(Map& rows, RowChange& change) {
    using Row = typename Map::mapped_type;
    if (Row* row = std::get_if<Row>(&change.row)) rows[change.id] = std::move(*row);
    else rows.erase(change.id);
}

// Applies a record's body after its stamp; false, applying nothing, when it
// does not read.
bool applyRecord(std::string_view body, MarkRows& rows) {
    std::vector<RowChange> changes;
    Reader r(body);
    while (r.ok() && !r.atEnd()) {
        RowChange& c = changes.emplace_back(RowChange{Kind(r.get<uint8_t>()), r.get<int64_t>(), {}});
        const bool gone = r.get<uint8_t>() != 0;
        if (!r.ok()) return false;
        switch (c.kind) {
            case Kind::file: readRow<MarkRows::File>(r, gone, c); break;
            case Kind::album: readRow<MarkRows::Album>(r, gone, c); break;
            case Kind::person: readRow<MarkRows::Person>(r, gone, c); break;
            case Kind::face: readRow<MarkRows::Face>(r, gone, c); break;
            case Kind::trip: readRow<MarkRows::Trip>(r, gone, c); break;
            default: return false;
        }
    }
    if (!r.ok()) return false;
    for (RowChange& c : changes) {
        switch (c.kind) {
            case Kind::file: applyRow(rows.files, c); break;
            case Kind::album: applyRow(rows.albums, c); break;
            case Kind::person: applyRow(rows.persons, c); break;
            case Kind::face: applyRow(rows.faces, c); break;
            case Kind::trip: applyRow(rows.trips, c); break;
        }
    }
    return true;
}

std::string record(double changed, std::string_view ops) {
    Writer body;
    body.put(changed);
    body.out.append(ops);
    Writer w;
    w.put(kRecordMarker);
    w.put(uint32_t(body.out.size()));
    w.put(fnv(body.out));
    w.out.append(body.out);
    return std::move(w.out);
}

// The body of the record at `at`, when one whole and sound starts there.
std::optional<std::string_view> recordAt(std::string_view bytes, size_t at) {
    if (bytes.size() - at < kRecordHead + 8 || load<uint32_t>(bytes, at) != kRecordMarker) return std::nullopt;
    const uint32_t length = load<uint32_t>(bytes, at + 4);
    if (length < 8 || length > bytes.size() - at - kRecordHead) return std::nullopt;
    const std::string_view body = bytes.substr(at + kRecordHead, length);
    if (fnv(body) != load<uint64_t>(bytes, at + 8)) return std::nullopt;
    return body;
}

// The base: every row, favourites first (a copy cut short keeps what its
// start holds), then the photos other marks name, albums, people, their
// faces and trips, in records of about kBaseRecord bytes.
std::vector<std::string> baseRecords(double changed, const MarkRows& rows) {
    std::vector<std::string> out;
    Writer ops;
    auto flush = [&] {
        if (ops.out.empty()) return;
        out.push_back(record(changed, ops.out));
        ops.out.clear();
    };
    auto add = [&](Kind kind, int64_t id, const auto& map) {
        putChange(ops, kind, id, map);
        if (ops.out.size() >= kBaseRecord) flush();
    };
    for (const auto& [id, f] : rows.files)
        if (f.favorite) add(Kind::file, id, rows.files);
    for (const auto& [id, f] : rows.files)
        if (!f.favorite) add(Kind::file, id, rows.files);
    for (const auto& [id, a] : rows.albums) add(Kind::album, id, rows.albums);
    for (const auto& [id, p] : rows.persons) add(Kind::person, id, rows.persons);
    for (const auto& [id, f] : rows.faces) add(Kind::face, id, rows.faces);
    for (const auto& [id, t] : rows.trips) add(Kind::trip, id, rows.trips);
    flush();
    return out;
}

std::string header(uint32_t records, double changed, uint64_t base, uint64_t identity) {
    Writer h;
    h.out.append(kMagic, sizeof kMagic);
    h.put(kFormat);
    h.put(records);
    h.put(changed);
    h.put(base);
    h.put(identity);
    h.put(fnv(h.out));
    return std::move(h.out);
}

// ---- the first format: the marks whole, by path, under one checksum ----------------

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

// The whole payload; or, when it does not read whole, the photos at its
// start that read before it broke off (favourites among them), as `partial`.
std::optional<Marks> decodeFirstFormat(std::string_view payload, double changed, bool whole, bool& partial) {
    Reader r(payload);
    Marks m;
    m.changed = changed;
    constexpr size_t kLeastFace = 4 + 5 * 8 + 4;
    const uint32_t files = r.get<uint32_t>();
    for (uint32_t i = 0; r.ok() && i < files; ++i) {
        MarkedFile f;
        f.path = r.text();
        f.kind = r.get<uint8_t>();
        f.size = r.get<int64_t>();
        f.mtime = r.get<double>();
        f.added = r.get<double>();
        f.favorite = r.get<uint8_t>() != 0;
        // Sorted and one each, as written: a lookup by path relies on it.
        if (!r.ok() || (!m.files.empty() && !(m.files.back().path < f.path))) break;
        m.files.push_back(std::move(f));
    }
    if (!whole || !r.ok() || m.files.size() != files) {
        // Only favourites stand alone: the rest were named by marks now lost.
        std::erase_if(m.files, [](const MarkedFile& f) { return !f.favorite; });
        partial = true;
        return m;
    }
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
        // The same values as a trip's row, its cover the photo's place in the list.
        MarkRows::Trip row;
        getRow(r, row);
        t = MarkedTrip{row.title, row.subtitle, row.customTitle, row.start, row.end, row.lat, row.lon, row.hidden, {}};
        if (row.cover >= 0) {
            const std::string* path = row.cover <= int64_t(UINT32_MAX) ? fileAt(uint32_t(row.cover)) : nullptr;
            if (!path) return std::nullopt;
            t.cover = *path;
        }
    }
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return m;
}

// ---- reading -----------------------------------------------------------------------

// Reads up to `size` bytes from `at`; fewer when the file ends sooner.
std::string readUpTo(int fd, uint64_t at, uint64_t size) {
    std::string bytes(size_t(size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, off_t(at + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

// The records after the header, applied in order; a record that does not
// read is passed over when a sound one follows it (the copy then is spoiled),
// and ends the reading when none does (a write cut short).
void readRecords(std::string_view bytes, uint32_t baseCount, uint64_t baseBytes, CopyFile& out) {
    const uint64_t baseEnd = kHeaderSize + baseBytes;
    size_t at = kHeaderSize;
    uint32_t baseRead = 0;
    bool whole = true;
    while (at < bytes.size()) {
        std::optional<std::string_view> body = recordAt(bytes, at);
        if (body && !applyRecord(body->substr(8), out.rows)) body.reset();
        if (!body) {
            size_t next = at + 1;
            for (; next + 4 <= bytes.size(); ++next)
                if (load<uint32_t>(bytes, next) == kRecordMarker && recordAt(bytes, next)) break;
            if (next + 4 > bytes.size()) break;
            whole = false;
            at = next;
            continue;
        }
        const size_t end = at + kRecordHead + body->size();
        if (at < baseEnd) {
            ++baseRead;
            if (end > baseEnd) whole = false;
        } else {
            out.changed = std::max(out.changed, load<double>(*body, 0));
        }
        at = end;
        out.place.end = end;
    }
    if (baseRead != baseCount || out.place.end < baseEnd) whole = false;
    out.place.base = std::min<uint64_t>(baseBytes, out.place.end - kHeaderSize);
    out.place.journal = out.place.end > baseEnd ? out.place.end - baseEnd : 0;
    out.state = whole ? CopyState::readable : CopyState::spoiled;
}

CopyFile readAt(int folder, const std::string& name) {
    CopyFile out;
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) out.state = CopyState::notAFile;
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        out.state = CopyState::notAFile;
        return out;
    }
    out.place.device = st.st_dev;
    out.place.inode = st.st_ino;
    out.state = CopyState::spoiled;
    const std::string head = readUpTo(fd, 0, kHeaderSize);
    if (head.size() < kHeaderSize || std::memcmp(head.data(), kMagic, sizeof kMagic) != 0 ||
        load<uint64_t>(head, kHeaderSize - 8) != fnv(std::string_view(head).substr(0, kHeaderSize - 8))) {
        ::close(fd);
        return out;
    }
    out.format = int(load<uint32_t>(head, 8));
    const double stamp = load<double>(head, 16);
    const uint64_t size = load<uint64_t>(head, 24);
    if (out.format > int(kFormat)) {
        ::close(fd);
        out.state = CopyState::newer;
        return out;
    }
    if (out.format < 1 || !std::isfinite(stamp)) {
        ::close(fd);
        return out;
    }
    out.changed = stamp;
    const uint64_t body = std::min<uint64_t>(uint64_t(st.st_size), kMaxCopy) - std::min<uint64_t>(uint64_t(st.st_size), kHeaderSize);
    if (out.format == 1) {
        const std::string payload = readUpTo(fd, kHeaderSize, std::min(size, body));
        ::close(fd);
        const bool whole = payload.size() == size && fnv(payload) == load<uint64_t>(head, 32);
        bool partial = false;
        if (std::optional<Marks> marks = decodeFirstFormat(payload, stamp, whole, partial)) {
            out.marks = std::move(*marks);
            out.state = partial ? CopyState::spoiled : CopyState::readable;
        }
        out.place.end = kHeaderSize + payload.size();
        return out;
    }
    out.identity = load<uint64_t>(head, 32);
    std::string bytes = head + readUpTo(fd, kHeaderSize, body);
    ::close(fd);
    out.place.end = kHeaderSize;
    readRecords(bytes, load<uint32_t>(head, 12), size, out);
    out.marks = out.rows.marks(out.changed);
    return out;
}

// ---- writing -----------------------------------------------------------------------

void writeAll(int fd, uint64_t at, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::pwrite(fd, data.data(), data.size(), off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw fileError(kWriteFailed, n < 0 ? errno : ENOSPC);
        data.remove_prefix(size_t(n));
        at += uint64_t(n);
    }
}

// Whatever is in the copy's place is a file, or nothing.
void requireFileOrNothing(int folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode))
        throw DBError(std::string(kWriteFailed) + ": something other than a file is in its place", SQLITE_CANTOPEN);
}

CopyPlace writeAt(int folder, const std::string& name, uint64_t identity, double changed, const MarkRows& rows) {
    const std::vector<std::string> records = baseRecords(changed, rows);
    uint64_t base = 0;
    for (const std::string& r : records) base += r.size();
    requireFileOrNothing(folder, name);

    const std::string writing = name + kWritingSuffix;
    ::unlinkat(folder, writing.c_str(), 0);
    const int fd = ::openat(folder, writing.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw fileError(kWriteFailed, errno);
    CopyPlace place;
    int error = 0;
    try {
        uint64_t at = 0;
        auto put = [&](std::string_view bytes) {
            writeAll(fd, at, bytes);
            at += bytes.size();
        };
        put(header(uint32_t(records.size()), changed, base, identity));
        for (size_t i = 0; i < records.size(); ++i) {
            if (i == records.size() / 2) step("half written");
            put(records[i]);
        }
        if (records.empty()) step("half written");
        step("written");
        if (::fsync(fd) != 0) error = errno;
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            place.device = st.st_dev;
            place.inode = st.st_ino;
        }
        place.end = at;
        place.base = base;
    } catch (...) {
        ::close(fd);
        ::unlinkat(folder, writing.c_str(), 0);
        throw;
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0) step("synced");
    try {
        if (error == 0) requireFileOrNothing(folder, name);
    } catch (...) {
        ::unlinkat(folder, writing.c_str(), 0);
        throw;
    }
    if (error == 0 && ::renameat(folder, writing.c_str(), folder, name.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlinkat(folder, writing.c_str(), 0);
        throw fileError(kWriteFailed, error);
    }
    ::fsync(folder);
    step("placed");
    return place;
}

int openFolder(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// A path's folder, open, and its name in it.
std::pair<int, std::string> placeOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {openFolder("."), path};
    return {openFolder(slash == 0 ? "/" : path.substr(0, slash)), path.substr(slash + 1)};
}

}  // namespace

std::string marksCopyPath(const LibraryPaths& paths) { return paths.dataDir + "/" + kCopyName; }

CopyFile readCopyFile(const std::string& path) {
    const auto [folder, name] = placeOf(path);
    if (folder < 0) return {};
    CopyFile out = readAt(folder, name);
    ::close(folder);
    return out;
}

CopyFile readCopyFileIn(int folder) { return readAt(folder, kCopyName); }

CopyRead readMarksCopy(const std::string& path) {
    CopyFile file = readCopyFile(path);
    return {file.state, std::move(file.marks), file.identity};
}

CopyPlace writeCopyIn(int folder, uint64_t identity, double changed, const MarkRows& rows) {
    return writeAt(folder, kCopyName, identity, changed, rows);
}

void writeMarksCopy(const std::string& path, const Marks& marks, uint64_t identity) {
    const auto [folder, name] = placeOf(path);
    if (folder < 0) throw fileError(kWriteFailed, errno);
    try {
        writeAt(folder, name, identity, marks.changed, MarkRows::of(marks));
    } catch (...) {
        ::close(folder);
        throw;
    }
    ::close(folder);
}

CopyPlace appendCopyIn(int folder, const CopyPlace& place, double changed, const MarkRows& rows,
                       const std::set<MarkChange>& changes) {
    Writer ops;
    for (const MarkChange& c : changes) putChange(ops, c, rows);
    const std::string bytes = record(changed, ops.out);

    const int fd = ::openat(folder, kCopyName, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO) throw CopyMoved();
        throw fileError(kWriteFailed, errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != place.device || st.st_ino != place.inode ||
        uint64_t(st.st_size) < place.end) {
        ::close(fd);
        throw CopyMoved();
    }
    try {
        // A change cut short before leaves its bytes after the end: they go.
        if (uint64_t(st.st_size) > place.end && ::ftruncate(fd, off_t(place.end)) != 0)
            throw fileError(kWriteFailed, errno);
        const size_t half = bytes.size() / 2;
        writeAll(fd, place.end, std::string_view(bytes).substr(0, half));
        step("appending");
        writeAll(fd, place.end + half, std::string_view(bytes).substr(half));
        if (::fdatasync(fd) != 0) throw fileError(kWriteFailed, errno);
    } catch (...) {
        // What was written of it reads as a write cut short; taken away
        // where the disk lets it, so that the file does not grow with them.
        if (::ftruncate(fd, off_t(place.end)) != 0) {
        }
        ::close(fd);
        throw;
    }
    ::close(fd);
    step("appended");
    CopyPlace out = place;
    out.end += bytes.size();
    out.journal += bytes.size();
    return out;
}

std::string setCopyAsideIn(int folder, std::string_view why) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = "library-marks-" + std::string(why) + "-" + stamp;
    for (int i = 1; i < 1000; ++i) {
        const std::string name = base + (i == 1 ? "" : "-" + std::to_string(i)) + ".marks";
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (::renameat(folder, kCopyName, folder, name.c_str()) != 0) return {};
        ::fsync(folder);
        return name;
    }
    return {};
}

void discardUnfinishedCopyIn(int folder) { ::unlinkat(folder, (std::string(kCopyName) + kWritingSuffix).c_str(), 0); }

void setMarksWriteHook(std::function<void(std::string_view)> hook) { step.set(std::move(hook)); }

}  // namespace vintrelle
