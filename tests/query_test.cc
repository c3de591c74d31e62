// Read statements returned as pages of JSON rows.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <cstring>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard_compiled.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

constexpr char kRejected[] = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("q.db");
    sqlr_test::make_db(
        path_,
        "CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT, data BLOB, score REAL);"
        "INSERT INTO people VALUES (1, 'Ann', x'0001', 2.5), (2, 'Bo', NULL, NULL);"
        "CREATE TABLE n(i INTEGER);"
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 10)"
        " INSERT INTO n SELECT x FROM c;");
    db_ = std::make_unique<OpenDb>(path_, 0);
    ASSERT_GE(h(), 0) << last_error();
  }
  int h() const { return db_->handle(); }
  std::string query(const char* sql, int32_t offset = 0, int32_t limit = -1) {
    return text(Result(sqlr_query(h(), sql, offset, limit)));
  }
  sqlite3* conn() const { return g_conns[h()].db; }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::unique_ptr<OpenDb> db_;
};

TEST_F(QueryTest, ReturnsThePeopleExample) {
  EXPECT_EQ(query("SELECT id, name, data, score FROM people ORDER BY id", 0, 2),
            R"({"columns":["id","name","data","score"],"rows":[)"
            R"({"id":1,"name":"Ann","data":"AAE=","score":2.5},)"
            R"({"id":2,"name":"Bo","data":null,"score":null}],"offset":0,"limit":2,"returned":2})");
  EXPECT_EQ(last_error(), "");
}

TEST_F(QueryTest, PagesWithEffectiveOffsetAndLimit) {
  struct Case {
    int32_t offset, limit;
    const char* rows;
    int32_t eff_offset, eff_limit, returned;
  };
  const Case cases[] = {
      {0, 3, R"({"i":1},{"i":2},{"i":3})", 0, 3, 3},
      {3, 3, R"({"i":4},{"i":5},{"i":6})", 3, 3, 3},
      {8, 5, R"({"i":9},{"i":10})", 8, 5, 2},
      {10, 5, "", 10, 5, 0},
      {5000, 5, "", 5000, 5, 0},
      {-5, 2, R"({"i":1},{"i":2})", 0, 2, 2},
      {INT_MIN, 1, R"({"i":1})", 0, 1, 1},
      {9, -1, R"({"i":10})", 9, 100000, 1},
      {9, 100001, R"({"i":10})", 9, 100000, 1},
      {9, INT_MIN, R"({"i":10})", 9, 100000, 1},
      {9, 100000, R"({"i":10})", 9, 100000, 1},
      {0, 0, "", 0, 0, 0},
  };
  for (const Case& c : cases) {
    const std::string expected = std::string(R"({"columns":["i"],"rows":[)") + c.rows +
                                 R"(],"offset":)" + std::to_string(c.eff_offset) + R"(,"limit":)" +
                                 std::to_string(c.eff_limit) + R"(,"returned":)" +
                                 std::to_string(c.returned) + "}";
    EXPECT_EQ(query("SELECT i FROM n ORDER BY i", c.offset, c.limit), expected)
        << "offset " << c.offset << " limit " << c.limit;
  }
}

