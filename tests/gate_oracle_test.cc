// The statement gate against SQLite's own reading of a text, on texts that
// fuzzing (fuzz/gate_fuzz.cc) found or that sit next to them: when the gate
// accepts a text and SQLite compiles it, SQLite must see exactly one
// statement, i.e. leave nothing after it but whitespace and comments.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard_gate.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::Result;
using sqlr_test::text;

class GateOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT)", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }

  // What SQLite leaves after the first statement of an accepted text that
  // compiles; empty when the text is refused or does not compile.
  std::string tail_of_accepted(const char* sql) {
    if (sqlr_classify_sql(sql) == SQLR_SQL_REJECT) return "";
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, &tail);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    if (rc != SQLITE_OK || tail == nullptr) return "";
    return sqlr_skip_noise(tail);
  }

  sqlite3* db_ = nullptr;
};

// The statement scan takes a quote inside square brackets, or inside the
// parenthesised suffix of a variable such as $a(...), for the start of a
// quoted run; SQLite takes both for parts of one token, so for SQLite the
// semicolon ends the first statement.
TEST_F(GateOracleTest, NoSecondStatementHidesBehindBracketsOrVariables) {
  const char* texts[] = {
      // Found by gate_fuzz (fuzz/corpus/gate/quote_in_*.sql).
      "SELECT $a(') ; DELETE FROM t --'",
      "SELECT 1 AS [a'];DELETE FROM t --'",
      // The same with the other quote characters and variable forms.
      "SELECT 1 AS [x\"]; DELETE FROM t --\"",
      "SELECT 1 AS [x`]; DELETE FROM t --`",
      "SELECT @a(`); DELETE FROM t --`",
      "SELECT :a(\"); DELETE FROM t --\"",
      "SELECT #a('); DELETE FROM t --'",
      "UPDATE t SET b = $a(') WHERE a = 1; DELETE FROM t --'",
      "DELETE FROM t AS [x'] WHERE a = 2;DELETE FROM t --'",
      // Neighbours that must keep holding.
      "SELECT [a;b] FROM t",
      "SELECT $a(;) ; SELECT 2",
      "SELECT 1 AS [ok]; -- done",
      "SELECT ';' AS a; /* trailing",
  };
  for (const char* sql : texts) {
    EXPECT_EQ(tail_of_accepted(sql), "") << "verdict " << sqlr_classify_sql(sql) << " for: " << sql;
  }
}

// Whatever the gate makes of such a text, the library compiles only its
// first statement: the hidden DELETE never runs.
TEST_F(GateOracleTest, HiddenSecondStatementNeverRuns) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("g.db");
  sqlr_test::make_db(
      path, "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT); INSERT INTO t VALUES (1, 'x');");
  sqlr_test::OpenDb db(path, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  Result(sqlr_query(db.handle(), "SELECT $a(') ; DELETE FROM t --'", 0, -1));
  Result(sqlr_query(db.handle(), "SELECT 1 AS [a'];DELETE FROM t --'", 0, -1));
  sqlr_exec(db.handle(), "UPDATE t SET b = $a(') WHERE a = 2; DELETE FROM t --'");
  sqlr_exec(db.handle(), "DELETE FROM t AS [x'] WHERE a = 2;DELETE FROM t --'");
  EXPECT_EQ(text(Result(sqlr_query(db.handle(), "SELECT count(*) AS n FROM t", 0, -1))),
            R"({"columns":["n"],"rows":[{"n":1}],"offset":0,"limit":100000,"returned":1})");
}

}  // namespace
