#include "Core/Index/Database.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vintrelle {

namespace {

const char* const kClosed = "database is closed";

// Resets the statement on every path, so a throwing map or body never
// leaves it mid-step holding a read transaction.
struct StatementReset {
    sqlite3_stmt* stmt;
    ~StatementReset() {
        if (stmt) sqlite3_reset(stmt);
    }
};

// A code of the kind that a failing disk gives (as opposed to a statement's
// own failure): only then does the system's errno belong to this failure.
bool isIOCode(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN;
}

// The code of a failure, with a full disk said as such whichever call met it.
int classified(int code, int systemErrno) {
    if (isIOCode(code) && (systemErrno == ENOSPC || systemErrno == EDQUOT)) return SQLITE_FULL;
    return code;
}

// Whether the file at `path` is shorter than its own header says, as one cut
// short is (SQLite rewrites the first page before a commit's others, but not
// while this connection's lock is held, and never shrinks a file that is
// not vacuumed); a header that is not SQLite's says nothing here.
bool cutShort(const std::string& path, off_t size) {
    unsigned char h[100];
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = ::pread(fd, h, sizeof h, 0) == ssize_t(sizeof h);
    ::close(fd);
    if (!read || std::memcmp(h, "SQLite format 3", 16) != 0) return false;
    auto be32 = [&](int at) { return uint32_t(h[at]) << 24 | uint32_t(h[at + 1]) << 16 | uint32_t(h[at + 2]) << 8 | h[at + 3]; };
    const uint32_t pageSize = h[16] == 0 && h[17] == 1 ? 65536 : uint32_t(h[16]) << 8 | h[17];
    // The count in the header holds only when written with the change counter.
    const uint32_t pages = be32(28);
    if (pages == 0 || be32(24) != be32(92)) return false;
    return uint64_t(pages) * pageSize > uint64_t(size);
}

// How often connections other than this one have changed the file; none when
// the file cannot be read as a database.
std::optional<int64_t> dataVersion(sqlite3* h) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(h, "PRAGMA data_version", -1, &stmt, nullptr) != SQLITE_OK) return std::nullopt;
    std::optional<int64_t> out;
    if (sqlite3_step(stmt) == SQLITE_ROW) out = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return out;
}

}  // namespace

DBError::Kind DBError::kind() const {
    switch (code & 0xff) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return Kind::damaged;
        case SQLITE_FULL: return Kind::diskFull;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return Kind::busy;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH: return Kind::unwritable;
        case SQLITE_IOERR: return Kind::diskError;
        default: return Kind::other;
    }
}

std::string firstCharacters(std::string_view s, size_t n) {
    size_t i = 0, count = 0;
    while (i < s.size() && count < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        i += len;
        ++count;
    }
    return std::string(s.substr(0, std::min(i, s.size())));
}

int64_t Row::int64(int col) const { return sqlite3_column_int64(stmt_, col); }
double Row::dbl(int col) const { return sqlite3_column_double(stmt_, col); }

std::string Row::text(int col) const {
    const auto* p = sqlite3_column_text(stmt_, col);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p), size_t(sqlite3_column_bytes(stmt_, col)));
}

DBBlob Row::blob(int col) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    if (!p || n <= 0) return {};
    return DBBlob(p, p + n);
}

bool Row::isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

DBValue Row::value(int col) const {
    switch (sqlite3_column_type(stmt_, col)) {
        case SQLITE_INTEGER: return DBValue(int64(col));
        case SQLITE_FLOAT: return DBValue(dbl(col));
        case SQLITE_TEXT: return DBValue(text(col));
        case SQLITE_BLOB: return DBValue(blob(col));
        default: return DBValue();
    }
}

int Row::columnCount() const { return sqlite3_column_count(stmt_); }

Database::Database(const std::string& path) { open(path); }

void Database::open(const std::string& path) {
    sqlite3* h = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = h ? sqlite3_errmsg(h) : "unknown";
        const int code = classified(h ? sqlite3_extended_errcode(h) : rc, h ? sqlite3_system_errno(h) : 0);
        if (h) sqlite3_close_v2(h);
        throw DBError("Could not open database: " + text, code);
    }
    // SQLite quietly opens a file it may not write read-only; every write
    // would then fail on its own and the index never change.
    if (sqlite3_db_readonly(h, "main") == 1) {
        sqlite3_close_v2(h);
        throw DBError(std::string("Could not open database: ") + sqlite3_errstr(SQLITE_READONLY), SQLITE_READONLY);
    }
    handle_ = h;
    path_ = path;
    // A path descriptor: closing it later does not drop the locks SQLite
    // holds on the file, as closing an open file of it would.
    fileFd_ = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    sqlite3_busy_timeout(handle_, 5000);
    for (const char* pragma : {"PRAGMA journal_mode=TRUNCATE", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON",
                               "PRAGMA temp_store=MEMORY"}) {
        try {
            exec(pragma);
        } catch (const DBError&) {
        }
    }
    dataVersion_ = dataVersion(handle_);
    changedElsewhere_ = Standing::kept;
}

