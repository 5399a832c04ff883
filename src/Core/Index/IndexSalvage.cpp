#include "Core/Index/IndexSalvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

namespace vintrelle {

namespace {

// Page kinds, as the first byte of a b-tree page says.
constexpr uint8_t kIndexInterior = 2, kTableInterior = 5, kIndexLeaf = 10, kTableLeaf = 13;
// Deeper than any tree SQLite can write: a deeper path is a loop.
constexpr int kMaxDepth = 40;
// SQLite's own largest row; a larger size is garbage.
constexpr uint64_t kMaxPayload = 1'000'000'000;
// Pages looked at when the header no longer tells the page size.
constexpr uint32_t kPagesToGuessFrom = 1024;

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// A varint at p, read from at most `avail` bytes: its length, 0 when cut short.
int varint(const uint8_t* p, size_t avail, uint64_t& v) {
    v = 0;
    for (int i = 0; i < 8; ++i) {
        if (size_t(i) >= avail) return 0;
        v = (v << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) return i + 1;
    }
    if (avail < 9) return 0;
    v = (v << 8) | p[8];
    return 9;
}

// Read with pread rather than mapped: a drive that fails or goes away gives
// an error to skip, where a mapping would bring the process down.
class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0) size_ = uint64_t(st.st_size);
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    uint64_t size() const { return size_; }
    bool read(uint64_t offset, size_t n, uint8_t* out) const {
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::pread(fd_, out + done, n - done, off_t(offset + done));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            done += size_t(r);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

enum class Affinity { integer, real, text, numeric, blob };

// SQLite's rules for a declared type.
Affinity affinityOf(std::string type) {
    for (char& c : type) c = char(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&](const char* s) { return type.find(s) != std::string::npos; };
    if (has("INT")) return Affinity::integer;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return Affinity::text;
    if (type.empty() || has("BLOB")) return Affinity::blob;
    if (has("REAL") || has("FLOA") || has("DOUB")) return Affinity::real;
    return Affinity::numeric;
}

// Whether a stored value can be one of the column's: what its affinity and
// constraint let it hold.
bool fits(const TableColumn& column, Affinity affinity, const DBValue& value) {
    const auto& v = value.storage();
    // The row id lives in the cell; its own column is stored as NULL.
    if (std::holds_alternative<DBNull>(v)) return column.rowid || !column.notNull;
    if (column.rowid) return false;
    const bool number = std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
    switch (affinity) {
        case Affinity::integer:
        case Affinity::real: return number;
        case Affinity::text: return std::holds_alternative<std::string>(v);
        case Affinity::numeric: return number || std::holds_alternative<std::string>(v);
        case Affinity::blob: return true;
    }
    return false;
}

// A record's values, or false when its bytes do not make one.
bool decodeRecord(const std::vector<uint8_t>& bytes, std::vector<DBValue>& out) {
    out.clear();
    const uint8_t* p = bytes.data();
    const size_t size = bytes.size();
    uint64_t headerSize;
    const int first = varint(p, size, headerSize);
    if (!first || headerSize > size || headerSize < uint64_t(first)) return false;
    std::vector<uint64_t> types;
    for (size_t at = size_t(first); at < headerSize;) {
        uint64_t type;
        const int n = varint(p + at, size_t(headerSize - at), type);
        if (!n) return false;
        types.push_back(type);
        at += size_t(n);
    }
    static constexpr int kIntBytes[] = {0, 1, 2, 3, 4, 6, 8};
    size_t body = size_t(headerSize);
    for (uint64_t type : types) {
        if (type == 10 || type == 11) return false;
        const uint64_t length = type >= 12 ? (type - 12) / 2 : type == 7 ? 8 : type <= 6 ? uint64_t(kIntBytes[type]) : 0;
        if (length > size - body) return false;
        const uint8_t* v = p + body;
        if (type == 0) {
            out.emplace_back();
        } else if (type <= 6) {
            uint64_t u = v[0] & 0x80 ? ~uint64_t(0) : 0;  // sign-extended
            for (uint64_t i = 0; i < length; ++i) u = (u << 8) | v[i];
            out.emplace_back(static_cast<long long>(static_cast<int64_t>(u)));
        } else if (type == 7) {
            uint64_t u = 0;
            for (int i = 0; i < 8; ++i) u = (u << 8) | v[i];
            double d;
            std::memcpy(&d, &u, sizeof d);
            out.emplace_back(d);
        } else if (type == 8 || type == 9) {
            out.emplace_back(static_cast<long long>(type - 8));
        } else if (type % 2 == 0) {
            out.emplace_back(DBBlob(v, v + length));
        } else {
            out.emplace_back(std::string(reinterpret_cast<const char*>(v), size_t(length)));
        }
        body += size_t(length);
    }
    return body == size;
}

struct Page {
    std::vector<uint8_t> bytes;  // the usable part
    uint8_t type = 0;
    std::vector<uint32_t> cells;  // where each cell starts
    uint32_t right = 0;           // an interior page's last child
};

struct Table {
    TableLayout layout;
    std::vector<Affinity> affinities;
    uint32_t root = 0;  // 0 while the file does not say
    bool wanted = true;
    bool damaged = false;  // a page of its tree did not read
    bool badRows = false;  // a row on a page of its own did not read
    std::vector<int> badDepths;  // how deep in the tree each page that did not read lay
    int leafDepth = -1;
    int orphanLeaves = 0;  // leaf pages of its own found outside any tree

    explicit Table(TableLayout l) : layout(std::move(l)) {
        for (const TableColumn& c : layout.columns) affinities.push_back(affinityOf(c.type));
    }
    bool fitsRow(const std::vector<DBValue>& values) const {
        if (values.size() != layout.columns.size()) return false;
        for (size_t i = 0; i < values.size(); ++i)
            if (!fits(layout.columns[i], affinities[i], values[i])) return false;
        return true;
    }
};

using ProgressReport = std::function<bool(uint64_t done, uint64_t total)>;

// Thrown when the caller no longer wants the salvage.
struct Cancelled {};

// Pages looked at, told to the caller every few hundred.
class Progress {
public:
    explicit Progress(const ProgressReport& report) : report_(report) {}

    void start(uint64_t done, uint64_t total) {
        done_ = done;
        total_ = total;
        tell();
    }
    void advance() {
        if (++done_ - told_ >= kEvery) tell();
    }
    void finish() {
        done_ = total_;
        tell();
    }

private:
    static constexpr uint64_t kEvery = 256;
    void tell() {
        told_ = done_;
        if (report_ && !report_(std::min(done_, total_), total_)) throw Cancelled{};
    }
    const ProgressReport& report_;
    uint64_t done_ = 0, total_ = 0, told_ = 0;
};

class Salvage {
public:
    Salvage(const File& file, const SalvageSink& sink, Progress& progress)
        : file_(file), sink_(sink), progress_(progress) {}

    SalvageResult run(const std::vector<TableLayout>& wanted) {
        SalvageResult out;
        if (!choosePageSize()) {
            for (const TableLayout& t : wanted) out.incomplete.insert(t.name);
            return out;
        }
        out.readable = true;
        used_.assign(size_t(pages_) + 1, 0);
        seen_.assign(size_t(pages_) + 1, 0);
        // Every page is looked at once after the page size is known.
        progress_.start(sizingReads_, sizingReads_ + pages_);
        markFreePages();

        // The list of tables: a table of its own, rooted on the first page.
        Table master(TableLayout{"sqlite_master",
                                 {{"type", "TEXT", false, false},
                                  {"name", "TEXT", false, false},
                                  {"tbl_name", "TEXT", false, false},
                                  {"rootpage", "INTEGER", false, false},
                                  {"sql", "TEXT", false, false}}});
        master.root = 1;
        std::vector<std::vector<DBValue>> schema;
        walk(master, [&](const Table&, int64_t, std::vector<DBValue>& v) { schema.push_back(std::move(v)); });
        out.schemaRead = !master.damaged;
        // The first page is the list's, whether or not it reads.
        used_[1] = 1;

        tables_.reserve(wanted.size());
        const std::map<std::string, std::pair<uint32_t, TableLayout>> declared = declaredTables(schema);
        for (const TableLayout& w : wanted) {
            const auto found = declared.find(w.name);
            if (found == declared.end()) {
                tables_.emplace_back(w);
                // Not in a list that reads whole: the file never had it.
                tables_.back().wanted = !out.schemaRead;
                continue;
            }
            const auto& [root, layout] = found->second;
            tables_.emplace_back(layout.columns.empty() ? w : layout);
            tables_.back().root = root;
        }

        auto emit = [&](const Table& t, int64_t rowid, std::vector<DBValue>& values) {
            for (size_t i = 0; i < values.size(); ++i)
                if (t.layout.columns[i].rowid) values[i] = DBValue(static_cast<long long>(rowid));
            if (values.size() == t.layout.columns.size()) return sink_(t.layout, values);
            // A row written before columns were added holds only the first ones.
            TableLayout first{t.layout.name, {t.layout.columns.begin(), t.layout.columns.begin() + long(values.size())}};
            sink_(first, values);
        };
        for (Table& t : tables_)
            if (t.root) walk(t, emit);
        // A table the file lists but whose tree does not read whole, or any
        // table when the list is lost, takes the leaf pages no tree reaches.
        for (Table& t : tables_) t.wanted = t.wanted && (!t.root || t.damaged);
        scanUnreached(emit);

        for (const Table& t : tables_)
            if (!complete(t)) out.incomplete.insert(t.layout.name);
        progress_.finish();
        return out;
    }

private:
    using Emit = std::function<void(const Table&, int64_t, std::vector<DBValue>&)>;

    bool readPage(uint32_t n, std::vector<uint8_t>& bytes) {
        if (n < 1 || n > pages_) return false;
        if (!seen_.empty() && !seen_[n]) {
            seen_[n] = 1;
            progress_.advance();
        }
        bytes.resize(usable_);
        return file_.read(uint64_t(n - 1) * pageSize_, usable_, bytes.data());
    }

    // The b-tree page in `page.bytes`, or false when its header or cell
    // pointers are not a page's.
    bool parse(uint32_t n, Page& page) const {
        const uint8_t* p = page.bytes.data();
        const uint32_t at = n == 1 ? 100 : 0;  // the first page begins with the file's header
        const uint8_t type = p[at];
        if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf && type != kTableLeaf) return false;
        const bool interior = type == kIndexInterior || type == kTableInterior;
        const uint32_t headerEnd = at + (interior ? 12 : 8);
        const uint32_t count = be16(p + at + 3);
        uint32_t content = be16(p + at + 5);
        if (content == 0) content = 65536;
        const uint64_t pointersEnd = headerEnd + 2ull * count;
        if (pointersEnd > usable_ || content < pointersEnd || content > usable_) return false;
        page.cells.clear();
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t c = be16(p + headerEnd + 2 * i);
            if (c < content || c >= usable_) return false;
            page.cells.push_back(c);
        }
        page.type = type;
        page.right = interior ? be32(p + at + 8) : 0;
        return true;
    }

