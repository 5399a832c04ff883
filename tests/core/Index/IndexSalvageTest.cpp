// Rows read from the pages of a real SQLite file come out as SQLite itself
// reads them: every way a value is stored, rows longer than a page, a page
// size other than the usual, and files whose header, list of tables or
// table roots are gone.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>

#include "Core/Index/IndexSalvage.h"
#include "fixtures/IndexDamage.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

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
