// Rows read from the pages of a real SQLite file come out as SQLite itself
// reads them: every way a value is stored, rows longer than a page, a page
// size other than the usual, and files whose header, list of tables or
// table roots are gone.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>

#include "Core/Index/IndexRepair.h"
#include "Core/Index/IndexSalvage.h"
#include "fixtures/ChildProcess.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

namespace {

const char* const kSchema =
    "CREATE TABLE t (id INTEGER PRIMARY KEY, a, b TEXT, c REAL, d BLOB);"
    "CREATE TABLE u (k TEXT NOT NULL, v INTEGER NOT NULL);";

void makeFile(const std::string& path) {
    Database db(path);
    db.exec("PRAGMA page_size=1024");
    db.exec(kSchema);
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
    // Each width SQLite stores an integer in, at both ends.
    const int64_t ints[] = {0,          1,           -1,          127,         -128,         128,
                            32767,      -32768,      32768,       8388607,     -8388608,     2147483647,
                            -2147483648LL, 2147483648LL, 140737488355327LL, -140737488355328LL, kMax, kMin};
    db.transaction([&] {
        int64_t id = 5;
        for (int64_t i : ints) {
            const double c = (id % 2) ? double(id) : -1e300 / double(id);  // whole numbers are stored as integers
            db.run("INSERT INTO t VALUES(?,?,?,?,?)",
                   {id, i, "\u00dcn\u00efc\u00f8d\u00e9 \U0001F600 " + std::to_string(i), c, DBBlob(size_t(id % 7), 0xA5)});
            id += 3;
        }
        db.run("INSERT INTO t VALUES(1000, NULL, '', NULL, x'')");
        // Row ids that take a varint's every byte.
        db.run("INSERT INTO t VALUES(?, 2.5, NULL, 0.1, NULL)", {kMin + 1});
        db.run("INSERT INTO t VALUES(?, -2.5, 'last', NULL, NULL)", {kMax});
        // Rows that spill over several pages.
        for (int i = 0; i < 6; ++i)
            db.run("INSERT INTO t(a, b, d) VALUES(?,?,?)",
                   {i, std::string(size_t(900 + 1700 * i), char('a' + i)), DBBlob(size_t(300 * i), uint8_t(i))});
        // Enough small rows that each table has branches above its leaves.
        for (int i = 0; i < 400; ++i) {
            db.run("INSERT INTO t(a, b) VALUES(?, ?)", {i * 7, "row " + std::to_string(i)});
            db.run("INSERT INTO u VALUES(?, ?)", {"key " + std::to_string(i), i});
        }
    });
    // Rows taken away and changed, as a library's life leaves them: free
    // blocks and fragments on the pages, and free pages.
    db.transaction([&] {
        db.run("DELETE FROM u WHERE v % 3 = 0");
        db.run("DELETE FROM t WHERE a % 5 = 1 AND rowid > 1000");
        db.run("UPDATE t SET b = b || ' changed' WHERE rowid % 4 = 0");
        db.run("UPDATE u SET k = substr(k, 1, 3) WHERE v % 7 = 1");
        db.run("DELETE FROM t WHERE rowid BETWEEN 1200 AND 1300");
    });
}

// What SQLite reads of every table; a table without a column of its own
// for the row id is known by its values alone.
std::vector<std::vector<DBValue>> contents(const std::string& path) {
    Database db(path);
    std::vector<std::vector<DBValue>> out;
    for (const char* sql : {"SELECT 't', rowid, * FROM t ORDER BY rowid", "SELECT 'u', * FROM u ORDER BY k, v"})
        db.forEachRow(sql, {}, [&](const Row& r) {
                          std::vector<DBValue> row;
                          for (int i = 0; i < r.columnCount(); ++i) row.push_back(r.value(i));
                          out.push_back(std::move(row));
                      });
    return out;
}

bool sameRows(const std::vector<std::vector<DBValue>>& a, const std::vector<std::vector<DBValue>>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                          [](const DBValue& v, const DBValue& w) { return v.storage() == w.storage(); });
    });
}

}  // namespace

