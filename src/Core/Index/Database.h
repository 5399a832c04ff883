#pragma once
// The one SQLite connection of an open library, shared by every thread:
// a recursive lock around every operation and each whole transaction, a
// statement cache keyed by SQL text, and DBError for every failure.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vintrelle {

struct DBError : std::exception {
    std::string message;
    // SQLite's extended result code; 0 for failures that are not SQLite's own
    // (the connection closed, another process holding the library).
    int code = 0;
    explicit DBError(std::string m, int c = 0) : message(std::move(m)), code(c) {}
    const char* what() const noexcept override { return message.c_str(); }

    enum class Kind {
        damaged,     // the file is not a database, or parts of it do not read
        diskFull,    // the disk holding the file has no room for what was written
        busy,        // another connection holds the file
        unwritable,  // the file or its folder may not be written
        diskError,   // the disk failed to read or write
        other,
    };
    Kind kind() const;
    bool isDamage() const { return kind() == Kind::damaged; }
    bool isDiskFull() const { return kind() == Kind::diskFull; }
};

// What failed statements have said about the index file and its disk since
// the connection opened: how many writes found the disk full or could not
// write at all, and whether the file has shown damage.
struct DBFaults {
    uint64_t full = 0;
    uint64_t unwritable = 0;
    bool damaged = false;
};

struct DBNull {
    bool operator==(const DBNull&) const = default;
};
using DBBlob = std::vector<uint8_t>;

// One SQL argument: int, double, text, blob or null, bound in that order of cases.
class DBValue {
public:
    using Storage = std::variant<int64_t, double, std::string, DBBlob, DBNull>;
    DBValue() : v_(DBNull{}) {}
    DBValue(DBNull) : v_(DBNull{}) {}
    DBValue(int v) : v_(int64_t(v)) {}
    DBValue(long v) : v_(int64_t(v)) {}
    DBValue(long long v) : v_(int64_t(v)) {}
    DBValue(bool v) : v_(int64_t(v ? 1 : 0)) {}
    DBValue(double v) : v_(v) {}
    DBValue(std::string v) : v_(std::move(v)) {}
    DBValue(const char* v) : v_(std::string(v)) {}
    DBValue(DBBlob v) : v_(std::move(v)) {}
    template <class T>
    DBValue(const std::optional<T>& o) : v_(DBNull{}) {
        if (o) *this = DBValue(*o);
    }
    const Storage& storage() const { return v_; }

private:
    Storage v_;
};

using DBArgs = std::vector<DBValue>;

// The current result row of a stepped statement; valid until the next step.
class Row {
public:
    explicit Row(sqlite3_stmt* s) : stmt_(s) {}
    int64_t int64(int col) const;
    double dbl(int col) const;
    std::string text(int col) const;
    DBBlob blob(int col) const;
    bool isNull(int col) const;
    // The column as it is stored, whatever its type.
    DBValue value(int col) const;
    int columnCount() const;
    std::optional<int64_t> optInt(int col) const { return isNull(col) ? std::nullopt : std::optional(int64(col)); }
    std::optional<double> optDouble(int col) const { return isNull(col) ? std::nullopt : std::optional(dbl(col)); }
    std::optional<std::string> optText(int col) const { return isNull(col) ? std::nullopt : std::optional(text(col)); }

private:
    sqlite3_stmt* stmt_;
};

class Database {
public:
    explicit Database(const std::string& path);  // throws DBError
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const std::string& sql);
    void run(const std::string& sql, const DBArgs& args = {});
    std::optional<int64_t> scalarInt(const std::string& sql, const DBArgs& args = {});

    template <class F>
    auto query(const std::string& sql, const DBArgs& args, F&& map) {
        using T = std::invoke_result_t<F, const Row&>;
        std::vector<T> out;
        forEachRow(sql, args, [&](const Row& r) { out.push_back(map(r)); });
        return out;
    }
    // Steps through every row, calling f on each; throws DBError on failure.
    void forEachRow(const std::string& sql, const DBArgs& args,
                    const std::function<void(const Row&)>& f);
    // The same a piece of `piece` rows at a time, each piece under the lock on
    // its own, so that other threads' statements get in between: `sql` takes
    // the key to start after as its first argument (`from` for the first
    // piece) and the piece's size as its last, and gives its rows in the order
    // of that key, which is its column `key`. For tables only the caller
    // changes meanwhile.
    void forEachRowInPieces(const std::string& sql, const DBArgs& args, DBValue from, int key, int64_t piece,
                            const std::function<void(const Row&)>& f);

    // Runs body as one transaction, or inside the one already open.
    void transaction(const std::function<void()>& body);

    // Runs an insert and returns the new row id, holding the lock across both.
    int64_t insert(const std::string& sql, const DBArgs& args);

    void close();
    bool isOpen();

    // Whether the file the connection opened still stands at the path it was
    // opened on. Not once it was deleted, or when another file (a copy put
    // back from a backup) or nothing is there now: the connection still reads
    // and writes the file it opened, which is then no longer the library's.
    // Nor once standing() found it emptied or overwritten.
    bool isStillAtItsPath();
    // Whether the file the connection opened was deleted: no name leads to it
    // any longer, and what is written to it goes when it closes.
    bool fileDeleted();

    // What stands at the path the connection opened, next to the file it
    // opened: that file; nothing, the file deleted (it lives on in this
    // connection alone) or moved away under another name; another file; or
    // the file, emptied or cut short, or written over in place, by another
    // program. The last two last: the file is no longer the one opened,
    // however it reads later.
    enum class Standing { kept, deleted, moved, replaced, emptied, overwritten };
    Standing standing();
    // Writes the whole database, as the connection sees it, to a new file at
    // `path` (which must not exist); throws DBError. Nothing else uses the
    // connection meanwhile.
    void writeCopy(const std::string& path);
    // Closes the connection and opens the file now at its path in its place;
    // throws DBError (the connection then stays closed).
    void reopen();

    DBFaults faults() const;
    bool isDamaged() const { return damaged_.load(); }
    // Records damage found by other means (an integrity check).
    void markDamaged();
    // Called once, on the thread that first sees the damage; it must not
    // wait for anything.
    void setDamageObserver(std::function<void()> observer);

    // Held for every operation; callers combining several statements may hold it.
    std::recursive_mutex& lock() { return lock_; }

private:
    void open(const std::string& path);
    sqlite3_stmt* prepare(const std::string& sql);
    void bind(sqlite3_stmt* stmt, const DBArgs& args);
    [[noreturn]] void fail(const std::string& sql);
    // Classifies a failure of the connection and keeps count; returns the
    // error to throw.
    DBError failure(const std::string& message);

    sqlite3* handle_ = nullptr;
    // The file the connection opened, held open to know it by (and to tell
    // whether it was deleted); -1 when it could not be.
    std::string path_;
    int fileFd_ = -1;
    // How often other connections had changed the file when this one opened
    // it, and what this one has since found them to have done to it.
    std::optional<int64_t> dataVersion_;
    Standing changedElsewhere_ = Standing::kept;
    std::recursive_mutex lock_;
    std::unordered_map<std::string, sqlite3_stmt*> cache_;
    int depth_ = 0;
    std::atomic<uint64_t> full_{0};
    std::atomic<uint64_t> unwritable_{0};
    std::atomic<bool> damaged_{false};
    std::mutex observerMutex_;
    std::function<void()> damageObserver_;
};

// First 80 characters (code points) of a UTF-8 text.
std::string firstCharacters(std::string_view s, size_t n);

}  // namespace vintrelle
