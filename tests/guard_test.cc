// The guard while statements run: whatever SQLite runs on a statement's
// behalf (a pragma function, a view stored in the file, a trigger), a read
// never changes the file and an UPDATE or DELETE never changes the schema.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard_runtime.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

// A database where pragma optimize has work to do (an index that was never
// analysed), with a view and triggers that reach it.
constexpr char kHostileDb[] =
    "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
    "CREATE INDEX t_b ON t(b);"
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000)"
    " INSERT INTO t SELECT x, 'v' || (x % 37) FROM c;"
    "CREATE VIEW v AS SELECT * FROM pragma_optimize;"
    "CREATE VIEW v2 AS SELECT * FROM pragma_optimize(0x10002);"
    "CREATE TABLE t2(a INTEGER PRIMARY KEY, b TEXT);"
    "INSERT INTO t2 VALUES (1, 'x'), (2, 'y');"
    "CREATE TABLE audit(what TEXT);"
    "CREATE TRIGGER t2_optimize AFTER UPDATE OF b ON t2 WHEN new.b = 'z'"
    " BEGIN SELECT * FROM pragma_optimize(0x10002); END;"
    "CREATE TRIGGER t2_audit AFTER DELETE ON t2 BEGIN INSERT INTO audit VALUES ('deleted ' || "
    "old.a); END;";

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The catalogue as SQLite itself reads it, outside the library.
std::string catalogue(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_master ORDER BY name", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < 3; ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        out += v != nullptr ? reinterpret_cast<const char*>(v) : "NULL";
        out += '|';
      }
      out += '\n';
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

class GuardTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = dir_.file("g.db");
    sqlr_test::make_db(path_, kHostileDb);
    db_ = std::make_unique<OpenDb>(path_, GetParam());
    ASSERT_GE(h(), 0) << last_error();
    bytes_ = file_bytes(path_);
    catalogue_ = catalogue(path_);
  }
  int h() const { return db_->handle(); }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::string bytes_;
  std::string catalogue_;
  std::unique_ptr<OpenDb> db_;
};

// Reads whose statement is read-only when compiled, but which would run
// pragma optimize (and so ANALYZE) while they step.
TEST_P(GuardTest, AReadThatWouldWriteWhileItRunsFailsAndLeavesTheFileAlone) {
  for (const char* sql : {
           "SELECT * FROM pragma_optimize",
           "SELECT * FROM pragma_optimize(0x10002)",
           "SELECT * FROM main.pragma_optimize(0x10002)",
           "WITH o AS (SELECT * FROM pragma_optimize(0x10002)) SELECT * FROM o",
           "VALUES ((SELECT count(*) FROM pragma_optimize(0x10002)))",
           "SELECT * FROM t WHERE a IN (SELECT 1 FROM pragma_optimize(0x10002))",
           "SELECT * FROM v",
           "SELECT * FROM v2",
       }) {
    Result r(sqlr_query(h(), sql, 0, -1));
    EXPECT_EQ(r, nullptr) << sql << " gave " << text(r);
    EXPECT_TRUE(last_error().rfind("query failed: ", 0) == 0 ||
                last_error().rfind("query rejected: ", 0) == 0)
        << sql << ": " << last_error();
    EXPECT_TRUE(file_bytes(path_) == bytes_) << "the file changed: " << sql;
    EXPECT_EQ(catalogue(path_), catalogue_) << sql;
  }
  // The handle goes on reading, and pragma functions that only report still do.
  EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT count(*) AS n FROM t", 0, -1))),
            R"({"columns":["n"],"rows":[{"n":2000}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(
      text(Result(sqlr_query(h(), "SELECT name FROM pragma_table_info('t2') ORDER BY cid", 0, -1))),
      R"({"columns":["name"],"rows":[{"name":"a"},{"name":"b"}],"offset":0,)"
      R"("limit":100000,"returned":2})");
  EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT name FROM pragma_index_list('t')", 0, -1))),
            R"({"columns":["name"],"rows":[{"name":"t_b"}],"offset":0,"limit":100000,)"
            R"("returned":1})");
  EXPECT_TRUE(file_bytes(path_) == bytes_) << "the file changed";
}

// The table list and a table's description read the catalogue only.
TEST_P(GuardTest, CatalogueReadsOfHostileViewsChangeNothing) {
  EXPECT_NE(Result(sqlr_tables(h())), nullptr) << last_error();
  Result schema(sqlr_schema(h(), "v"));
  EXPECT_NE(schema, nullptr) << last_error();
  EXPECT_TRUE(file_bytes(path_) == bytes_) << "the file changed";
}