TEST_F(QueryTest, ValuesKeepTheirStorageClass) {
  struct Case {
    const char* expr;
    const char* json;
  };
  const Case cases[] = {
      {"NULL", "null"},
      {"42", "42"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775807", "9223372036854775807"},
      {"1.0", "1.0"},
      {"-0.0", "-0.0"},
      {"0.1", "0.1"},
      {"1e30", "1e30"},
      {"x''", R"("")"},
      {"x'00'", R"("AA==")"},
      {"x'0001'", R"("AAE=")"},
      {"x'000102'", R"("AAEC")"},
      {"zeroblob(4)", R"("AAAAAA==")"},
      {"''", R"("")"},
      {"'a' || char(0) || 'b'", R"("a")"},
      {"'line' || char(10) || 'quote\"/slash'", R"("line\nquote\"/slash")"},
      {"char(27, 127)", "\"\\u001B\x7F\""},
      {"'caf\xC3\xA9'", "\"caf\xC3\xA9\""},
  };
  for (const Case& c : cases) {
    const std::string sql = std::string("SELECT ") + c.expr + " AS v";
    EXPECT_EQ(query(sql.c_str()), std::string(R"({"columns":["v"],"rows":[{"v":)") + c.json +
                                      R"(}],"offset":0,"limit":100000,"returned":1})")
        << c.expr;
  }
}

TEST_F(QueryTest, OneColumnMayChangeTypeBetweenRows) {
  EXPECT_EQ(query("VALUES (1), ('x'), (NULL), (2.5), (x'ff')"),
            R"({"columns":["column1"],"rows":[{"column1":1},{"column1":"x"},{"column1":null},)"
            R"({"column1":2.5},{"column1":"/w=="}],"offset":0,"limit":100000,"returned":5})");
}

TEST_F(QueryTest, DuplicateColumnNamesGiveDuplicateKeys) {
  EXPECT_EQ(
      query("SELECT 1 AS a, 2 AS a"),
      R"({"columns":["a","a"],"rows":[{"a":1,"a":2}],"offset":0,"limit":100000,"returned":1})");
}

TEST_F(QueryTest, ValuesThatJsonCannotHoldFailSerialisation) {
  for (const char* sql :
       {"SELECT 1e999", "SELECT -1e999", "SELECT CAST(x'FF' AS TEXT)", "SELECT 1 AS \"bad\xFF\""}) {
    EXPECT_EQ(query(sql), "<null>") << sql;
    EXPECT_EQ(last_error(), "failed to serialize JSON") << sql;
  }
}

TEST_F(QueryTest, RowCapIsOneHundredThousand) {
  const char* sql =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100005)"
      " SELECT x FROM c";
  const std::string out = query(sql, 0, -1);
  EXPECT_NE(out.find(R"({"x":100000}],"offset":0,"limit":100000,"returned":100000})"),
            std::string::npos);
  EXPECT_EQ(out.find(R"({"x":100001})"), std::string::npos);
}

TEST_F(QueryTest, RefusesAnythingButOneReadStatementBeforeTheHandle) {
  for (int32_t handle : {h(), -1}) {
    for (const char* sql :
         {"INSERT INTO n VALUES (1)", "PRAGMA table_info(n)", "SELECT 1; SELECT 2", "DELETE FROM n",
          "UPDATE n SET i = 0", "ATTACH DATABASE 'x' AS y", "BEGIN", "  -- only a comment"}) {
      EXPECT_EQ(text(Result(sqlr_query(handle, sql, 0, 10))), "<null>");
      EXPECT_EQ(last_error(), kRejected) << sql;
    }
    for (const char* sql : {static_cast<const char*>(nullptr), ""}) {
      EXPECT_EQ(text(Result(sqlr_query(handle, sql, 0, 10))), "<null>");
      EXPECT_EQ(last_error(), "sql is required");
    }
  }
  EXPECT_EQ(text(Result(sqlr_query(-1, "SELECT 1", 0, 10))), "<null>");
  EXPECT_EQ(last_error(), "invalid handle");
  EXPECT_EQ(query("SELECT count(*) AS c FROM n"),
            R"({"columns":["c"],"rows":[{"c":10}],"offset":0,"limit":100000,"returned":1})");
}

TEST_F(QueryTest, CompileAndRunFailuresClearTheStamp) {
  EXPECT_EQ(query("SELECT FROM WHERE"), "<null>");
  EXPECT_EQ(last_error(), "prepare failed: near \"FROM\": syntax error");
  EXPECT_EQ(g_conns[h()].op_started.load(), 0);
  EXPECT_EQ(query("SELECT * FROM missing"), "<null>");
  EXPECT_EQ(last_error(), "prepare failed: no such table: missing");
  EXPECT_EQ(query("SELECT abs(-9223372036854775807 - 1)"), "<null>");
  EXPECT_EQ(last_error(), "query failed: integer overflow");
  EXPECT_EQ(g_conns[h()].op_started.load(), 0);
}