TEST(IndexSalvage, RowsReadFromThePagesAreTheRowsSQLiteReads) {
    fixtures::TempDir dir;
    const std::string sound = dir / "sound.sqlite";
    makeFile(sound);
    const auto expected = contents(sound);
    ASSERT_GT(expected.size(), 600u);
    std::vector<TableLayout> wanted;
    {
        Database db(sound);
        wanted = tableLayouts(db);
    }
    ASSERT_EQ(wanted.size(), 2u);
    ASSERT_TRUE(wanted[0].columns[0].rowid);
    ASSERT_GT(fixtures::cellCount(sound, fixtures::rootPage(sound, "t")), 0) << "t has no branches";

    struct Damage {
        const char* name;
        std::function<void(const std::string&)> spoil;
        bool schemaRead;
    } damages[] = {
        {"none", [](const std::string&) {}, true},
        {"the header, and with it the page size", [](const std::string& f) { fixtures::spoilBytes(f, 0, 100); }, true},
        {"the list of tables", [](const std::string& f) { fixtures::spoilPage(f, 1, 100); }, false},
        {"the roots of both tables",
         [](const std::string& f) {
             const int64_t t = fixtures::rootPage(f, "t"), u = fixtures::rootPage(f, "u");
             fixtures::spoilPage(f, t);
             fixtures::spoilPage(f, u);
         },
         true},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const std::string file = dir / (std::string(damage.name) + ".sqlite");
        const std::string copy = file + ".copy";
        fixtures::writeFile(file, fixtures::readFile(sound));
        damage.spoil(file);

        // Into tables of the same declarations, as a rebuild takes them.
        Database target(copy);
        target.exec(kSchema);
        SalvageResult result;
        target.transaction([&] {
            result = salvageRows(file, wanted, [&](const TableLayout& table, const std::vector<DBValue>& values) {
                std::string columns, marks;
                for (size_t i = 0; i < values.size(); ++i) {
                    columns += (i ? ", " : "") + table.columns[i].name;
                    marks += i ? ", ?" : "?";
                }
                target.run("INSERT INTO " + table.name + "(" + columns + ") VALUES(" + marks + ")",
                           DBArgs(values.begin(), values.end()));
            });
        });
        EXPECT_TRUE(result.readable);
        EXPECT_EQ(result.schemaRead, damage.schemaRead);
        EXPECT_TRUE(result.incomplete.empty()) << *result.incomplete.begin();
        target.close();
        EXPECT_TRUE(sameRows(contents(copy), expected));
    }

    // Nothing that reads as a database: nothing, and said to be incomplete.
    fixtures::writeFile(dir / "empty.sqlite", "");
    const SalvageResult none = salvageRows(dir / "empty.sqlite", wanted, [](const TableLayout&, const auto&) {
        ADD_FAILURE() << "a row out of nothing";
    });
    EXPECT_FALSE(none.readable);
    EXPECT_EQ(none.incomplete, (std::set<std::string>{"t", "u"}));
}

// The list of tables is read from a damaged file, which may say anything:
// only a table's own declaration is looked at, and nothing else the text
// holds is done (an attached database would be a file made wherever it
// names, a photo folder included).
TEST(IndexSalvage, ATablesDeclarationIsAllThatIsTakenFromTheListOfTables) {
    fixtures::TempDir dir;
    const std::string file = dir / "index.sqlite", stray = dir / "stray.sqlite";
    {
        Database db(file);
        db.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, b TEXT)");
        db.run("INSERT INTO t VALUES(7, 'kept')");
        db.exec("PRAGMA writable_schema=ON");
        db.run("UPDATE sqlite_master SET sql=? WHERE name='t'",
               {"CREATE TABLE t (id INTEGER PRIMARY KEY, b TEXT); ATTACH DATABASE '" + stray +
                    "' AS stray; CREATE TABLE stray.s (x)"});
    }
    const std::vector<TableLayout> wanted = {{"t", {{"id", "INTEGER", false, true}, {"b", "TEXT", false, false}}}};
    std::vector<std::vector<DBValue>> rows;
    const SalvageResult result =
        salvageRows(file, wanted, [&](const TableLayout&, const std::vector<DBValue>& v) { rows.push_back(v); });
    EXPECT_FALSE(std::filesystem::exists(stray)) << "the damaged file's text was run";
    EXPECT_TRUE(result.schemaRead);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1].storage(), DBValue(std::string("kept")).storage());
}