// The two layers of the read guard each hold alone: with the authorizer
// taken away, query-only mode refuses the write; with query-only mode off,
// the authorizer refuses the pragma that would write.
TEST_P(GuardTest, EachLayerOfTheReadGuardHoldsAlone) {
  sqlr_conn& slot = g_conns[h()];
  const char* sql = "SELECT * FROM pragma_optimize(0x10002)";

  sqlite3_set_authorizer(slot.db, nullptr, nullptr);
  EXPECT_EQ(Result(sqlr_query(h(), sql, 0, -1)), nullptr);
  EXPECT_EQ(last_error().rfind("query failed: ", 0), 0u) << last_error();
  sqlite3_set_authorizer(slot.db, sqlr_guard_authorize, &slot.guard);
  EXPECT_TRUE(file_bytes(path_) == bytes_) << "the file changed";

  // Switched off as sqlr_exec does; the next read would switch it back on,
  // so the flag is marked as on to keep the mode off for this one query.
  ASSERT_EQ(sqlr_guard_set_query_only(slot.db, &slot.guard, false), SQLITE_OK);
  slot.guard.query_only = true;
  EXPECT_EQ(Result(sqlr_query(h(), sql, 0, -1)), nullptr);
  EXPECT_EQ(last_error(), "query failed: not authorized");
  EXPECT_TRUE(file_bytes(path_) == bytes_) << "the file changed";
  ASSERT_EQ(sqlr_guard_set_query_only(slot.db, &slot.guard, true), SQLITE_OK);
}

INSTANTIATE_TEST_SUITE_P(ReadOnlyAndWritable, GuardTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return i.param != 0 ? std::string("Writable") : std::string("ReadOnly");
                         });

class WriteGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("w.db");
    sqlr_test::make_db(path_, kHostileDb);
    db_ = std::make_unique<OpenDb>(path_, 1);
    ASSERT_GE(h(), 0) << last_error();
    catalogue_ = catalogue(path_);
  }
  int h() const { return db_->handle(); }
  std::string rows(const char* sql) { return text(Result(sqlr_query(h(), sql, 0, -1))); }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::string catalogue_;
  std::unique_ptr<OpenDb> db_;
};

// A trigger stored in the file that would run ANALYZE: the UPDATE fails as a
// whole and the rows are as before.
TEST_F(WriteGuardTest, AnUpdateWhoseTriggerWouldChangeTheSchemaFailsAndChangesNothing) {
  const std::string before = rows("SELECT * FROM t2 ORDER BY a");
  EXPECT_EQ(sqlr_exec(h(), "UPDATE t2 SET b='z' WHERE a=1"), -1);
  EXPECT_EQ(last_error().rfind("exec failed: ", 0), 0u) << last_error();
  EXPECT_EQ(catalogue(path_), catalogue_);
  EXPECT_EQ(rows("SELECT * FROM t2 ORDER BY a"), before);
  // The same table, when the trigger does not fire, is updated as usual.
  EXPECT_EQ(sqlr_exec(h(), "UPDATE t2 SET b='w' WHERE a=1"), 1) << last_error();
  EXPECT_EQ(catalogue(path_), catalogue_);
}

// Row changes made by the file's own triggers are the database's semantics.
TEST_F(WriteGuardTest, TriggersMayChangeRows) {
  EXPECT_EQ(sqlr_exec(h(), "DELETE FROM t2 WHERE a=2"), 1) << last_error();
  EXPECT_EQ(rows("SELECT what FROM audit"),
            R"({"columns":["what"],"rows":[{"what":"deleted 2"}],"offset":0,"limit":100000,)"
            R"("returned":1})");
  EXPECT_EQ(catalogue(path_), catalogue_);
}

// Foreign-key actions run as statements of their own; they change rows of
// other tables and stay allowed.
TEST_F(WriteGuardTest, ForeignKeyActionsStillRun) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("fk.db");
  sqlr_test::make_db(path,
                     "CREATE TABLE p(id INTEGER PRIMARY KEY);"
                     "CREATE TABLE c(id INTEGER PRIMARY KEY,"
                     " p INTEGER REFERENCES p(id) ON DELETE CASCADE ON UPDATE SET NULL);"
                     "INSERT INTO p VALUES (1), (2); INSERT INTO c VALUES (10, 1), (20, 2);");
  OpenDb db(path, 1);
  ASSERT_GE(db.handle(), 0);
  EXPECT_EQ(sqlr_exec(db.handle(), "DELETE FROM p WHERE id = 1"), 1) << last_error();
  EXPECT_EQ(sqlr_exec(db.handle(), "UPDATE p SET id = 3 WHERE id = 2"), 1) << last_error();
  EXPECT_EQ(text(Result(sqlr_query(db.handle(), "SELECT id, p FROM c", 0, -1))),
            R"({"columns":["id","p"],"rows":[{"id":20,"p":null}],"offset":0,"limit":100000,)"
            R"("returned":1})");
}

// After a refused write the connection reads and writes as before: nothing
// the guard switched for one operation leaks into the next.
TEST_F(WriteGuardTest, RefusalsLeaveTheHandleAsItWas) {
  EXPECT_EQ(Result(sqlr_query(h(), "SELECT * FROM pragma_optimize", 0, -1)), nullptr);
  EXPECT_EQ(sqlr_exec(h(), "UPDATE t2 SET b='z' WHERE a=2"), -1);
  EXPECT_EQ(sqlr_exec(h(), "UPDATE t2 SET b='q' WHERE a=2"), 1) << last_error();
  EXPECT_EQ(Result(sqlr_query(h(), "SELECT * FROM v", 0, -1)), nullptr);
  EXPECT_EQ(sqlr_exec(h(), "DELETE FROM t WHERE a > 1000"), 1000) << last_error();
  EXPECT_EQ(catalogue(path_), catalogue_);
}

}  // namespace