// Counts how often SQLite evaluates tick(), i.e. how many rows were stepped
// (the queries scan in rowid order, with no sort that would compute them all);
// fail_at(x, n) raises an error on the row where x == n.
void tick(sqlite3_context* ctx, int, sqlite3_value**) {
  ++*static_cast<int*>(sqlite3_user_data(ctx));
  sqlite3_result_int(ctx, 1);
}
void fail_at(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_int(argv[0]) == sqlite3_value_int(argv[1])) {
    sqlite3_result_error(ctx, "row went wrong", -1);
  } else {
    sqlite3_result_int(ctx, 0);
  }
}

// Rows before the page are stepped over; stepping stops one row past the page,
// and that row's error still fails the call.
TEST_F(QueryTest, StepsAtMostOffsetPlusLimitPlusOne) {
  int ticks = 0;
  ASSERT_EQ(sqlite3_create_function(conn(), "tick", 0, SQLITE_UTF8, &ticks, tick, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_create_function(conn(), "fail_at", 2, SQLITE_UTF8, nullptr, fail_at, nullptr,
                                    nullptr),
            SQLITE_OK);
  struct Case {
    int32_t offset, limit;
    int steps;
  };
  for (Case c : {Case{0, 0, 1}, Case{3, 0, 4}, Case{2, 3, 6}, Case{8, 5, 10}}) {
    ticks = 0;
    EXPECT_NE(query("SELECT i, tick() FROM n", c.offset, c.limit), "<null>");
    EXPECT_EQ(ticks, c.steps) << c.offset << "," << c.limit;
  }
  EXPECT_EQ(query("SELECT i, fail_at(i, 4) FROM n", 0, 3), "<null>");
  EXPECT_EQ(last_error(), "query failed: row went wrong");
  EXPECT_NE(query("SELECT i, fail_at(i, 5) FROM n", 0, 3), "<null>");
}

// The guard after compilation, independent of the gate: only statements that
// cannot write are accepted.
TEST_F(QueryTest, ReadGuardJudgesCompiledStatements) {
  struct Case {
    const char* sql;
    bool read;
  };
  const Case cases[] = {
      {"SELECT * FROM n", true},
      {"VALUES (1)", true},
      {"WITH x AS (SELECT 1) SELECT * FROM x", true},
      {"EXPLAIN WITH x AS (SELECT 1) DELETE FROM n", true},
      {"EXPLAIN QUERY PLAN DELETE FROM n", true},
      {"DELETE FROM n", false},
      {"UPDATE n SET i = 1", false},
      {"INSERT INTO n VALUES (1)", false},
      {"CREATE TABLE z(a)", false},
      {"BEGIN", false},
      {"COMMIT", false},
      {"ATTACH DATABASE ':memory:' AS y", false},
      {"DETACH DATABASE y", false},
      {"PRAGMA user_version = 3", false},
      {"VACUUM", false},
  };
  sqlite3* rw = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &rw), SQLITE_OK);
  for (const Case& c : cases) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(rw, c.sql, -1, &stmt, nullptr), SQLITE_OK) << c.sql;
    EXPECT_EQ(sqlr_stmt_is_read(stmt), c.read) << c.sql;
    sqlite3_finalize(stmt);
  }
  sqlite3_close(rw);
}

TEST_F(QueryTest, ExplainOfAWriteDescribesItWithoutRunningIt) {
  OpenDb rw(path_, 1);
  ASSERT_GE(rw.handle(), 0);
  Result r(sqlr_query(rw.handle(), "EXPLAIN WITH x AS (SELECT 1) DELETE FROM n", 0, 5));
  ASSERT_TRUE(r) << last_error();
  EXPECT_EQ(std::string(r.get()).rfind(
                R"({"columns":["addr","opcode","p1","p2","p3","p4","p5","comment"],)", 0),
            0u);
  EXPECT_EQ(query("SELECT count(*) AS c FROM n"),
            R"({"columns":["c"],"rows":[{"c":10}],"offset":0,"limit":100000,"returned":1})");
}