Database::~Database() { close(); }

void Database::reopen() {
    std::lock_guard lock(lock_);
    close();
    open(path_);
}

void Database::fail(const std::string& sql) {
    if (!handle_) throw DBError(kClosed);
    throw failure(std::string(sqlite3_errmsg(handle_)) + " \u2014 " + firstCharacters(sql, 80));
}

DBError Database::failure(const std::string& message) {
    DBError e(message, classified(sqlite3_extended_errcode(handle_), sqlite3_system_errno(handle_)));
    switch (e.kind()) {
        case DBError::Kind::damaged: markDamaged(); break;
        case DBError::Kind::diskFull: ++full_; break;
        case DBError::Kind::unwritable:
        case DBError::Kind::diskError:
            // A failed read is the disk's trouble, not a refused write.
            if (e.code != SQLITE_IOERR_READ && e.code != SQLITE_IOERR_SHORT_READ) ++unwritable_;
            break;
        default: break;
    }
    return e;
}

DBFaults Database::faults() const { return {full_.load(), unwritable_.load(), damaged_.load()}; }

void Database::markDamaged() {
    if (damaged_.exchange(true)) return;
    std::function<void()> observer;
    {
        std::lock_guard lock(observerMutex_);
        observer = damageObserver_;
    }
    if (observer) observer();
}

void Database::setDamageObserver(std::function<void()> observer) {
    std::lock_guard lock(observerMutex_);
    damageObserver_ = std::move(observer);
}

namespace {
std::string stepMessage(sqlite3* h, const std::string& sql) {
    return std::string(sqlite3_errmsg(h)) + " \u2014 " + firstCharacters(sql, 80);
}
}  // namespace

void Database::exec(const std::string& sql) {
    std::lock_guard lock(lock_);
    if (!handle_) throw DBError(kClosed);
    if (sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
}

sqlite3_stmt* Database::prepare(const std::string& sql) {
    if (auto it = cache_.find(sql); it != cache_.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    if (!handle_) throw DBError(kClosed);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(handle_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK || !stmt) {
        if (stmt) sqlite3_finalize(stmt);
        fail(sql);
    }
    cache_.emplace(sql, stmt);
    return stmt;
}

void Database::bind(sqlite3_stmt* stmt, const DBArgs& args) {
    int i = 1;
    for (const auto& a : args) {
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, int64_t>) sqlite3_bind_int64(stmt, i, v);
                else if constexpr (std::is_same_v<T, double>) sqlite3_bind_double(stmt, i, v);
                else if constexpr (std::is_same_v<T, std::string>)
                    sqlite3_bind_text(stmt, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
                else if constexpr (std::is_same_v<T, DBBlob>) {
                    if (v.empty()) sqlite3_bind_zeroblob(stmt, i, 0);
                    else sqlite3_bind_blob(stmt, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
                } else sqlite3_bind_null(stmt, i);
            },
            a.storage());
        ++i;
    }
}

void Database::run(const std::string& sql, const DBArgs& args) {
    std::lock_guard lock(lock_);
    sqlite3_stmt* stmt = prepare(sql);
    StatementReset reset{stmt};
    bind(stmt, args);
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        // Read before the statement is reset, which may replace them.
        DBError e = failure(stepMessage(handle_, sql));
        sqlite3_reset(stmt);
        throw e;
    }
    sqlite3_reset(stmt);
}

void Database::forEachRow(const std::string& sql, const DBArgs& args, const std::function<void(const Row&)>& f) {
    std::lock_guard lock(lock_);
    sqlite3_stmt* stmt = prepare(sql);
    StatementReset reset{stmt};
    bind(stmt, args);
    Row row(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) f(row);
    if (rc != SQLITE_DONE) {
        DBError e = failure(stepMessage(handle_, sql));
        sqlite3_reset(stmt);
        throw e;
    }
    sqlite3_reset(stmt);
}

void Database::forEachRowInPieces(const std::string& sql, const DBArgs& args, DBValue from, int key, int64_t piece,
                                  const std::function<void(const Row&)>& f) {
    DBValue after = std::move(from);
    for (int64_t read = piece; read == piece;) {
        DBArgs bound;
        bound.reserve(args.size() + 2);
        bound.emplace_back(after);
        bound.insert(bound.end(), args.begin(), args.end());
        bound.emplace_back(piece);
        read = 0;
        forEachRow(sql, bound, [&](const Row& r) {
            ++read;
            after = r.value(key);
            f(r);
        });
    }
}

