#include "Core/Index/IndexSalvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string_view>

namespace vintrelle {

namespace {

// Page kinds, as the first byte of a b-tree page says.
constexpr uint8_t kIndexInterior = 2, kTableInterior = 5, kIndexLeaf = 10, kTableLeaf = 13;
// Deeper than any tree SQLite can write: a deeper path is a loop.
constexpr int kMaxDepth = 40;
// SQLite's own largest row; a larger size is garbage.
constexpr uint64_t kMaxPayload = 1'000'000'000;
// The start of the file, read once to tell the page size and the reserved
// bytes from the pages themselves: the same bytes under every candidate, so
// that their counts compare.
constexpr uint64_t kSizingBytes = 1u << 20;
// Longer than any declaration of a table of ours.
constexpr size_t kMaxDeclaration = 64 * 1024;

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

// SQLite's names compare without regard to ASCII case.
bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Read with pread rather than mapped: a drive that fails or goes away gives
// an error to skip, where a mapping would bring the process down. Only a
// file is read: anything else in its place (a folder, a pipe that would
// never answer) holds nothing.
class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = uint64_t(st.st_size);
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

// The column names a CREATE TABLE statement declares, read by a tokenizer
// of its own: the text comes from a damaged file and is never run, however
// it goes on. Empty when the text is not one plain list of columns (a table
// made AS a query, say).
std::vector<std::string> declaredColumns(std::string_view sql) {
    if (sql.size() > kMaxDeclaration) return {};
    struct Token {
        std::string text;
        bool word = false;  // a name, quoted or not
        bool quoted = false;
        char punct = 0;
    };
    size_t at = 0;
    auto next = [&](Token& t) {
        t = Token{};
        while (at < sql.size()) {
            const unsigned char c = static_cast<unsigned char>(sql[at]);
            if (std::isspace(c)) {
                ++at;
            } else if (sql.substr(at, 2) == "--") {
                at = std::min(sql.size(), sql.find('\n', at));
            } else if (sql.substr(at, 2) == "/*") {
                const size_t end = sql.find("*/", at + 2);
                at = end == std::string_view::npos ? sql.size() : end + 2;
            } else {
                break;
            }
        }
        if (at >= sql.size()) return false;
        const char c = sql[at];
        if (c == '"' || c == '`' || c == '[' || c == '\'') {
            const char close = c == '[' ? ']' : c;
            for (++at; at < sql.size(); ++at) {
                if (sql[at] != close) {
                    t.text += sql[at];
                } else if (close != ']' && at + 1 < sql.size() && sql[at + 1] == close) {
                    t.text += close;  // doubled: the quote itself
                    ++at;
                } else {
                    break;
                }
            }
            if (at >= sql.size()) return false;  // never closed
            ++at;
            t.word = c != '\'';
            t.quoted = true;
            t.punct = c == '\'' ? c : 0;
            return true;
        }
        auto wordChar = [](unsigned char ch) { return std::isalnum(ch) || ch == '_' || ch == '$' || ch >= 0x80; };
        if (wordChar(static_cast<unsigned char>(c))) {
            while (at < sql.size() && wordChar(static_cast<unsigned char>(sql[at]))) t.text += sql[at++];
            t.word = true;
            return true;
        }
        t.punct = c;
        ++at;
        return true;
    };
    auto keyword = [](const Token& t, const char* k) { return t.word && !t.quoted && sameName(t.text, k); };

    Token t;
    if (!next(t) || !keyword(t, "CREATE") || !next(t)) return {};
    if ((keyword(t, "TEMP") || keyword(t, "TEMPORARY")) && !next(t)) return {};
    if (!keyword(t, "TABLE") || !next(t)) return {};
    if (keyword(t, "IF") && !(next(t) && keyword(t, "NOT") && next(t) && keyword(t, "EXISTS") && next(t))) return {};
    if (!t.word || !next(t)) return {};
    if (t.punct == '.' && !(next(t) && t.word && next(t))) return {};
    if (t.punct != '(') return {};

    std::vector<std::string> names;
    while (next(t)) {
        // The table's own constraints come after every column.
        for (const char* k : {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"})
            if (keyword(t, k)) return names;
        if (!t.word) return {};
        names.push_back(t.text);
        int depth = 0;
        bool more = false;
        while (next(t)) {
            if (t.punct == '(') ++depth;
            else if (t.punct == ')' && depth > 0) --depth;
            else if (t.punct == ')') return names;
            else if (t.punct == ',' && depth == 0) {
                more = true;
                break;
            }
        }
        if (!more) return {};
    }
    return {};
}

// SQLite's affinities for a declared type, but for one: a column declared
// BLOB is one a program means to hold bytes, and an undeclared one anything.
enum class Affinity { integer, real, text, numeric, bytes, any };

Affinity affinityOf(std::string type) {
    for (char& c : type) c = char(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&](const char* s) { return type.find(s) != std::string::npos; };
    if (has("INT")) return Affinity::integer;
    if (has("CHAR") || has("CLOB") || has("TEXT")) return Affinity::text;
    if (type.empty()) return Affinity::any;
    if (has("BLOB")) return Affinity::bytes;
    if (has("REAL") || has("FLOA") || has("DOUB")) return Affinity::real;
    return Affinity::numeric;
}

// Whether a stored value can be one of the column's: what its affinity and
// constraint let it hold. `declaredElsewhere`: the file declared the column
// itself, perhaps without NOT NULL, so that a NULL is let through (where
// ours has a default, the new row takes it).
bool fits(const TableColumn& column, Affinity affinity, const DBValue& value, bool declaredElsewhere) {
    const auto& v = value.storage();
    // The row id lives in the cell; its own column is stored as NULL.
    if (std::holds_alternative<DBNull>(v)) return column.rowid || !column.notNull || declaredElsewhere;
    if (column.rowid) return false;
    const bool number = std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
    switch (affinity) {
        case Affinity::integer:
        case Affinity::real: return number;
        case Affinity::text: return std::holds_alternative<std::string>(v);
        case Affinity::numeric: return number || std::holds_alternative<std::string>(v);
        case Affinity::bytes: return std::holds_alternative<DBBlob>(v);
        case Affinity::any: return true;
    }
    return false;
}

// One row's values. A value whose bytes lay on overflow pages that are lost
// is absent.
struct Record {
    std::vector<DBValue> values;
    std::vector<uint8_t> present;
    bool whole = true;
};

// How the bytes of a record read: not as one; as one whose values fill its
// payload; or as one whose values end before its payload does, as a size
// spoilt upwards leaves it (SQLite reads its values all the same, and the
// bytes past them are another's).
enum class Reads { no, exactly, withSlack };

// The record of `size` bytes whose first `have` bytes are at p; its values
// into `out`, when given, and in `used` the bytes its header and values
// take. A value of no bytes (a NULL, 0, 1 or an empty text) is known from
// the header alone, wherever the bytes read stop.
Reads decodeRecord(const uint8_t* p, uint64_t size, uint64_t have, Record* out, uint64_t* used = nullptr) {
    have = std::min(have, size);
    if (out) {
        out->values.clear();
        out->present.clear();
    }
    uint64_t headerSize;
    const int first = varint(p, size_t(have), headerSize);
    if (!first || headerSize > have || headerSize < uint64_t(first)) return Reads::no;
    static constexpr int kIntBytes[] = {0, 1, 2, 3, 4, 6, 8};
    uint64_t body = headerSize;
    for (size_t at = size_t(first); at < headerSize;) {
        uint64_t type;
        const int n = varint(p + at, size_t(headerSize - at), type);
        if (!n || type == 10 || type == 11) return Reads::no;
        at += size_t(n);
        const uint64_t length = type >= 12 ? (type - 12) / 2 : type == 7 ? 8 : type <= 6 ? uint64_t(kIntBytes[type]) : 0;
        if (length > size - body) return Reads::no;
        const bool here = length == 0 || body + length <= have;
        const uint8_t* v = here && length ? p + body : nullptr;
        body += length;
        if (!out) continue;
        out->present.push_back(here ? 1 : 0);
        std::vector<DBValue>& values = out->values;
        if (!here) {
            values.emplace_back();
        } else if (type == 0) {
            values.emplace_back();
        } else if (type <= 6) {
            uint64_t u = v[0] & 0x80 ? ~uint64_t(0) : 0;  // sign-extended
            for (uint64_t i = 0; i < length; ++i) u = (u << 8) | v[i];
            values.emplace_back(static_cast<long long>(static_cast<int64_t>(u)));
        } else if (type == 7) {
            uint64_t u = 0;
            for (int i = 0; i < 8; ++i) u = (u << 8) | v[i];
            double d;
            std::memcpy(&d, &u, sizeof d);
            values.emplace_back(d);
        } else if (type == 8 || type == 9) {
            values.emplace_back(static_cast<long long>(type - 8));
        } else if (type % 2 == 0) {
            values.emplace_back(length ? DBBlob(v, v + length) : DBBlob());
        } else {
            values.emplace_back(length ? std::string(reinterpret_cast<const char*>(v), size_t(length)) : std::string());
        }
    }
    if (out) out->whole = body <= have;
    if (used) *used = body;
    if (body == size) return Reads::exactly;
    // Slack is taken only where every value was read: past the values, a
    // spoilt size says nothing of where the rest would lie.
    return body <= have ? Reads::withSlack : Reads::no;
}

struct Cell {
    uint32_t at = 0, end = 0;
};

struct Page {
    std::vector<uint8_t> bytes;  // the usable part
    uint8_t type = 0;
    uint32_t right = 0;       // an interior page's last child
    std::vector<Cell> cells;  // a table page's cells that read, in key order
    // Bytes of the page that no cell, free block or fragment accounts for, or
    // pointers that lead nowhere: a row (or a child) of it may be missing.
    bool suspect = false;
};

struct FoundRow {
    int64_t rowid = 0;
    Record record;
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

// A table whose rows are looked for: its layout is the caller's, whatever
// the file says; where the file declares it otherwise (a file of an older
// version, with fewer columns), its rows are mapped onto the caller's.
struct Table {
    TableLayout ours;
    std::vector<Affinity> affinities;
    int rowidColumn = -1;
    // For each column the file declares: ours of the same name, or, for a
    // name of none of ours (a byte of it spoilt), ours in its place; -1 for
    // none. Empty when the file's declaration is ours, or unknown.
    std::vector<int> declared;
    uint32_t root = 0;      // 0 while the file does not say
    bool wanted = true;     // takes the leaf pages of unknown owner that fit it
    bool foreign = false;   // a table of the file's that is not wanted: only its pages are claimed
    bool damaged = false;   // a page of its tree did not read, or was another's
    bool badRows = false;   // a row of its own did not read, or read only in part
    bool misplaced = false;  // its tree led to pages of another table
    std::vector<int> badDepths;  // how deep in the tree each page that did not read lay
    int leafDepth = -1;
    int orphanLeaves = 0;  // leaf pages of its own found outside any tree
    std::vector<int64_t> rowids;  // of the rows handed on

    explicit Table(TableLayout l) : ours(std::move(l)) {
        for (size_t i = 0; i < ours.columns.size(); ++i) {
            affinities.push_back(affinityOf(ours.columns[i].type));
            if (ours.columns[i].rowid) rowidColumn = int(i);
        }
    }

    // Maps the file's declaration onto ours: by name, and by place for a
    // name that is none of ours.
    void declare(const std::vector<std::string>& names) {
        const size_t k = ours.columns.size();
        std::vector<int> map(names.size(), -1);
        std::vector<bool> taken(k, false);
        bool moved = false;
        for (size_t i = 0; i < names.size(); ++i)
            for (size_t j = 0; j < k; ++j)
                if (!taken[j] && sameName(ours.columns[j].name, names[i])) {
                    map[i] = int(j);
                    taken[j] = true;
                    moved = moved || j != i;
                    break;
                }
        if (!moved && names.size() == k) return;  // ours, a name or two spoilt at most
        for (size_t i = 0; i < names.size(); ++i)
            if (map[i] < 0 && i < k && !taken[i]) {
                map[i] = int(i);
                taken[i] = true;
            }
        declared = std::move(map);
    }

    enum Fit { none, byOurs, byDeclaration };

    // Whether the row is one of this table's, and under which layout. A
    // row of as many values as ours is taken as ours: a spoilt declaration
    // (a name made another's, a comma more) must not move its values.
    Fit fit(const Record& r) const {
        if (r.values.size() == ours.columns.size() && fitsUnder(r, nullptr)) return byOurs;
        if (!declared.empty() && r.values.size() <= declared.size() && fitsUnder(r, &declared)) return byDeclaration;
        return none;
    }

private:
    bool fitsUnder(const Record& r, const std::vector<int>* map) const {
        bool any = false;
        for (size_t i = 0; i < r.values.size(); ++i) {
            if (!r.present[i]) continue;
            const int column = map ? (*map)[i] : int(i);
            if (column < 0) continue;
            if (!fits(ours.columns[size_t(column)], affinities[size_t(column)], r.values[i], map != nullptr))
                return false;
            any = true;
        }
        return any;
    }
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
        readFreeList();
        // Every page is looked at once after the page size is known, and
        // those no tree reaches once more.
        progress_.start(sizingPages_, sizingPages_ + 2 * uint64_t(pages_));
        counting_ = true;

        tables_.reserve(wanted.size());
        for (const TableLayout& w : wanted) tables_.emplace_back(w);

        // The list of tables: a table of its own, rooted on the first page.
        master_.root = 1;
        std::vector<std::vector<DBValue>> schema;
        schema_ = &schema;
        walk(master_);
        schema_ = nullptr;
        out.schemaRead = !master_.damaged && !master_.badRows && !master_.misplaced;
        // The first page is the list's, whether or not it reads.
        used_[1] = 1;

        Declared declared = declaredTables(schema);
        auto isWanted = [&](const std::string& name) {
            return std::any_of(tables_.begin(), tables_.end(), [&](const Table& t) { return t.ours.name == name; });
        };
        for (const auto& [name, entry] : declared.tables)
            if (!isWanted(name) && !name.starts_with("sqlite_")) declared.strange = true;
        for (Table& t : tables_) {
            const auto found = declared.tables.find(t.ours.name);
            if (found == declared.tables.end()) {
                // Not in a list that reads whole: the file never had it,
                // unless the list names tables of no one's (one of ours, its
                // name spoilt).
                t.wanted = !out.schemaRead || declared.strange;
                continue;
            }
            t.root = found->second.first;
            t.declare(found->second.second);
        }
        for (Table& t : tables_)
            if (t.root) walk(t);
        // Tables of the file's that are not wanted keep their own pages.
        std::vector<Table> foreign;
        for (const auto& [name, entry] : declared.tables) {
            if (isWanted(name)) continue;
            foreign.emplace_back(TableLayout{name, {}});
            foreign.back().root = entry.first;
            foreign.back().foreign = true;
        }
        for (Table& t : foreign) walk(t);

        // A table the file lists but whose tree does not read whole, or any
        // table when the list is lost, takes the leaf pages no tree reaches.
        for (Table& t : tables_) t.wanted = t.wanted && (!t.root || t.damaged);
        scanUnreached();

        // A row met twice: a page is a copy of another, written over a page
        // whose rows are lost, and whose page it was no one can tell.
        for (Table& t : tables_) {
            std::sort(t.rowids.begin(), t.rowids.end());
            if (std::adjacent_find(t.rowids.begin(), t.rowids.end()) != t.rowids.end()) t.badRows = unexplained_ = true;
            t.rowids = {};
        }
        // A table none of whose pages was found is whole only as an empty
        // one, whose one page is an empty leaf: there must be as many of
        // those as such tables.
        const auto unfound = std::count_if(tables_.begin(), tables_.end(),
                                           [](const Table& t) { return !t.root && t.wanted && !t.orphanLeaves; });
        emptyTablesFound_ = emptyLeaves_ >= size_t(unfound);
        for (const Table& t : tables_)
            if (!complete(t)) out.incomplete.insert(t.ours.name);
        progress_.finish();
        return out;
    }

private:
    struct Declared {
        std::map<std::string, std::pair<uint32_t, std::vector<std::string>>> tables;  // root, column names
        bool strange = false;  // entries of no kind or table known
    };

    bool readPage(uint32_t n, std::vector<uint8_t>& bytes) {
        if (n < 1 || n > pages_) return false;
        visit(n);
        return readBytes(n, bytes);
    }

    bool readBytes(uint32_t n, std::vector<uint8_t>& bytes) const {
        bytes.resize(usable_);
        return file_.read(uint64_t(n - 1) * pageSize_, usable_, bytes.data());
    }

    void visit(uint32_t n) {
        if (counting_ && !seen_[n]) {
            seen_[n] = 1;
            progress_.advance();
        }
    }

    uint64_t localSize(uint64_t size) const {
        const uint64_t maxLocal = usable_ - 35, minLocal = uint64_t(usable_ - 12) * 32 / 255 - 23;
        if (size <= maxLocal) return size;
        const uint64_t k = minLocal + (size - minLocal) % (usable_ - 4);
        return k <= maxLocal ? k : minLocal;
    }

    // Where the cell at c of a table page ends, or false when it does not
    // fit the page or cannot be a cell.
    bool cellAt(const uint8_t* p, uint8_t type, uint32_t c, Cell& cell) const {
        if (c >= usable_) return false;
        const size_t avail = usable_ - c;
        uint64_t a, b;
        if (type == kTableInterior) {
            if (avail < 5 || be32(p + c) < 1 || be32(p + c) > pages_) return false;
            const int n = varint(p + c + 4, avail - 4, b);
            if (!n) return false;
            cell = {c, c + 4 + uint32_t(n)};
            return true;
        }
        const int n = varint(p + c, avail, a);
        if (!n || a == 0 || a > kMaxPayload) return false;
        const int m = varint(p + c + n, avail - size_t(n), b);
        if (!m) return false;
        const uint64_t local = localSize(a);
        const uint64_t end = uint64_t(c) + uint64_t(n + m) + local + (local < a ? 4 : 0);
        if (end > usable_) return false;
        cell = {c, uint32_t(end)};
        return true;
    }

    // How the record of the table leaf cell `cell` reads; one whose size was
    // spoilt upwards ends where its values do.
    Reads leafRecord(const uint8_t* p, Cell& cell) const {
        const uint8_t* q = p + cell.at;
        uint64_t size, id, used;
        const int a = varint(q, cell.end - cell.at, size);
        const int b = varint(q + a, cell.end - cell.at - uint32_t(a), id);
        const Reads r = decodeRecord(q + a + b, size, localSize(size), nullptr, &used);
        if (r == Reads::withSlack) cell.end = cell.at + uint32_t(a + b) + uint32_t(used);
        return r;
    }

    // How many of the page's pointers to take. A count whose pointers would
    // run into the cells they lead to is spoilt (one bit of it makes a count
    // of thousands), or the header's start of the cells is, or a pointer:
    // the pointers end at the count, at the start of the cells, or where the
    // first of them reach the lowest cell they lead to, whichever of those
    // leads to the most rows that read (a pointer read from a cell's bytes
    // rarely leads to one). The count stands where it leads to as many.
    uint32_t pointerSlots(const uint8_t* p, uint8_t type, uint32_t headerEnd, uint32_t count, uint32_t content) const {
        const uint32_t slots = std::min(count, (usable_ - headerEnd) / 2);
        const uint32_t arrayEnd = headerEnd + 2 * slots;
        auto target = [&](uint32_t i) { return be16(p + headerEnd + 2 * i); };
        Cell cell;
        auto leads = [&](uint32_t i, uint32_t from) {
            const uint32_t c = target(i);
            return c >= from && cellAt(p, type, c, cell);
        };
        uint32_t lowest = usable_;
        for (uint32_t i = 0; i < slots; ++i)
            if (leads(i, headerEnd + 2 * (i + 1))) lowest = std::min(lowest, cell.at);
        if (lowest >= arrayEnd && content >= arrayEnd) return slots;
        // The first pointers, up to where they would reach the lowest cell
        // those before them lead to.
        uint32_t first = 0;
        for (uint32_t low = usable_; first < slots && headerEnd + 2 * (first + 1) <= low; ++first)
            if (leads(first, headerEnd + 2 * (first + 1))) low = std::min(low, cell.at);
        auto rows = [&](uint32_t k) {
            uint32_t n = 0;
            for (uint32_t i = 0; i < k; ++i)
                if (leads(i, headerEnd + 2 * k)) n += type == kTableInterior || leafRecord(p, cell) != Reads::no ? 1 : 0;
            return n;
        };
        uint32_t best = slots, most = rows(slots);
        const uint32_t bounds[] = {content >= headerEnd && content < arrayEnd ? (content - headerEnd) / 2 : slots, first};
        for (const uint32_t k : bounds) {
            if (k >= slots) continue;
            const uint32_t n = rows(k);
            if (n > most || (n == most && best != slots && k < best)) best = k, most = n;
        }
        return best;
    }

    // The b-tree page in `page.bytes`, or false when it is none. The cells of
    // a table page are taken one by one, each where it reads: a pointer that
    // leads nowhere loses only its own cell, and a cell no pointer leads to
    // (its pointer spoilt, or the count of cells) is found in the bytes no
    // cell or free block accounts for.
    bool parse(uint32_t n, Page& page) const {
        const uint8_t* p = page.bytes.data();
        const uint32_t at = n == 1 ? 100 : 0;  // the first page begins with the file's header
        if (at + 12 > usable_) return false;
        const uint8_t type = p[at];
        if (type != kIndexInterior && type != kTableInterior && type != kIndexLeaf && type != kTableLeaf) return false;
        const bool interior = type == kIndexInterior || type == kTableInterior;
        page.type = type;
        page.right = interior ? be32(p + at + 8) : 0;
        page.cells.clear();
        page.suspect = false;
        // An index holds nothing its table does not: its cells are never read.
        if (type == kIndexInterior || type == kIndexLeaf) return true;

        const uint32_t headerEnd = at + (interior ? 12 : 8);
        const uint32_t count = be16(p + at + 3);
        uint32_t content = be16(p + at + 5);
        if (content == 0) content = 65536;
        const uint32_t slots = pointerSlots(p, type, headerEnd, count, content);
        const uint32_t arrayEnd = headerEnd + 2 * slots;
        page.suspect = slots != count;
        std::vector<Cell>& cells = page.cells;
        std::vector<uint8_t> reads;  // of a leaf's cells: whether its record reads
        for (uint32_t i = 0; i < slots; ++i) {
            Cell cell;
            const uint32_t c = be16(p + headerEnd + 2 * i);
            // A pointer that leads nowhere leaves its cell to be found in
            // the bytes no cell accounts for.
            if (c < arrayEnd || !cellAt(p, type, c, cell)) continue;
            if (!interior) reads.push_back(leafRecord(p, cell) != Reads::no ? 1 : 0);
            cells.push_back(cell);
        }
        // Cells on the same bytes: one of them is a spoilt pointer's. Where
        // the record of only some of them reads, those are the page's; else
        // which one is the bytes alone cannot say, and none is taken from a
        // pointer: the cells lie packed, and are found again from where the
        // bytes no cell accounts for begin.
        std::vector<size_t> order(cells.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cells[a].at < cells[b].at; });
        std::vector<uint8_t> keep(cells.size(), 1);
        for (size_t from = 0; from < order.size();) {
            // The cells from `from` up to `to` overlap one another, in a chain.
            size_t to = from + 1;
            for (uint32_t end = cells[order[from]].end; to < order.size() && cells[order[to]].at < end; ++to)
                end = std::max(end, cells[order[to]].end);
            if (to - from > 1) {
                bool apart = !interior;
                uint32_t end = 0;
                for (size_t i = from; apart && i < to; ++i) {
                    if (!reads[order[i]]) continue;
                    apart = cells[order[i]].at >= end;
                    end = cells[order[i]].end;
                }
                for (size_t i = from; i < to; ++i) keep[order[i]] = apart && reads[order[i]];
            }
            from = to;
        }
        std::vector<Cell> spans;
        for (size_t i : order)
            if (keep[i]) spans.push_back(cells[i]);
        if (spans.size() < cells.size()) {
            size_t i = 0;
            std::erase_if(cells, [&](const Cell&) { return !keep[i++]; });
        }

        // The free blocks, as SQLite chains them.
        for (uint32_t f = be16(p + at + 1), hops = 0; f != 0; ++hops) {
            if (f < arrayEnd || f + 4 > usable_ || hops > usable_ / 4) {
                page.suspect = true;
                break;
            }
            const uint32_t size = be16(p + f + 2), next = be16(p + f);
            if (size < 4 || f + size > usable_ || (next != 0 && next <= f + size + 3)) {
                page.suspect = true;
                break;
            }
            spans.push_back({f, f + size});
            f = next;
        }
        std::sort(spans.begin(), spans.end(), [](const Cell& a, const Cell& b) { return a.at < b.at; });

        // Every byte from the start of the cells to the page's end is a
        // cell's, a free block's, or one of the few the header counts as
        // fragments. The header's start of the cells is only believed below
        // the lowest cell.
        const uint32_t lowest = spans.empty() ? usable_ : spans.front().at;
        const uint32_t start = content >= arrayEnd && content <= lowest ? content : lowest;
        std::vector<Cell> gaps;
        uint32_t pos = start, unaccounted = 0;
        for (const Cell& span : spans) {
            if (span.at < pos) page.suspect = true;  // a free block over a cell
            if (span.at > pos) gaps.push_back({pos, span.at});
            pos = std::max(pos, span.end);
        }
        if (pos < usable_) gaps.push_back({pos, usable_});
        for (const Cell& g : gaps) unaccounted += g.end - g.at;
        const uint32_t fragments = p[at + 7];
        size_t found = 0;
        if (unaccounted != fragments) {
            // Cells no pointer leads to lie packed from where a gap begins.
            uint32_t leadingLeft = 0;  // of the bytes below the lowest cell, when none of them was a cell
            for (const Cell& g : gaps) {
                Cell cell;
                const size_t before = found;
                for (uint32_t c = g.at; c + 4 <= g.end && cellAt(p, type, c, cell); c = cell.end) {
                    if (!interior) leafRecord(p, cell);
                    if (cell.end > g.end) break;
                    cells.push_back(cell);
                    unaccounted -= cell.end - cell.at;
                    ++found;
                }
                if (g.at == start && start < lowest && found == before) leadingLeft = g.end - g.at;
            }
            // All the cells the page counts, and every byte above the lowest
            // accounted for: the bytes below it are no one's, and the
            // header's start of the cells is what is spoilt.
            const bool startSpoilt = cells.size() == count && unaccounted - leadingLeft == fragments;
            if (unaccounted != fragments && !startSpoilt) page.suspect = true;
        }
        // Every byte accounted for, by as many cells as the page counts: no
        // cell is missing, whatever pointers were spoilt.
        if (cells.size() != count) page.suspect = true;
        if (interior) {
            // Children in key order: the cells found between others belong
            // where their keys say.
            auto key = [&](const Cell& c) {
                uint64_t k;
                varint(p + c.at + 4, usable_ - c.at - 4, k);
                return static_cast<int64_t>(k);
            };
            if (found) std::stable_sort(cells.begin(), cells.end(), [&](const Cell& a, const Cell& b) { return key(a) < key(b); });
            if (page.right < 1 || page.right > pages_) page.suspect = true;
        }
        return true;
    }

    bool load(uint32_t n, Page& page) { return readPage(n, page.bytes) && parse(n, page); }

    // The page size and reserved bytes under which the most cells of the
    // file's first pages read as cells, the header's where it ties: a header
    // that looks valid may still be spoilt in any of its fields.
    bool choosePageSize() {
        const uint64_t fileSize = file_.size();
        uint8_t header[100];
        if (fileSize < 512 || !file_.read(0, sizeof header, header)) return false;
        const bool magic = std::memcmp(header, "SQLite format 3", 16) == 0;
        uint32_t headerSize = be16(header + 16);
        if (headerSize == 1) headerSize = 65536;
        const uint32_t headerReserved = header[20];

        std::vector<uint8_t> sample(size_t(std::min(fileSize, kSizingBytes)));
        if (!file_.read(0, sample.size(), sample.data())) return false;
        struct Choice {
            uint32_t size = 0, reserved = 0;
            uint64_t score = 0;
            int rank = 0;  // the header's own choice first, then SQLite's default
        } best;
        Page page;
        for (uint32_t size = 512; size <= 65536; size *= 2) {
            if (size > sample.size()) break;
            std::vector<uint32_t> reserves{0};
            if (magic && headerReserved != 0 && headerReserved + 480 <= size) reserves.push_back(headerReserved);
            for (uint32_t reserved : reserves) {
                setPageSize(size, reserved);
                uint64_t score = 0;
                for (uint32_t n = 1; uint64_t(n) * size <= sample.size(); ++n) {
                    page.bytes.assign(sample.begin() + long(uint64_t(n - 1) * size),
                                      sample.begin() + long(uint64_t(n - 1) * size + usable_));
                    if (!parse(n, page)) continue;
                    for (const Cell& c : page.cells) {
                        if (page.type != kTableLeaf) {
                            ++score;
                            continue;
                        }
                        uint64_t payload, id;
                        const uint8_t* q = page.bytes.data() + c.at;
                        const int a = varint(q, c.end - c.at, payload);
                        const int b = varint(q + a, c.end - c.at - uint32_t(a), id);
                        const uint64_t local = localSize(payload);
                        if (decodeRecord(q + a + b, payload, local, nullptr) == Reads::exactly) ++score;
                    }
                }
                const int rank = (magic && size == headerSize && reserved == headerReserved) ? 2
                                 : (size == 4096 && reserved == 0)                          ? 1
                                                                                            : 0;
                if (score > best.score || (score == best.score && rank > best.rank)) best = {size, reserved, score, rank};
            }
        }
        // Nothing that reads as a page: the header's word, if it has one.
        if (best.score == 0) {
            if (!magic || headerSize < 512 || headerSize > 65536 || (headerSize & (headerSize - 1)) ||
                headerReserved + 480 > headerSize)
                return false;
            best = {headerSize, headerReserved, 0, 2};
        }
        setPageSize(best.size, best.reserved);
        sizingPages_ = (sample.size() + best.size - 1) / best.size;

        // The header's count of pages, where it vouches for it. Pages it
        // counts that the file lacks are gone when a tree leads there (a
        // file cut short), and pages past it are looked at only when a tree
        // leads there: the count itself may be what is spoilt.
        if (magic && be32(header + 24) == be32(header + 92) && be32(header + 28) > 0) declaredPages_ = be32(header + 28);
        endsMidPage_ = fileSize % pageSize_ != 0;
        // Believed only when the list holds together, whatever else of the
        // header is spoilt.
        freelistHead_ = be32(header + 32);
        freelistCount_ = be32(header + 36);
        return pages_ > 0;
    }

    void setPageSize(uint32_t size, uint32_t reserved) {
        pageSize_ = size;
        usable_ = size - reserved;
        pages_ = uint32_t(std::min<uint64_t>(file_.size() / size, UINT32_MAX - 1));
    }

    // Free pages hold nothing, whatever their bytes still say: never taken
    // for a table's lost pages, and a tree that leads to one is damaged. The
    // list is believed only when it holds together and its length is the
    // header's: a spoilt one would hide pages that hold rows.
    void readFreeList() {
        if (freelistHead_ == 0 && freelistCount_ == 0) {
            freeListTrusted_ = true;
            return;
        }
        std::vector<uint32_t> free;
        std::vector<uint8_t> listed(size_t(pages_) + 1, 0);
        std::vector<uint8_t> trunk;
        auto list = [&](uint32_t n) {
            if (n < 1 || n > pages_ || listed[n] || free.size() >= freelistCount_) return false;
            listed[n] = 1;
            free.push_back(n);
            return true;
        };
        for (uint32_t n = freelistHead_; n != 0; n = be32(trunk.data())) {
            if (!list(n) || !readPage(n, trunk)) return;
            const uint32_t leaves = be32(trunk.data() + 4);
            if (leaves > usable_ / 4 - 2) return;
            for (uint32_t i = 0; i < leaves; ++i)
                if (!list(be32(trunk.data() + 8 + 4 * i))) return;
        }
        if (free.size() != freelistCount_) return;
        for (uint32_t n : free) used_[n] = 1;
        freeListTrusted_ = true;
    }

    // Whether a page that is no b-tree page, reached by nothing, may be one
    // that holds nothing lost: the overflow page of a long index entry, or a
    // page of the list of free pages (each begins with the number of the
    // next one, or 0). A page of nothing but zeros is none of those, nor a
    // free page SQLite left: it was written over.
    bool looksUnused(const std::vector<uint8_t>& bytes) const {
        if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) return false;
        return bytes.size() >= 4 && be32(bytes.data()) <= pages_;
    }

    // The payload of the table leaf cell, its overflow pages read (and
    // noted in `claimed`), and its row id. A chain that breaks leaves the
    // part before the break.
    void leafCell(const Page& page, const Cell& cell, int64_t& rowid, std::vector<uint8_t>& payload, uint64_t& size,
                  std::vector<uint32_t>& claimed) {
        const uint8_t* p = page.bytes.data() + cell.at;
        uint64_t id;
        const int a = varint(p, cell.end - cell.at, size);
        const int b = varint(p + a, cell.end - cell.at - uint32_t(a), id);
        rowid = static_cast<int64_t>(id);
        const uint64_t local = localSize(size);
        payload.assign(p + a + b, p + a + b + local);
        if (local == size) return;
        uint32_t next = be32(p + a + b + local);
        uint64_t left = size - local;
        std::vector<uint8_t>& overflow = overflow_;
        while (left > 0) {
            // An overflow page belongs to one row only: met again, the chain
            // is a loop. It begins with the next one's number: a page that
            // begins otherwise is not one.
            if (next > pages_ && next <= declaredPages_) beyondEnd_ = true;
            if (next < 1 || next > pages_ || used_[next] || !readPage(next, overflow) || be32(overflow.data()) > pages_)
                return;
            used_[next] = 1;
            claimed.push_back(next);
            const uint64_t take = std::min<uint64_t>(left, usable_ - 4);
            payload.insert(payload.end(), overflow.begin() + 4, overflow.begin() + 4 + long(take));
            left -= take;
            next = be32(overflow.data());
        }
    }

    // The rows of a table leaf, read into `pool` (kept from page to page, so
    // that its buffers are made once); `unread` when a cell of it does not
    // read.
    std::span<FoundRow> readRows(const Page& page, std::vector<FoundRow>& pool, bool& unread,
                                 std::vector<uint32_t>& claimed) {
        unread = page.suspect;
        size_t n = 0;
        uint64_t size;
        for (const Cell& c : page.cells) {
            if (n == pool.size()) pool.emplace_back();
            FoundRow& row = pool[n];
            leafCell(page, c, row.rowid, payload_, size, claimed);
            if (decodeRecord(payload_.data(), size, payload_.size(), &row.record) != Reads::no) ++n;
            else unread = true;
        }
        return {pool.data(), n};
    }

    // Gives back a page taken for a tree it turned out not to belong to.
    void release(uint32_t n, const std::vector<uint32_t>& claimed) {
        used_[n] = 0;
        for (uint32_t o : claimed) used_[o] = 0;
    }

    // The table other than `except` that most of the rows fit, with how
    // many; none when no row fits, or two tables fit as many.
    Table* owner(std::span<const FoundRow> rows, const Table* except, size_t& fitting) {
        Table* best = nullptr;
        bool tie = false;
        fitting = 0;
        auto consider = [&](Table& t) {
            if (&t == except) return;
            const size_t n = size_t(std::count_if(rows.begin(), rows.end(),
                                                  [&](const FoundRow& r) { return t.fit(r.record) != Table::none; }));
            if (n > fitting) {
                best = &t;
                fitting = n;
                tie = false;
            } else if (n == fitting && n > 0) {
                tie = true;
            }
        };
        consider(master_);
        for (Table& t : tables_) consider(t);
        return tie ? nullptr : best;
    }

    // Hands a row on as the columns of ours it holds.
    void take(Table& t, int64_t rowid, Record& r, Table::Fit how) {
        if (&t == &master_) {
            schema_->push_back(std::move(r.values));
            return;
        }
        t.rowids.push_back(rowid);
        if (how == Table::byOurs && r.whole) {
            if (t.rowidColumn >= 0) r.values[size_t(t.rowidColumn)] = DBValue(static_cast<long long>(rowid));
            return sink_(t.ours, r.values);
        }
        TableLayout layout{t.ours.name, {}};
        std::vector<DBValue> values;
        for (size_t i = 0; i < r.values.size(); ++i) {
            const int column = how == Table::byDeclaration ? t.declared[i] : int(i);
            if (!r.present[i] || column < 0 || column == t.rowidColumn) continue;
            layout.columns.push_back(t.ours.columns[size_t(column)]);
            values.push_back(std::move(r.values[i]));
        }
        if (t.rowidColumn >= 0) {
            layout.columns.push_back(t.ours.columns[size_t(t.rowidColumn)]);
            values.emplace_back(static_cast<long long>(rowid));
        }
        sink_(layout, values);
    }

    // Walks a table's tree from its root, handing on each row that fits it;
    // a page that does not read is passed over and the walk goes on with the
    // others. A leaf whose rows are another table's, or whose row ids lie
    // outside the range its parents give it, is left for the pages no tree
    // reaches, and the tree is damaged.
    // `branch`: a page no list leads to, walked as a tree of the table's; the
    // leaves it finds are the table's found outside its own tree, and a page
    // under it that does not read is a loss.
    void walk(Table& t, uint32_t branch = 0) {
        struct Step {
            uint32_t page;
            int depth;
            std::optional<int64_t> above, upTo;  // its row ids: greater than the one, at most the other
        };
        std::vector<Step> todo{{branch ? branch : t.root, 0, {}, {}}};
        Page page;
        std::vector<FoundRow> pool;
        std::vector<Table::Fit> fits;
        std::vector<uint32_t> claimed;
        auto bad = [&](int depth) {
            t.damaged = true;
            t.badDepths.push_back(branch ? std::numeric_limits<int>::max() : depth);
        };
        while (!todo.empty()) {
            const Step s = todo.back();
            todo.pop_back();
            const bool inFile = s.page >= 1 && s.page <= pages_;
            // Reached twice (a loop, or a page shared with another tree or
            // the free list): damage, whatever the page holds.
            const bool reachedBefore = inFile && used_[s.page];
            if (inFile) used_[s.page] = 1;
            if (inFile && declaredPages_ && s.page > declaredPages_) beyondDeclared_ = true;
            if (s.page > pages_ && s.page <= declaredPages_) beyondEnd_ = true;
            if (reachedBefore || s.depth > kMaxDepth || !load(s.page, page) ||
                (page.type != kTableLeaf && page.type != kTableInterior)) {
                if (!t.foreign) bad(s.depth);
                continue;
            }
            if (page.type == kTableLeaf) {
                claimed.clear();
                bool unread;
                const std::span<FoundRow> rows = readRows(page, pool, unread, claimed);
                size_t others = 0;
                if (t.foreign) {
                    if (owner(rows, &t, others)) release(s.page, claimed);
                    continue;
                }
                auto inRange = [&](const FoundRow& r) {
                    return (!s.above || r.rowid > *s.above) && (!s.upTo || r.rowid <= *s.upTo);
                };
                size_t fitting = 0, placed = 0;
                fits.clear();
                for (const FoundRow& r : rows) {
                    fits.push_back(t.fit(r.record));
                    if (fits.back() != Table::none) {
                        ++fitting;
                        placed += inRange(r) ? 1 : 0;
                    }
                }
                if (fitting < rows.size()) owner(rows, &t, others);
                if (!rows.empty() && (others > fitting || (fitting > 0 && placed == 0))) {
                    release(s.page, claimed);
                    t.misplaced = true;
                    bad(s.depth);
                    continue;
                }
                if (branch) ++t.orphanLeaves;
                else t.leafDepth = std::max(t.leafDepth, s.depth);
                t.badRows = t.badRows || unread;
                for (size_t i = 0; i < rows.size(); ++i) {
                    FoundRow& r = rows[i];
                    if (fits[i] == Table::none || !r.record.whole || !inRange(r)) t.badRows = true;
                    if (fits[i] != Table::none) take(t, r.rowid, r.record, fits[i]);
                }
                continue;
            }
            if (page.suspect && !t.foreign) bad(s.depth + 1);
            // In key order: the last child is taken last.
            std::optional<int64_t> above = s.above;
            std::vector<Step> children;
            for (const Cell& c : page.cells) {
                uint64_t key;
                varint(page.bytes.data() + c.at + 4, usable_ - c.at - 4, key);
                std::optional<int64_t> upTo = static_cast<int64_t>(key);
                if (s.upTo && *upTo > *s.upTo) upTo = s.upTo;
                children.push_back({be32(page.bytes.data() + c.at), s.depth + 1, above, upTo});
                above = upTo;
            }
            children.push_back({page.right, s.depth + 1, above, s.upTo});
            todo.insert(todo.end(), children.rbegin(), children.rend());
        }
    }

    // The pages no tree reached, looked over before their rows are taken:
    // without the header's list of free pages, the pages that list them
    // (each begins with the next such page's number, then the count of the
    // free pages it lists, then their numbers: a b-tree page cannot begin
    // so, and a row's overflow page that does by chance lists pages reached
    // already, or none); and the branches of trees no list leads to (the
    // list lost, or a root written over), each walked as the tree of the
    // table its leaves fit, so that a leaf under it that is another's shows.
    void survey(uint32_t last) {
        std::vector<uint8_t> bytes;
        std::vector<uint32_t> listed, branches;
        std::vector<uint8_t> child(size_t(pages_) + 1, 0);
        Page page;
        for (uint32_t n = 1; n <= pages_; ++n) {
            progress_.advance();
            if (used_[n] || n > last || !readBytes(n, page.bytes)) continue;
            if (parse(n, page)) {
                if (page.type == kIndexInterior) notePointers(n, page);
                if (page.type != kTableInterior) continue;
                branches.push_back(n);
                for (const Cell& c : page.cells) child[be32(page.bytes.data() + c.at)] = 1;
                if (page.right >= 1 && page.right <= pages_) child[page.right] = 1;
                continue;
            }
            if (freeListTrusted_) continue;
            const uint32_t next = be32(page.bytes.data()), count = be32(page.bytes.data() + 4);
            if (next > pages_ || count > usable_ / 4 - 2) continue;
            listed.clear();
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t leaf = be32(page.bytes.data() + 8 + 4 * i);
                if (leaf < 1 || leaf > pages_) break;
                listed.push_back(leaf);
            }
            if (listed.size() != count) continue;
            for (uint32_t leaf : listed)
                if (!used_[leaf]) used_[leaf] = 2;
        }
        for (uint32_t b : branches) {
            if (used_[b] || child[b]) continue;
            Table* t = ownerOfBranch(b);
            if (t && t->wanted) walk(*t, b);
        }
    }