// A salvage that runs long tells how far it has come, and stops at once when
// told to: a stopped salvage vouches for nothing.
TEST(IndexSalvage, ProgressIsToldAndTheSalvageStopsWhenAsked) {
    fixtures::TempDir dir;
    const std::string file = dir / "index.sqlite";
    makeFile(file);
    std::vector<TableLayout> wanted;
    {
        Database db(file);
        wanted = tableLayouts(db);
    }
    const auto noRows = [](const TableLayout&, const std::vector<DBValue>&) {};
    std::vector<std::pair<uint64_t, uint64_t>> told;
    const SalvageResult whole = salvageRows(file, wanted, noRows, [&](uint64_t done, uint64_t total) {
        told.emplace_back(done, total);
        return true;
    });
    EXPECT_TRUE(whole.incomplete.empty());
    ASSERT_GE(told.size(), 2u);
    for (size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].second, told[0].second);
        EXPECT_LE(told[i].first, told[i].second);
        if (i) {
            EXPECT_GE(told[i].first, told[i - 1].first);
        }
    }
    EXPECT_EQ(told.back().first, told.back().second);
    EXPECT_GE(told.back().second, uint64_t(std::filesystem::file_size(file) / 1024));

    int rows = 0, calls = 0;
    const SalvageResult stopped = salvageRows(
        file, wanted, [&](const TableLayout&, const std::vector<DBValue>&) { ++rows; },
        [&](uint64_t, uint64_t) { return ++calls < 2; });
    EXPECT_EQ(calls, 2) << "asked again after it was told to stop";
    EXPECT_FALSE(stopped.readable);
    EXPECT_EQ(stopped.incomplete, (std::set<std::string>{"t", "u"}));
}

namespace {

// The tables a rebuild looks for.
std::vector<TableLayout> indexTables() {
    std::vector<TableLayout> wanted = LibraryDB::schemaTables();
    wanted.push_back({"sqlite_sequence", {{"name", "TEXT", true, false}, {"seq", "INTEGER", true, false}}});
    return wanted;
}

const char* const kCraftedIndex = "VINTRELLE_CRAFTED_INDEX";

}  // namespace

// Run by the test below in a process of its own, whose time and memory are
// bounded: a declaration that were run would exceed them.
TEST(IndexSalvage, CraftedDeclarationsChild) {
    const char* file = std::getenv(kCraftedIndex);
    if (!file) GTEST_SKIP() << "runs only as a child of the test below";
    rlimit cpu{60, 60};
    ASSERT_EQ(::setrlimit(RLIMIT_CPU, &cpu), 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    rlimit memory{uint64_t(2) << 30, uint64_t(2) << 30};
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &memory), 0);
#endif
    rusage before {}, after {};
    ::getrusage(RUSAGE_SELF, &before);
    std::map<std::string, int> rows;
    const SalvageResult result = salvageRows(file, indexTables(), [&](const TableLayout& t, const std::vector<DBValue>&) {
        ++rows[t.name];
    });
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_TRUE(result.schemaRead);
    EXPECT_TRUE(result.incomplete.empty()) << *result.incomplete.begin();
    // Their rows come over all the same: our tables' layouts are ours.
    EXPECT_EQ(rows["trips"], 3);
    EXPECT_EQ(rows["geocache"], 40);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "kilobytes grown";
}

