#include "Core/Index/IndexRepair.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "Core/Index/LibraryDB.h"
#include "Core/Index/LibraryLock.h"

namespace vintrelle {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A read-only connection that reads the file exactly as it lies: a journal
// beside it is not rolled back into it, so the damaged file stays as found.
class Source {
public:
    explicit Source(const std::string& path) {
        std::string uri = "file:";
        for (unsigned char c : path) {
            if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
                uri += char(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                uri += hex;
            }
        }
        uri += "?immutable=1";
        if (sqlite3_open_v2(uri.c_str(), &handle_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(handle_);
            handle_ = nullptr;
        }
    }
    ~Source() {
        if (handle_) sqlite3_close_v2(handle_);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Steps through the rows of sql with an integer argument, handing each to
    // f; false when a step (or the statement itself) fails.
    bool read(const std::string& sql, std::optional<int64_t> arg, const std::function<void(const Row&)>& f) {
        if (!handle_) return false;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(handle_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK || !stmt) {
            sqlite3_finalize(stmt);
            return false;
        }
        struct Finalize {
            sqlite3_stmt* stmt;
            ~Finalize() { sqlite3_finalize(stmt); }
        } finalize{stmt};
        if (arg) sqlite3_bind_int64(stmt, 1, *arg);
        Row row(stmt);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) f(row);
        return rc == SQLITE_DONE;
    }

private:
    sqlite3* handle_ = nullptr;
};

std::vector<std::string> columnsOf(const std::function<bool(const std::string&, const std::function<void(const Row&)>&)>& read,
                                   const std::string& table) {
    std::vector<std::string> out;
    if (!read("PRAGMA table_info(" + table + ")", [&](const Row& r) { out.push_back(r.text(1)); })) out.clear();
    return out;
}

// The tables in an order that lets foreign keys find their rows.
const char* const kTables[] = {"meta", "assets", "persons", "faces", "trips", "albums", "album_assets", "geocache"};
constexpr int kBatch = 512;

struct TableCopy {
    Source& source;
    Database& target;
    const std::string table;
    bool complete = true;
    int carried = 0;

    // The smallest start after `failedAt` from which the table reads again:
    // damage spoils the rows of a page, or of the pages below a damaged
    // branch, which are one run of row ids.
    std::optional<int64_t> nextReadable(const std::string& probe, int64_t failedAt) {
        auto works = [&](int64_t start) { return source.read(probe, start, [](const Row&) {}); };
        constexpr int64_t top = std::numeric_limits<int64_t>::max();
        int64_t bad = failedAt, good = 0;
        for (int64_t step = 1;; step *= 2) {
            if (bad > top - step) return std::nullopt;
            if (works(bad + step)) {
                good = bad + step;
                break;
            }
            bad += step;
            if (step > top / 4) return std::nullopt;
        }
        // The first start that works, between the last that failed and it.
        while (good - bad > 1) {
            const int64_t mid = bad + (good - bad) / 2;
            (works(mid) ? good : bad) = mid;
        }
        return good;
    }

    void run() {
        auto readSource = [&](const std::string& sql, const std::function<void(const Row&)>& f) {
            return source.read(sql, std::nullopt, f);
        };
        auto readTarget = [&](const std::string& sql, const std::function<void(const Row&)>& f) {
            try {
                target.forEachRow(sql, {}, f);
                return true;
            } catch (const DBError&) {
                return false;
            }
        };
        const std::vector<std::string> ours = columnsOf(readTarget, table);
        const std::vector<std::string> theirs = columnsOf(readSource, table);
        std::vector<std::string> columns;
        for (const std::string& c : ours)
            for (const std::string& t : theirs)
                if (c == t) columns.push_back(c);
        if (columns.empty()) {
            complete = false;
            return;
        }
        std::string list, marks;
        for (const std::string& c : columns) {
            list += (list.empty() ? "" : ", ") + ("\"" + c + "\"");
            marks += marks.empty() ? "?" : ", ?";
        }
        const std::string select =
            "SELECT rowid, " + list + " FROM " + table + " WHERE rowid >= ? ORDER BY rowid LIMIT " + std::to_string(kBatch);
        const std::string probe = "SELECT rowid FROM " + table + " WHERE rowid >= ? ORDER BY rowid LIMIT 1";
        const std::string insert = "INSERT OR IGNORE INTO " + table + "(" + list + ") VALUES(" + marks + ")";

        // Row ids of the index's tables start at 1.
        int64_t from = 1;
        for (;;) {
            int n = 0;
            int64_t last = from - 1;
            const bool ok = source.read(select, from, [&](const Row& r) {
                ++n;
                last = r.int64(0);
                DBArgs args;
                args.reserve(columns.size());
                for (int i = 0; i < int(columns.size()); ++i) args.push_back(r.value(i + 1));
                try {
                    target.run(insert, args);
                    ++carried;
                } catch (const DBError& e) {
                    // A row whose photo or album did not survive breaks a
                    // foreign key and stays behind; a disk that cannot take
                    // the new index ends the rebuild.
                    if ((e.code & 0xff) != SQLITE_CONSTRAINT) throw;
                }
            });
            if (ok && (n < kBatch || last == std::numeric_limits<int64_t>::max())) return;
            if (ok) {
                from = last + 1;
                continue;
            }
            complete = false;
            const std::optional<int64_t> next = nextReadable(probe, last + 1);
            if (!next) return;
            from = *next;
        }
    }
};

std::string keptName(const std::string& dataDir) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = dataDir + "/library-damaged-" + stamp;
    std::string name = base + ".sqlite";
    for (int i = 2; exists(name) || exists(name + "-journal"); ++i) name = base + "-" + std::to_string(i) + ".sqlite";
    return name;
}

void moveBack(const std::string& kept, const std::string& index) {
    for (const char* suffix : {"", "-journal"}) ::unlink((index + suffix).c_str());
    std::rename(kept.c_str(), index.c_str());
    if (exists(kept + "-journal")) std::rename((kept + "-journal").c_str(), (index + "-journal").c_str());
}

}  // namespace