    bool load(uint32_t n, Page& page) { return readPage(n, page.bytes) && parse(n, page); }

    // The page size the header gives, or, when the header is spoiled, the
    // one under which the most pages read as pages.
    bool choosePageSize() {
        uint8_t header[100];
        if (file_.size() < 512 || !file_.read(0, sizeof header, header)) return false;
        uint32_t size = be16(header + 16);
        if (size == 1) size = 65536;
        headerValid_ = std::memcmp(header, "SQLite format 3", 16) == 0 && size >= 512 && size <= 65536 &&
                       (size & (size - 1)) == 0 && header[21] == 64 && header[22] == 32 && header[23] == 32 &&
                       uint32_t(header[20]) + 480 <= size;
        if (headerValid_) {
            setPageSize(size, header[20]);
        } else {
            uint32_t best = 0, bestScore = 0;
            for (uint32_t candidate = 512; candidate <= 65536; candidate *= 2) {
                setPageSize(candidate, 0);
                uint32_t score = 0;
                Page page;
                for (uint32_t n = 1; n <= std::min(pages_, kPagesToGuessFrom); ++n, ++sizingReads_)
                    score += load(n, page) ? 1 : 0;
                // Ties go to the size SQLite makes by default.
                if (score > bestScore || (score == bestScore && score > 0 && candidate == 4096)) {
                    best = candidate;
                    bestScore = score;
                }
            }
            if (!best) return false;
            setPageSize(best, 0);
        }
        // The header's own count, where the header vouches for it: pages it
        // counts that the file lacks are gone (a file cut short); pages past
        // it were never part of the database.
        if (headerValid_ && be32(header + 24) == be32(header + 92) && be32(header + 28) > 0) {
            const uint32_t declared = be32(header + 28);
            if (declared > pages_) unexplained_ = true;
            pages_ = std::min(pages_, declared);
        }
        if (file_.size() % pageSize_ != 0) unexplained_ = true;
        freelistHead_ = headerValid_ ? be32(header + 32) : 0;
        return pages_ > 0;
    }