std::optional<int64_t> Database::scalarInt(const std::string& sql, const DBArgs& args) {
    try {
        std::optional<int64_t> first;
        forEachRow(sql, args, [&](const Row& r) {
            if (!first) first = r.int64(0);
        });
        return first;
    } catch (const DBError&) {
        return std::nullopt;
    }
}

int64_t Database::insert(const std::string& sql, const DBArgs& args) {
    std::lock_guard lock(lock_);
    run(sql, args);
    return sqlite3_last_insert_rowid(handle_);
}

void Database::transaction(const std::function<void()>& body) {
    std::lock_guard lock(lock_);
    if (depth_ > 0) {
        body();
        return;
    }
    exec("BEGIN IMMEDIATE");
    ++depth_;
    try {
        body();
        exec("COMMIT");
    } catch (...) {
        try {
            exec("ROLLBACK");
        } catch (const DBError&) {
        }
        --depth_;
        throw;
    }
    --depth_;
}

bool Database::isOpen() {
    std::lock_guard lock(lock_);
    return handle_ != nullptr;
}

void Database::close() {
    std::lock_guard lock(lock_);
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    cache_.clear();
    if (handle_) {
        sqlite3_close_v2(handle_);
        handle_ = nullptr;
    }
    if (fileFd_ >= 0) ::close(fileFd_);
    fileFd_ = -1;
}

bool Database::isStillAtItsPath() {
    std::lock_guard lock(lock_);
    if (changedElsewhere_ != Standing::kept) return false;
    struct stat opened {}, there {};
    if (fileFd_ < 0 || ::fstat(fileFd_, &opened) != 0) return true;  // nothing to tell by
    return opened.st_nlink > 0 && ::stat(path_.c_str(), &there) == 0 && there.st_dev == opened.st_dev &&
           there.st_ino == opened.st_ino;
}

bool Database::fileDeleted() {
    std::lock_guard lock(lock_);
    struct stat opened {};
    return fileFd_ >= 0 && ::fstat(fileFd_, &opened) == 0 && opened.st_nlink == 0;
}

Database::Standing Database::standing() {
    std::lock_guard lock(lock_);
    if (changedElsewhere_ != Standing::kept) return changedElsewhere_;
    struct stat opened {}, there {};
    if (!handle_ || fileFd_ < 0 || ::fstat(fileFd_, &opened) != 0) return Standing::kept;  // nothing to tell by
    if (::stat(path_.c_str(), &there) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return Standing::kept;
        return opened.st_nlink == 0 ? Standing::deleted : Standing::moved;
    }
    if (there.st_dev != opened.st_dev || there.st_ino != opened.st_ino) return Standing::replaced;
    // This connection never leaves the file empty, and the version moves only
    // for writes made through other connections: in this process there is
    // none that writes, so another program wrote the file. A file that no
    // longer reads as a database says nothing here; its next statement
    // finds it damaged.
    if (there.st_size == 0 || cutShort(path_, there.st_size)) {
        changedElsewhere_ = Standing::emptied;
    } else if (dataVersion_) {
        const std::optional<int64_t> now = dataVersion(handle_);
        if (now && *now != *dataVersion_) changedElsewhere_ = Standing::overwritten;
    }
    return changedElsewhere_;
}

void Database::writeCopy(const std::string& path) {
    std::lock_guard lock(lock_);
    if (!handle_) throw DBError(kClosed);
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        if (sqlite3_backup* backup = sqlite3_backup_init(copy, "main", handle_, "main")) {
            rc = sqlite3_backup_step(backup, -1);
            sqlite3_backup_finish(backup);
            if (rc == SQLITE_DONE) rc = SQLITE_OK;
        } else {
            rc = sqlite3_extended_errcode(copy);
        }
    }
    if (rc != SQLITE_OK) {
        const int code = classified(copy ? sqlite3_extended_errcode(copy) : rc, copy ? sqlite3_system_errno(copy) : 0);
        DBError e(std::string("Could not copy the database: ") + (copy ? sqlite3_errmsg(copy) : sqlite3_errstr(rc)),
                  code == SQLITE_OK ? rc : code);
        sqlite3_close_v2(copy);
        throw e;
    }
    if (sqlite3_close_v2(copy) != SQLITE_OK) throw DBError("Could not copy the database: not closed", SQLITE_IOERR);
}

}  // namespace vintrelle