// The list of tables is read from a damaged file: a declaration made to take
// all the memory, or all the time, there is if it were run is only read.
TEST(IndexSalvage, ADeclarationIsReadNeverRun) {
    fixtures::TempDir dir;
    const std::string file = dir / "library.sqlite";
    fixtures::buildUserIndex(file);
    {
        Database db(file);
        db.exec("PRAGMA writable_schema=ON");
        db.run("UPDATE sqlite_master SET sql=? WHERE name='geocache'",
               {"CREATE TABLE geocache AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                "SELECT x AS key, randomblob(100000) AS locality, NULL AS admin, NULL AS country FROM c"});
        db.run("UPDATE sqlite_master SET sql=? WHERE name='trips'",
               {"CREATE TABLE trips AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                "SELECT max(x) AS id FROM c"});
    }
    const std::string log = dir / "child.log";
    const pid_t child = fixtures::spawnTestChild("IndexSalvage.CraftedDeclarationsChild",
                                                 {std::string(kCraftedIndex) + "=" + file}, log);
    ASSERT_GT(child, 0);
    const int status = fixtures::waitForChild(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? std::string("killed by ") + ::strsignal(WTERMSIG(status)) + "\n" : "")
        << fixtures::readFile(log);
}

namespace {

// A value as a key; a whole number in a REAL column is stored as an integer
// and read back by SQLite as a REAL: both are taken as the REAL.
std::string keyOf(const TableColumn& column, const DBValue& value) {
    const auto& v = value.storage();
    if (const auto* i = std::get_if<int64_t>(&v); i && column.type == "REAL") return keyOf(column, DBValue(double(*i)));
    std::string out(1, char('0' + v.index()));
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) out += x;
            else if constexpr (std::is_same_v<T, DBBlob>) out.append(x.begin(), x.end());
            else if constexpr (!std::is_same_v<T, DBNull>) out.append(reinterpret_cast<const char*>(&x), sizeof x);
        },
        v);
    return out;
}

// Whether a value is of the kind its column declares.
bool ofItsKind(const TableColumn& column, const DBValue& value) {
    const auto& v = value.storage();
    if (column.rowid) return std::holds_alternative<int64_t>(v);
    if (std::holds_alternative<DBNull>(v) || column.type.empty()) return true;
    if (column.type == "INTEGER") return std::holds_alternative<int64_t>(v);
    if (column.type == "REAL") return std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
    if (column.type == "TEXT") return std::holds_alternative<std::string>(v);
    if (column.type == "BLOB") return std::holds_alternative<DBBlob>(v);
    return true;
}

struct OriginalRow {
    std::string key;  // its values, in order
    std::vector<std::pair<int64_t, int64_t>> places;
};

}  // namespace

// Copies of a user's index damaged at random, in every way the tests above
// damage one: the salvage never crashes or hangs, gives no row to a table
// whose columns it does not fit, and never says a table is whole when a row
// of it is missing. Only a row whose own bytes were written over may come
// back changed (nothing can tell), in place of the row it was.
// VINTRELLE_SALVAGE_SEED=N runs only the copy of that seed (the one a failure
// names), VINTRELLE_SALVAGE_COPIES=M that many copies (from seed N).
TEST(IndexSalvage, RandomlyDamagedCopiesNeverLoseARowUnsaid) {
    fixtures::TempDir dir;
    const std::string sound = dir / "sound.sqlite";
    fixtures::buildUserIndex(sound);
    const std::string original = fixtures::readFile(sound);
    const int pageSize = fixtures::pageSize(sound);
    const std::vector<TableLayout> wanted = indexTables();
    std::map<std::string, std::vector<OriginalRow>> originals;
    {
        Database db(sound);
        for (const TableLayout& t : wanted) {
            const auto places = fixtures::rowPlaces(sound, t.name);
            db.forEachRow("SELECT rowid, * FROM " + t.name, {}, [&](const Row& r) {
                OriginalRow row;
                for (size_t i = 0; i < t.columns.size(); ++i) row.key += keyOf(t.columns[i], r.value(int(i) + 1)) + '\x1f';
                row.places = places.at(r.int64(0));
                originals[t.name].push_back(std::move(row));
            });
        }
    }
    ASSERT_GT(originals["assets"].size(), 1500u);

    int first = 0, copies = 300;
    if (const char* seed = std::getenv("VINTRELLE_SALVAGE_SEED")) first = std::atoi(seed), copies = 1;
    if (const char* count = std::getenv("VINTRELLE_SALVAGE_COPIES")) copies = std::atoi(count);
    std::map<std::string, int> wholeAfterDamage;
    for (int seed = first; seed < first + copies; ++seed) {
        std::mt19937_64 random(uint64_t(seed) * 7919 + 44);
        std::string bytes = original;
        std::vector<std::pair<int64_t, int64_t>> touched;
        std::string what;
        const int damages = std::uniform_int_distribution<int>(0, 9)(random) < 7 ? 1 : 2;
        for (int d = 0; d < damages; ++d) what += (d ? "; " : "") + fixtures::spoilAtRandom(bytes, pageSize, random, touched);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + what);
        const std::string file = dir / "damaged.sqlite";
        fixtures::writeFile(file, bytes);

        std::map<std::string, std::map<std::string, int>> got;
        std::map<std::string, int> changed;
        const SalvageResult result = salvageRows(file, wanted, [&](const TableLayout& table, const std::vector<DBValue>& values) {
            const auto ours = std::find_if(wanted.begin(), wanted.end(), [&](const TableLayout& t) { return t.name == table.name; });
            ASSERT_NE(ours, wanted.end());
            ASSERT_EQ(table.columns.size(), values.size());
            for (size_t i = 0; i < values.size(); ++i) {
                ASSERT_TRUE(ofItsKind(table.columns[i], values[i])) << table.name << "." << table.columns[i].name << " given a value of another kind";
            }
            std::string key;
            for (const TableColumn& c : ours->columns) {
                const auto at = std::find_if(table.columns.begin(), table.columns.end(), [&](const TableColumn& x) { return x.name == c.name; });
                if (at == table.columns.end()) {
                    ++changed[table.name];  // a row in part
                    return;
                }
                key += keyOf(c, values[size_t(at - table.columns.begin())]) + '\x1f';
            }
            ++got[table.name][key];
        });
        if (HasFatalFailure()) return;
        auto overwritten = [&](const OriginalRow& row) {
            return std::any_of(row.places.begin(), row.places.end(), [&](const auto& place) {
                return std::any_of(touched.begin(), touched.end(), [&](const auto& t) {
                    return t.first < place.second && place.first < t.second &&
                           original.compare(size_t(std::max(t.first, place.first)),
                                            size_t(std::min(t.second, place.second) - std::max(t.first, place.first)),
                                            bytes, size_t(std::max(t.first, place.first)),
                                            size_t(std::min(t.second, place.second) - std::max(t.first, place.first))) != 0;
                });
            });
        };
        for (const TableLayout& t : wanted) {
            if (result.incomplete.contains(t.name)) continue;
            ASSERT_TRUE(result.readable);
            auto& rows = got[t.name];
            int missingOverwritten = 0;
            for (const OriginalRow& row : originals[t.name]) {
                const auto found = rows.find(row.key);
                if (found != rows.end() && found->second > 0) {
                    --found->second;
                } else if (overwritten(row)) {
                    ++missingOverwritten;
                } else {
                    ADD_FAILURE() << t.name << " said to be whole, and a row of it is missing";
                    break;
                }
            }
            int others = changed[t.name];
            for (const auto& [key, n] : rows) others += n;
            EXPECT_LE(missingOverwritten, others) << t.name << " said to be whole, and rows of it are missing";
            ++wholeAfterDamage[t.name];
        }
        if (HasFailure()) return;

        // Now and then, the whole rebuild of such a copy.
        if (seed % 25 == 0) {
            fixtures::TempDir library;
            const LibraryPaths paths{library / "Lib", library / "data", false};
            fs::create_directories(paths.dataDir);
            fixtures::writeFile(paths.databasePath(), bytes);
            const IndexRebuild done = rebuildIndex(paths);
            EXPECT_EQ(checkIndexFile(paths.databasePath()), IndexHealth::sound);
            // It may find more lost (a path spoilt into another's is refused
            // by the new index), never less.
            if (!result.incomplete.empty() || !result.readable) {
                EXPECT_FALSE(done.complete);
            }
        }
    }
    // The copies reach far enough that the salvage can vouch for tables often.
    if (copies > 1) {
        EXPECT_GT(wholeAfterDamage["assets"], copies / 3);
    }
}