    void setPageSize(uint32_t size, uint32_t reserved) {
        pageSize_ = size;
        usable_ = size - reserved;
        pages_ = uint32_t(std::min<uint64_t>(file_.size() / size, UINT32_MAX - 1));
    }

    // Free pages hold nothing: never taken for a table's lost pages.
    void markFreePages() {
        std::vector<uint8_t> trunk;
        for (uint32_t n = freelistHead_, hops = 0; n >= 1 && n <= pages_ && !used_[n] && hops <= pages_; ++hops) {
            if (!readPage(n, trunk)) return;
            used_[n] = 1;
            const uint32_t leaves = be32(trunk.data() + 4);
            if (leaves > usable_ / 4 - 2) return;
            for (uint32_t i = 0; i < leaves; ++i) {
                const uint32_t leaf = be32(trunk.data() + 8 + 4 * i);
                if (leaf >= 1 && leaf <= pages_) used_[leaf] = 1;
            }
            n = be32(trunk.data());
        }
    }

    // Whether a page that is no b-tree page may be one that holds nothing
    // lost: a free page (zeroed) or the overflow page of a long row (it
    // begins with the number of the next one, or 0).
    bool looksUnused(const std::vector<uint8_t>& bytes) const {
        if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) return true;
        return bytes.size() >= 4 && be32(bytes.data()) <= pages_;
    }

    // The payload of the table leaf cell at `c` whole, its overflow pages
    // read, and its row id; false when it does not read.
    bool leafCell(const Page& page, uint32_t c, int64_t& rowid, std::vector<uint8_t>& payload) {
        const uint8_t* p = page.bytes.data();
        uint64_t size, id;
        const int a = varint(p + c, usable_ - c, size);
        if (!a) return false;
        const int b = varint(p + c + a, usable_ - c - uint32_t(a), id);
        if (!b || size > kMaxPayload) return false;
        const uint64_t maxLocal = usable_ - 35, minLocal = uint64_t(usable_ - 12) * 32 / 255 - 23;
        uint64_t local = size;
        if (size > maxLocal) {
            const uint64_t k = minLocal + (size - minLocal) % (usable_ - 4);
            local = k <= maxLocal ? k : minLocal;
        }
        const uint64_t start = uint64_t(c) + uint64_t(a) + uint64_t(b);
        if (start + local + (local < size ? 4 : 0) > usable_) return false;
        payload.assign(p + start, p + start + local);
        rowid = static_cast<int64_t>(id);
        if (local == size) return true;
        uint32_t next = be32(p + start + local);
        uint64_t left = size - local;
        std::vector<uint8_t> overflow;
        while (left > 0) {
            // An overflow page belongs to one row only: met again, the chain
            // is a loop.
            if (next < 1 || next > pages_ || used_[next] || !readPage(next, overflow)) return false;
            used_[next] = 1;
            const uint64_t take = std::min<uint64_t>(left, usable_ - 4);
            payload.insert(payload.end(), overflow.begin() + 4, overflow.begin() + 4 + long(take));
            left -= take;
            next = be32(overflow.data());
        }
        return true;
    }

    // Walks a table's tree from its root, handing each row on; a page that
    // does not read is passed over and the walk goes on with the others.
    void walk(Table& t, const Emit& emit) {
        struct Step {
            uint32_t page;
            int depth;
        };
        std::vector<Step> todo{{t.root, 0}};
        Page page;
        std::vector<uint8_t> payload;
        std::vector<DBValue> values;
        while (!todo.empty()) {
            const Step s = todo.back();
            todo.pop_back();
            const bool inFile = s.page >= 1 && s.page <= pages_;
            // Reached twice (a loop, or a page shared with another tree):
            // damage, whatever the page holds.
            const bool reachedBefore = inFile && used_[s.page];
            if (inFile) used_[s.page] = 1;
            if (reachedBefore || s.depth > kMaxDepth || !load(s.page, page) ||
                (page.type != kTableLeaf && page.type != kTableInterior)) {
                t.damaged = true;
                t.badDepths.push_back(s.depth);
                continue;
            }
            if (page.type == kTableLeaf) {
                t.leafDepth = std::max(t.leafDepth, s.depth);
                for (uint32_t c : page.cells) {
                    int64_t rowid;
                    if (!leafCell(page, c, rowid, payload) || !decodeRecord(payload, values) ||
                        values.size() > t.layout.columns.size()) {
                        t.badRows = true;
                        continue;
                    }
                    emit(t, rowid, values);
                }
                continue;
            }
            // In key order: the last child is taken last.
            todo.push_back({page.right, s.depth + 1});
            for (auto c = page.cells.rbegin(); c != page.cells.rend(); ++c) {
                if (*c + 4 > usable_) {
                    t.damaged = true;
                    t.badDepths.push_back(s.depth + 1);
                    continue;
                }
                todo.push_back({be32(page.bytes.data() + *c), s.depth + 1});
            }
        }
    }

    // The leaf pages no tree reached, each given to the table its rows fit.
    void scanUnreached(const Emit& emit) {
        const uint32_t lockPage = 0x40000000u / pageSize_ + 1;  // never written
        Page page;
        std::vector<uint8_t> payload;
        std::vector<DBValue> values;
        struct Found {
            int64_t rowid;
            std::vector<DBValue> values;
        };
        std::vector<Found> rows;
        for (uint32_t n = 1; n <= pages_; ++n) {
            if (!seen_[n]) {
                seen_[n] = 1;
                progress_.advance();
            }
            if (used_[n] || n == lockPage) continue;
            if (!readPage(n, page.bytes)) {
                unexplained_ = true;
                continue;
            }
            if (!parse(n, page)) {
                // Garbage nothing points at: it may have held anyone's rows.
                if (!looksUnused(page.bytes)) unexplained_ = true;
                continue;
            }
            if (page.type == kTableInterior) {
                for (uint32_t c : page.cells)
                    if (c + 4 > usable_ || be32(page.bytes.data() + c) > pages_) unexplained_ = true;
                if (page.right < 1 || page.right > pages_) unexplained_ = true;
                continue;
            }
            // An index holds nothing its table does not.
            if (page.type != kTableLeaf) continue;
            rows.clear();
            bool unread = false;
            for (uint32_t c : page.cells) {
                int64_t rowid;
                if (leafCell(page, c, rowid, payload) && decodeRecord(payload, values)) rows.push_back({rowid, values});
                else unread = true;
            }
            Table* owner = nullptr;
            size_t best = 0;
            bool tie = false;
            for (Table& t : tables_) {
                const size_t fitting = size_t(
                    std::count_if(rows.begin(), rows.end(), [&](const Found& r) { return t.fitsRow(r.values); }));
                if (fitting > best) {
                    owner = &t;
                    best = fitting;
                    tie = false;
                } else if (fitting == best && fitting > 0) {
                    tie = true;
                }
            }
            if (!owner || tie || !owner->wanted) continue;
            ++owner->orphanLeaves;
            owner->badRows = owner->badRows || unread;
            for (Found& r : rows) {
                if (owner->fitsRow(r.values)) emit(*owner, r.rowid, r.values);
                else owner->badRows = true;
            }
        }
    }

    // Whether every row of the table was found. A page of its tree that did
    // not read loses nothing when it was a branch whose leaves were all
    // found: the root of a tree whose leaves turned up elsewhere, or a page
    // above the depth of the tree's leaves.
    bool complete(const Table& t) const {
        if (t.badRows) return false;
        if (!t.root) return !t.wanted || !unexplained_;
        if (!t.damaged) return true;
        if (unexplained_) return false;
        return std::all_of(t.badDepths.begin(), t.badDepths.end(), [&](int depth) {
            return depth == 0 ? t.orphanLeaves > 0 : depth < t.leafDepth;
        });
    }

    // The tables the list declares: each one's root and its columns, read
    // from its own CREATE statement.
    std::map<std::string, std::pair<uint32_t, TableLayout>> declaredTables(
        const std::vector<std::vector<DBValue>>& schema) const {
        std::map<std::string, std::pair<uint32_t, TableLayout>> out;
        std::optional<Database> scratch;
        try {
            scratch.emplace(":memory:");
        } catch (const DBError&) {
        }
        for (const std::vector<DBValue>& row : schema) {
            if (row.size() < 5) continue;
            const auto* type = std::get_if<std::string>(&row[0].storage());
            const auto* name = std::get_if<std::string>(&row[1].storage());
            const auto* root = std::get_if<int64_t>(&row[3].storage());
            const auto* sql = std::get_if<std::string>(&row[4].storage());
            if (!type || *type != "table" || !name || !root || *root < 1 || *root > int64_t(UINT32_MAX)) continue;
            TableLayout layout{*name, {}};
            // SQLite's own tables cannot be made again by name; the caller
            // knows their columns. The text comes from a damaged file and
            // may hold anything after the declaration (an ATTACH would make
            // a file wherever it names): only one CREATE TABLE statement is
            // run, as SQLite writes every table's.
            if (sql && scratch && !name->starts_with("sqlite_") && sql->starts_with("CREATE TABLE ")) {
                try {
                    scratch->run(*sql);
                    for (TableLayout& t : tableLayouts(*scratch))
                        if (t.name == *name) layout = std::move(t);
                } catch (const DBError&) {
                }
            }
            out[*name] = {uint32_t(*root), std::move(layout)};
        }
        return out;
    }

    const File& file_;
    const SalvageSink& sink_;
    Progress& progress_;
    uint64_t sizingReads_ = 0;  // pages read to find the page size
    std::vector<uint8_t> seen_;  // per page: counted as looked at
    uint32_t pageSize_ = 0, usable_ = 0, pages_ = 0, freelistHead_ = 0;
    bool headerValid_ = false;
    bool unexplained_ = false;  // pages that held something no one can name
    std::vector<uint8_t> used_;  // per page: reached by a tree, free, or overflow
    std::vector<Table> tables_;
};

}  // namespace

SalvageResult salvageRows(const std::string& path, const std::vector<TableLayout>& wanted, const SalvageSink& sink,
                          const ProgressReport& progress) {
    File file(path);
    Progress counter(progress);
    try {
        return Salvage(file, sink, counter).run(wanted);
    } catch (const Cancelled&) {
        SalvageResult out;
        for (const TableLayout& t : wanted) out.incomplete.insert(t.name);
        return out;
    }
}

}  // namespace vintrelle