    // An index's branch holds nothing of ours, but it may show the file cut
    // short: a child the header counts and the file lacks.
    void notePointers(uint32_t n, const Page& page) {
        const uint8_t* p = page.bytes.data();
        const uint32_t at = n == 1 ? 100 : 0, count = be16(p + at + 3);
        auto past = [&](uint32_t child) { return child > pages_ && child <= declaredPages_; };
        bool beyond = past(page.right);
        for (uint32_t i = 0; i < count && at + 12 + 2 * i + 2 <= usable_; ++i) {
            const uint32_t c = be16(p + at + 12 + 2 * i);
            beyond = beyond || (c + 4 <= usable_ && past(be32(p + c)));
        }
        beyondEnd_ = beyondEnd_ || beyond;
    }

    // The table most rows of a few of a branch's leaves fit; none when no
    // row does, or two tables as many. Only the leaves' own pages are read.
    Table* ownerOfBranch(uint32_t branch) {
        std::vector<FoundRow> rows;
        std::vector<uint32_t> todo{branch};
        Page page;
        int leaves = 0, looked = 0;
        while (!todo.empty() && leaves < 8 && ++looked < 64) {
            const uint32_t n = todo.back();
            todo.pop_back();
            if (n < 1 || n > pages_ || used_[n] || !readBytes(n, page.bytes) || !parse(n, page)) continue;
            if (page.type == kTableInterior) {
                todo.push_back(page.right);
                for (const Cell& c : page.cells) todo.push_back(be32(page.bytes.data() + c.at));
                continue;
            }
            if (page.type != kTableLeaf) continue;
            ++leaves;
            for (const Cell& c : page.cells) {
                const uint8_t* p = page.bytes.data() + c.at;
                uint64_t size, id;
                const int a = varint(p, c.end - c.at, size);
                const int b = varint(p + a, c.end - c.at - uint32_t(a), id);
                FoundRow row;
                if (decodeRecord(p + a + b, size, localSize(size), &row.record) != Reads::no) rows.push_back(std::move(row));
            }
        }
        size_t fitting;
        Table* t = owner(rows, nullptr, fitting);
        return t == &master_ ? nullptr : t;
    }

