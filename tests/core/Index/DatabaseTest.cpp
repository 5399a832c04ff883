#include <gtest/gtest.h>

#include <sqlite3.h>

#include <thread>

#include "Core/Index/Database.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

struct DatabaseTest : ::testing::Test {
    fixtures::TempDir dir;
    std::unique_ptr<Database> db = std::make_unique<Database>(dir / "t.sqlite");
    void SetUp() override { db->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT, n INTEGER NOT NULL DEFAULT 0)"); }
    int64_t count() { return db->scalarInt("SELECT COUNT(*) FROM t").value_or(-1); }
};

std::string message(const std::function<void()>& f) {
    try {
        f();
    } catch (const DBError& e) {
        return e.message;
    }
    return "<no error>";
}

}  // namespace

TEST_F(DatabaseTest, ErrorTextCarriesFirstEightyCharacters) {
    const std::string sql =
        "INSERT INTO missing_table_with_a_long_name (a, b, c, d, e, f, g) VALUES (1, 2, 3, 4, 5, 6, 7) -- tail";
    const std::string m = message([&] { db->run(sql); });
    EXPECT_EQ(m, "no such table: missing_table_with_a_long_name \u2014 " + sql.substr(0, 80));
    // Characters, not bytes.
    const std::string accented = "SELECT \u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9 FROM nowhere_" +
                                 std::string(80, 'x');
    const std::string m2 = message([&] { db->run(accented); });
    const std::string tail = m2.substr(m2.find(" \u2014 ") + 5);
    EXPECT_EQ(tail, firstCharacters(accented, 80));
    EXPECT_GT(tail.size(), 80u);
}

TEST_F(DatabaseTest, ClosedConnection) {
    db->close();
    db->close();  // twice is harmless
    EXPECT_EQ(message([&] { db->exec("SELECT 1"); }), "database is closed");
    EXPECT_EQ(message([&] { db->run("SELECT 1"); }), "database is closed");
    EXPECT_FALSE(db->scalarInt("SELECT 1").has_value());
}

TEST_F(DatabaseTest, OpenFailureMessage) {
    EXPECT_EQ(message([&] { Database bad(dir / "no/such/folder/x.sqlite"); }).rfind("Could not open database: ", 0), 0u);
}

TEST_F(DatabaseTest, ReusedStatementStartsWithoutStaleBindings) {
    db->run("INSERT INTO t(id, v) VALUES(?, ?)", {1, "a"});
    db->run("INSERT INTO t(id, v) VALUES(?, ?)", {2});  // second argument missing -> NULL, not "a"
    EXPECT_EQ(db->scalarInt("SELECT COUNT(*) FROM t WHERE v IS NULL"), 1);
    db->run("INSERT INTO t(id, v) VALUES(?, ?)", {3, ""});
    EXPECT_EQ(db->scalarInt("SELECT COUNT(*) FROM t WHERE v = ''"), 1);  // empty text is not NULL
    db->run("INSERT INTO t(id, v) VALUES(?, ?)", {4, std::optional<std::string>()});
    EXPECT_EQ(db->scalarInt("SELECT COUNT(*) FROM t WHERE v IS NULL"), 2);
    db->run("SELECT * FROM t");  // a SELECT through run reads nothing and succeeds
}

TEST_F(DatabaseTest, ScalarIntOfNoRowAndNull) {
    EXPECT_FALSE(db->scalarInt("SELECT id FROM t WHERE id = 99").has_value());
    EXPECT_EQ(db->scalarInt("SELECT NULL"), 0);
}

TEST_F(DatabaseTest, NestedTransactionWithThrowingInnerBody) {
    EXPECT_THROW(db->transaction([&] {
        db->run("INSERT INTO t(id) VALUES(1)");
        try {
            db->transaction([&] {
                db->run("INSERT INTO t(id) VALUES(2)");
                throw DBError("inner");
            });
        } catch (const DBError&) {
            // The inner writer issued no ROLLBACK: row 2 is still there.
            EXPECT_EQ(count(), 2);
        }
        throw DBError("outer");
    }),
                 DBError);
    EXPECT_EQ(count(), 0);
    // Depth is back to zero: a new transaction commits.
    db->transaction([&] { db->run("INSERT INTO t(id) VALUES(3)"); });
    EXPECT_EQ(count(), 1);
}

TEST_F(DatabaseTest, FailingCommitRollsBackAndReportsCommitError) {
    db->exec("CREATE TABLE parent (id INTEGER PRIMARY KEY)");
    db->exec("CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)");
    const std::string m = message([&] {
        db->transaction([&] {
            db->run("INSERT INTO t(id) VALUES(7)");
            db->run("INSERT INTO child(pid) VALUES(42)");  // checked at COMMIT
        });
    });
    EXPECT_NE(m.find("FOREIGN KEY constraint failed"), std::string::npos) << m;
    EXPECT_NE(m.find("COMMIT"), std::string::npos) << m;
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(db->scalarInt("SELECT COUNT(*) FROM child"), 0);
}

TEST_F(DatabaseTest, ThrowingMapReleasesStatementAndLock) {
    for (int i = 0; i < 3; ++i) db->run("INSERT INTO t(id) VALUES(?)", {i});
    EXPECT_THROW(db->query("SELECT id FROM t", {}, [](const Row&) -> int { throw std::runtime_error("map"); }),
                 std::runtime_error);
    // Another thread can use the connection (the lock was released) and the
    // statement runs again from the start.
    int64_t n = -1;
    std::thread other([&] { n = db->query("SELECT id FROM t", {}, [](const Row& r) { return r.int64(0); }).size(); });
    other.join();
    EXPECT_EQ(n, 3);
}

TEST_F(DatabaseTest, BlobsRoundTripAndEmptyBlobIsNotNull) {
    db->exec("CREATE TABLE b (x BLOB)");
    db->run("INSERT INTO b VALUES(?)", {DBBlob{1, 2, 3}});
    db->run("INSERT INTO b VALUES(?)", {DBBlob{}});
    auto rows = db->query("SELECT x, x IS NULL FROM b", {}, [](const Row& r) { return std::pair(r.blob(0), r.int64(1)); });
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].first, (DBBlob{1, 2, 3}));
    EXPECT_EQ(rows[1].second, 0);
}