namespace {

// Every whole row of each table, as keys of its values in our columns'
// order: what SQLite reads of a sound file, or what the salvage hands on.
using RowKeys = std::map<std::string, std::multiset<std::string>>;

RowKeys soundRows(const std::string& file) {
    RowKeys out;
    Database db(file);
    for (const TableLayout& t : indexTables())
        db.forEachRow("SELECT * FROM " + t.name, {}, [&](const Row& r) {
            std::string key;
            for (size_t i = 0; i < t.columns.size(); ++i) key += keyOf(t.columns[i], r.value(int(i))) + '\x1f';
            out[t.name].insert(key);
        });
    return out;
}

RowKeys salvagedRows(const std::string& file) {
    RowKeys out;
    const std::vector<TableLayout> wanted = indexTables();
    salvageRows(file, wanted, [&](const TableLayout& table, const std::vector<DBValue>& values) {
        const auto& ours = *std::find_if(wanted.begin(), wanted.end(), [&](const TableLayout& t) { return t.name == table.name; });
        if (values.size() != ours.columns.size()) return;
        std::string key;
        for (size_t i = 0; i < values.size(); ++i) key += keyOf(ours.columns[i], values[i]) + '\x1f';
        out[table.name].insert(key);
    });
    return out;
}

// How many of `want`'s rows `got` lacks.
int missing(const RowKeys& want, const RowKeys& got) {
    int n = 0;
    for (const auto& [table, rows] : want) {
        std::multiset<std::string> left = got.contains(table) ? got.at(table) : std::multiset<std::string>{};
        for (const std::string& row : rows) {
            const auto at = left.find(row);
            if (at == left.end()) ++n;
            else left.erase(at);
        }
    }
    return n;
}

}  // namespace