    // The leaf pages no tree reached, each given to the table its rows fit.
    void scanUnreached() {
        const uint32_t lockPage = 0x40000000u / pageSize_ + 1;  // never written
        // Pages past the header's count were never the database's, unless a
        // tree led there.
        const uint32_t last = declaredPages_ && declaredPages_ < pages_ && !beyondDeclared_ ? declaredPages_ : pages_;
        survey(last);
        Page page;
        std::vector<FoundRow> pool;
        std::vector<uint32_t> claimed;
        for (uint32_t n = 1; n <= pages_; ++n) {
            visit(n);
            if (used_[n] || n == lockPage || n > last) continue;
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
                if (page.suspect) unexplained_ = true;
                continue;
            }
            if (page.type != kTableLeaf) continue;
            claimed.clear();
            bool unread;
            const std::span<FoundRow> rows = readRows(page, pool, unread, claimed);
            if (rows.empty()) {
                if (unread) unexplained_ = true;
                else if (page.cells.empty()) ++emptyLeaves_;
                continue;
            }
            size_t fitting;
            Table* t = owner(rows, nullptr, fitting);
            if (!t) {
                unexplained_ = true;
                continue;
            }
            if (t == &master_) continue;
            // A page of a table whose tree read whole, outside it and no
            // free page: the tree lost it (a root written over with a copy
            // of one of its own leaves reads whole).
            if (!t->wanted) t->badRows = true;
            ++t->orphanLeaves;
            t->badRows = t->badRows || unread;
            for (FoundRow& r : rows) {
                const Table::Fit how = t->fit(r.record);
                if (how == Table::none || !r.record.whole) t->badRows = true;
                if (how != Table::none) take(*t, r.rowid, r.record, how);
            }
        }
    }