// A page far over the cap is refused while it is built, long before its
// gigabyte of text would have been allocated: the process grows by about the
// cap, the text written before the page was refused.
TEST_F(QueryTest, PageOverTheCapFailsWithBoundedMemory) {
  const long long before = sqlr_test::peak_rss_bytes();
  const char* sql =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000)"
      " SELECT x, printf('%.10000c', 'x') AS big FROM c";
  EXPECT_EQ(query(sql), "<null>");
  EXPECT_EQ(last_error(), "JSON result exceeds 100MB limit");
  EXPECT_EQ(g_conns[h()].op_started.load(), 0);
  if (before < 0 || sqlr_test::kAddressSanitizer) GTEST_SKIP() << "peak memory not measurable here";
  EXPECT_LT(sqlr_test::peak_rss_bytes() - before, 150LL << 20);
}

// Inside a page that is over the cap anyway, the cap's message wins over a
// value that could not have been serialised.
TEST_F(QueryTest, CapWinsOverAnUnserialisableValue) {
  const char* sql =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 300)"
      " SELECT CASE WHEN x = 1 THEN 1e999 ELSE x END AS v, printf('%.1000000c', 'x') AS big FROM c";
  EXPECT_EQ(query(sql), "<null>");
  EXPECT_EQ(last_error(), "JSON result exceeds 100MB limit");
}

TEST_F(QueryTest, PageJustUnderTheCapIsReturned) {
  // 100 rows of about 1 MB each: roughly 100 MB of text, under the cap.
  const char* sql =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100)"
      " SELECT printf('%.1000000c', 'x') AS b FROM c";
  Result r(sqlr_query(h(), sql, 0, -1));
  ASSERT_TRUE(r) << last_error();
  EXPECT_GT(std::strlen(r.get()), 100000000u);
}

// The cap is the exact length of the text, whatever its values cost to write:
// a page padded to exactly 104857600 bytes is returned, one byte more is
// refused. Each case's SQL holds `{pad}`, a count of plain bytes that each
// write as one; the padding that reaches the cap is found from the length of
// a smaller page.
TEST_F(QueryTest, PageOfExactlyTheCapIsReturnedAndOneByteMoreIsNot) {
  struct Case {
    const char* what;
    const char* sql;
  };
  const Case cases[] = {
      {"one plain text", "SELECT printf('%.{pad}c', 'x') AS v"},
      // 3000000 times eight characters in eleven bytes, written as twenty:
      // \u0001 \n \" \\ / \t and a two-byte and a three-byte character.
      {"one long text of escaped bytes",
       "SELECT replace(printf('%.3000000c', 'x'), 'x', char(1, 10, 34, 92, 47, 9, 233, 8364))"
       " || printf('%.{pad}c', 'x') AS v"},
      // Short texts, written without being counted first: 908 bytes each.
      {"short escaped texts in many rows",
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000)"
       " SELECT CASE WHEN x < 100000"
       " THEN replace(printf('%.150c', 'x'), 'x', char(1)) || '\"\\' || char(10)"
       " ELSE printf('%.{pad}c', 'x') END AS v FROM c"},
      // What follows a NUL is not part of the value, nor counted.
      {"long text cut at a NUL",
       "SELECT printf('%.{pad}c', 'x') || char(0) || printf('%.5000c', 'y') AS v"},
      {"long BLOB beside a text", "SELECT zeroblob(60000000) AS b, printf('%.{pad}c', 'x') AS v"},
  };
  constexpr size_t kCap = 104857600;
  constexpr size_t kSmallPad = 1000;
  auto with_pad = [](const char* sql, size_t pad) {
    std::string s = sql;
    s.replace(s.find("{pad}"), 5, std::to_string(pad));
    return s;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t smaller = 0;
    {
      Result r(sqlr_query(h(), with_pad(c.sql, kSmallPad).c_str(), 0, -1));
      ASSERT_TRUE(r) << last_error();
      smaller = std::strlen(r.get());
      ASSERT_LT(smaller, kCap);
    }
    const size_t pad = kSmallPad + (kCap - smaller);
    {
      Result r(sqlr_query(h(), with_pad(c.sql, pad).c_str(), 0, -1));
      ASSERT_TRUE(r) << last_error();
      EXPECT_EQ(std::strlen(r.get()), kCap);
      EXPECT_EQ(last_error(), "");
    }
    EXPECT_EQ(query(with_pad(c.sql, pad + 1).c_str()), "<null>");
    EXPECT_EQ(last_error(), "JSON result exceeds 100MB limit");
  }
}

}  // namespace