// A page's count of cells, a pointer or a cell spoilt: every other row of
// the page still lies whole, and comes over, as SQLite's own recovery reads
// them; the row whose bytes were spoilt comes over too where its values
// still read.
TEST(IndexSalvage, ARowSpoiltLosesNoneOfItsNeighbours) {
    fixtures::TempDir dir;
    const std::string sound = dir / "sound.sqlite";
    fixtures::buildUserIndex(sound);
    const RowKeys all = soundRows(sound);
    const auto leaves = fixtures::leafPages(sound, "assets");
    const int64_t leaf = leaves[leaves.size() / 2];
    const auto cells = fixtures::cells(sound, leaf);
    ASSERT_GT(cells.size(), 20u);
    const int64_t pageStart = (leaf - 1) * fixtures::pageSize(sound);
    // Where the cell the pointer at `i` leads to begins; the one at i + 1
    // lies just below it.
    auto cellOf = [&](size_t i) { return cells[i].second; };

    struct Damage {
        std::string name;
        std::function<void(const std::string&)> spoil;
        int lost;  // rows that may be lost with it
    };
    std::vector<Damage> damages;
    for (int bit = 0; bit < 8; ++bit)
        damages.push_back({"bit " + std::to_string(bit) + " of the high byte of a leaf's count of cells",
                           [=](const std::string& f) { fixtures::flipBit(f, pageStart + 3, bit); }, 0});
    damages.push_back({"16 bytes over a cell", [&](const std::string& f) { fixtures::spoilBytes(f, cellOf(10), 16); }, 1});
    damages.push_back({"the size of a cell, one larger",
                       [&](const std::string& f) {
                           const std::string bytes = fixtures::readFile(f);
                           fixtures::writeBytes(f, cellOf(10) + 1, std::string(1, char(bytes[size_t(cellOf(10) + 1)] + 1)));
                       },
                       0});
    damages.push_back({"the size of a cell, far larger",
                       [&](const std::string& f) { fixtures::flipBit(f, cellOf(10), 6); }, 0});
    damages.push_back({"9 bytes over the end of one cell and the start of the next, saying it runs on",
                       [&](const std::string& f) {
                           fixtures::spoilBytes(f, cellOf(11) - 4, 9);
                           fixtures::writeBytes(f, cellOf(11), "\x87\x68");  // 1,000 bytes
                       },
                       2});
    damages.push_back({"the size of a cell, smaller",
                       [&](const std::string& f) { fixtures::flipBit(f, cellOf(10) + 1, 4); }, 1});
    damages.push_back({"a pointer into the middle of another cell",
                       [&](const std::string& f) {
                           const int64_t into = cellOf(11) - pageStart + 9;
                           fixtures::writeBytes(f, cells[10].first, {char(into >> 8), char(into & 0xff)});
                       },
                       1});
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const std::string file = dir / "damaged.sqlite";
        fixtures::writeFile(file, fixtures::readFile(sound));
        damage.spoil(file);
        const int lost = missing(all, salvagedRows(file));
        EXPECT_LE(lost, damage.lost);
    }
}