    // Whether every row of the table was found. A page of its tree that did
    // not read loses nothing when it was a branch whose leaves were all
    // found: the root of a tree whose leaves turned up elsewhere, or a page
    // above the depth of the tree's leaves.
    bool complete(const Table& t) const {
        // The pages past a cut may have been any table's: a tree that reads
        // whole may be a page written in the wrong place (a copy of one of
        // the tree's own leaves over its root).
        if (endsMidPage_ || beyondEnd_ || t.badRows || t.misplaced) return false;
        if (!t.root) return !t.wanted || (!unexplained_ && !t.damaged && (t.orphanLeaves > 0 || emptyTablesFound_));
        if (!t.damaged) return true;
        if (unexplained_) return false;
        return std::all_of(t.badDepths.begin(), t.badDepths.end(), [&](int depth) {
            return depth == 0 ? t.orphanLeaves > 0 : depth < t.leafDepth;
        });
    }

    // The tables the list declares: each one's root and the names of its
    // columns.
    static Declared declaredTables(const std::vector<std::vector<DBValue>>& schema) {
        Declared out;
        for (const std::vector<DBValue>& row : schema) {
            const auto* type = std::get_if<std::string>(&row[0].storage());
            const auto* name = std::get_if<std::string>(&row[1].storage());
            const auto* root = std::get_if<int64_t>(&row[3].storage());
            const auto* sql = std::get_if<std::string>(&row[4].storage());
            if (!type || (*type != "table" && *type != "index" && *type != "view" && *type != "trigger")) {
                out.strange = true;
                continue;
            }
            if (*type != "table") continue;
            if (!name || !root || *root < 1 || *root > int64_t(UINT32_MAX)) {
                out.strange = true;
                continue;
            }
            std::vector<std::string> columns;
            if (sql) columns = declaredColumns(*sql);
            out.tables.try_emplace(*name, uint32_t(*root), std::move(columns));
        }
        return out;
    }