IndexHealth checkIndexFile(const std::string& path) {
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(h);
        return IndexHealth::unknown;
    }
    sqlite3_busy_timeout(h, 5000);
    IndexHealth health = IndexHealth::unknown;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(h, "PRAGMA quick_check", -1, &stmt, nullptr);
    if (rc == SQLITE_OK && stmt) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(stmt, 0);
            health = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok" ? IndexHealth::sound
                                                                                            : IndexHealth::damaged;
        }
    }
    const int primary = sqlite3_extended_errcode(h) & 0xff;
    if (health == IndexHealth::unknown && (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB))
        health = IndexHealth::damaged;
    sqlite3_finalize(stmt);
    sqlite3_close_v2(h);
    return health;
}

IndexRebuild rebuildIndex(const LibraryPaths& paths) {
    LibraryLock lock(paths.dataDir);
    const std::string index = paths.databasePath();
    IndexRebuild out;
    out.keptPath = keptName(paths.dataDir);
    if (std::rename(index.c_str(), out.keptPath.c_str()) != 0 && errno != ENOENT)
        throw DBError("Could not move the damaged index aside: " + std::string(std::strerror(errno)));
    // A journal left beside the damaged file belongs to it.
    if (exists(index + "-journal")) std::rename((index + "-journal").c_str(), (out.keptPath + "-journal").c_str());
    try {
        LibraryDB fresh(index);
        Database& db = fresh.db();
        Source source(out.keptPath);
        out.complete = true;
        bool facesComplete = true;
        db.transaction([&] {
            for (const char* table : kTables) {
                TableCopy copy{source, db, table};
                copy.run();
                out.carried[table] = copy.carried;
                out.complete = out.complete && copy.complete;
                if (std::string_view(table) == "faces") facesComplete = copy.complete;
            }
            // Made again from the photos: every file is read anew.
            db.run("UPDATE assets SET meta_done=0");
            // Links into rows that did not survive.
            db.run("UPDATE faces SET person_id=NULL WHERE person_id NOT IN (SELECT id FROM persons)");
            db.run("UPDATE persons SET cover_face=NULL WHERE cover_face NOT IN (SELECT id FROM faces)");
            db.run("UPDATE trips SET cover_asset=NULL WHERE cover_asset NOT IN (SELECT id FROM assets)");
            // Photos whose faces may have been lost are looked at again;
            // those whose faces came over keep them, and their names.
            if (!facesComplete)
                db.run("UPDATE assets SET faces_done=0 WHERE id NOT IN (SELECT asset_id FROM faces)");
            // New rows never take the number of a lost one, whose thumbnail
            // and face pictures may still lie in the data folder.
            source.read("SELECT name, seq FROM sqlite_sequence", std::nullopt, [&](const Row& r) {
                const std::string name = r.text(0);
                const int64_t seq = r.int64(1);
                db.run("UPDATE sqlite_sequence SET seq=? WHERE name=? AND seq<?", {seq, name, seq});
                db.run("INSERT INTO sqlite_sequence(name, seq) SELECT ?, ? "
                       "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name=?)",
                       {name, seq, name});
            });
        });
        db.close();
    } catch (...) {
        moveBack(out.keptPath, index);
        throw;
    }
    return out;
}

}  // namespace vintrelle