    const File& file_;
    const SalvageSink& sink_;
    Progress& progress_;
    uint64_t sizingPages_ = 0;   // pages read to find the page size
    std::vector<uint8_t> seen_;  // per page: counted as looked at
    uint32_t pageSize_ = 0, usable_ = 0, pages_ = 0;
    uint32_t declaredPages_ = 0;  // the header's count, when it vouches for one
    bool beyondDeclared_ = false;  // a tree led past that count
    uint32_t freelistHead_ = 0, freelistCount_ = 0;
    bool freeListTrusted_ = false;
    bool counting_ = false;  // pages read are told as looked at
    bool unexplained_ = false;  // pages that held something no one can name
    bool endsMidPage_ = false;  // the file was cut inside a page
    bool beyondEnd_ = false;    // a tree led to a page the header counts and the file lacks
    size_t emptyLeaves_ = 0;    // table leaves of no cells no tree reached
    bool emptyTablesFound_ = false;
    std::vector<uint8_t> used_;  // per page: reached by a tree, free (2 when found so), or overflow
    std::vector<uint8_t> payload_, overflow_;
    std::vector<std::vector<DBValue>>* schema_ = nullptr;  // where the list's rows go while it is read
    Table master_{TableLayout{"sqlite_master",
                              {{"type", "TEXT", false, false},
                               {"name", "TEXT", false, false},
                               {"tbl_name", "TEXT", false, false},
                               {"rootpage", "INTEGER", false, false},
                               {"sql", "TEXT", false, false}}}};
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
