// Input built to hurt: SQL texts of 100 MB, SQL of nothing but comments,
// 10000 nested parentheses, paths of 10000 bytes, invalid UTF-8 in paths, SQL
// and data, damaged database files and files locked by another connection.
// Each gets a clear message, and the library stays usable afterwards.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

namespace fs = std::filesystem;
using sqlr_test::kAddressSanitizer;
using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::slots_in_use;
using sqlr_test::text;

constexpr char kRejected[] = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";
constexpr char kExecRejected[] = "exec rejected: only UPDATE/DELETE allowed";
constexpr char kNotJson[] = "failed to serialize JSON";
constexpr int kPageSize = 1024;

// The page that a one-row, one-column result gives.
std::string one_row(const std::string& column, const std::string& json_value) {
  return R"({"columns":[")" + column + R"("],"rows":[{")" + column + R"(":)" + json_value +
         R"(}],"offset":0,"limit":100000,"returned":1})";
}

// A result text, or the last-error text after a failure.
std::string outcome(char* result) {
  Result r(result);
  return r ? text(r) : "error: " + last_error();
}
std::string outcome(int32_t changed) {
  return changed >= 0 ? std::to_string(changed) : "error: " + last_error();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(slots_in_use(), 0) << "an earlier test left a handle open";
    path_ = dir_.file("h.db");
    // Small pages and 300 rows of 200 bytes: a file of dozens of pages.
    sqlr_test::make_db(
        path_,
        "PRAGMA page_size = 1024;"
        "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 300)"
        " INSERT INTO t SELECT x, printf('%0200d', x) FROM c;");
  }
  void TearDown() override {
    expect_usable();
    EXPECT_EQ(slots_in_use(), 0);
  }

  // A fresh handle on the intact fixture answers normally.
  void expect_usable() {
    OpenDb db(path_, 1);
    ASSERT_GE(db.handle(), 0) << last_error();
    EXPECT_EQ(text(Result(sqlr_query(db.handle(), "SELECT count(*) AS n FROM t", 0, -1))),
              one_row("n", "300"));
    EXPECT_EQ(last_error(), "");
  }

  sqlr_test::TempDir dir_;
  std::string path_;
};

// ---- Size and shape of the SQL text.

// A text of 100 MB: `before`, 100 MB of filler, `after`.
struct HugeCase {
  const char* what;
  bool exec;
  const char* before;
  const char* after;
  std::string expected;  // result, count or "error: ..."
};

TEST_F(HostileTest, HundredMegabyteTextsAreJudgedAndRunInBoundedMemory) {
  constexpr size_t kHuge = 100u << 20;
  const std::string refused = std::string("error: ") + kRejected;
  const HugeCase cases[] = {
      {"string literal whose page is over the cap", false, "SELECT '", "' AS s",
       "error: JSON result exceeds 100MB limit"},
      {"string literal measured", false, "SELECT length('", "') AS n",
       one_row("n", std::to_string(kHuge))},
      {"block comment", false, "SELECT 7 AS n /*", "*/", one_row("n", "7")},
      {"line comment", false, "SELECT 7 AS n -- ", "", one_row("n", "7")},
      {"unterminated comment after the semicolon", false, "SELECT 7 AS n; /*", "",
       one_row("n", "7")},
      {"nothing but a comment", false, "/*", "*/", refused},
      {"second statement behind a huge literal", false, "SELECT '", "'; DELETE FROM t", refused},
      {"UPDATE with a huge literal", true, "UPDATE t SET b = '", "' WHERE a < 0", "0"},
      {"DELETE with a huge comment", true, "DELETE FROM t WHERE a < 0 /*", "*/", "0"},
  };
  OpenDb db(path_, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  const long long before = sqlr_test::peak_rss_bytes();
  std::string sql;
  sql.reserve(kHuge + 64);  // one buffer for every case
  for (const HugeCase& c : cases) {
    SCOPED_TRACE(c.what);
    sql.assign(c.before).append(kHuge, 'x').append(c.after);
    const auto start = std::chrono::steady_clock::now();
    const std::string got = c.exec ? outcome(sqlr_exec(db.handle(), sql.c_str()))
                                   : outcome(sqlr_query(db.handle(), sql.c_str(), 0, -1));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    RecordProperty(std::string(c.what) + " ms", std::to_string(ms));
    EXPECT_EQ(got, c.expected);
  }
  // Beside the text: SQLite's copies of a literal while it compiles, never a
  // document built past the cap and then its serialised copy. AddressSanitizer
  // keeps freed blocks in quarantine, so resident memory tells nothing there.
  if (before > 0 && !kAddressSanitizer) {
    const long long grew = sqlr_test::peak_rss_bytes() - before;
    RecordProperty("peak memory growth MB", std::to_string(grew >> 20));
    EXPECT_LT(grew, 6LL * kHuge);
  }
}

TEST_F(HostileTest, SqlOfOnlyCommentsAndWhitespaceIsRefused) {
  const std::string texts[] = {
      " ",
      "\t\r\n\v\f",
      "-- note",
      "--",
      "/**/",
      "/* note */",
      "/* unterminated",
      "/*/",
      "-- a\n/* b */\n-- c",
      "/* a */ -- b\n /* c",
      std::string(10000, ' '),
      std::string(10000, '\n') + "--",
  };
  OpenDb db(path_, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  for (const std::string& sql : texts) {
    EXPECT_EQ(text(Result(sqlr_query(db.handle(), sql.c_str(), 0, -1))), "<null>") << sql;
    EXPECT_EQ(last_error(), kRejected) << sql;
    EXPECT_EQ(sqlr_exec(db.handle(), sql.c_str()), -1) << sql;
    EXPECT_EQ(last_error(), kExecRejected) << sql;
  }
}

TEST_F(HostileTest, TenThousandNestedParenthesesFailToCompile) {
  const std::string open(10000, '('), close(10000, ')');
  struct Case {
    const char* what;
    bool exec;
    std::string sql;
  };
  const Case cases[] = {
      {"nested expression", false, "SELECT " + open + "1" + close},
      {"unclosed", false, "SELECT " + open + "1"},
      {"closed too often", false, "SELECT 1" + close},
      {"nested subqueries", false, "SELECT " + open + "SELECT 1" + close},
      {"nested common table", false, "WITH x AS " + open + "SELECT 1" + close + " SELECT * FROM x"},
      {"nested EXPLAIN", false, "EXPLAIN SELECT " + open + "1" + close},
      {"nested UPDATE value", true, "UPDATE t SET b = " + open + "1" + close},
      {"nested DELETE condition", true, "DELETE FROM t WHERE " + open + "1" + close},
      {"nested WITH before DELETE", true,
       "WITH x AS " + open + "SELECT 1" + close + " DELETE FROM t WHERE a IN x"},
  };
  OpenDb db(path_, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string got = c.exec ? outcome(sqlr_exec(db.handle(), c.sql.c_str()))
                                   : outcome(sqlr_query(db.handle(), c.sql.c_str(), 0, -1));
    // SQLite's wording differs between its versions; the prefix is ours.
    EXPECT_EQ(got.rfind("error: prepare failed: ", 0), 0u) << got;
    EXPECT_GT(got.size(), std::string("error: prepare failed: ").size());
  }
  // Inside a string the parentheses are only characters.
  EXPECT_EQ(outcome(sqlr_query(db.handle(), ("SELECT length('" + open + "') AS n").c_str(), 0, -1)),
            one_row("n", "10000"));
}

// ---- Paths.

TEST_F(HostileTest, TenThousandBytePathsFailWithTheMessageCut) {
  const std::string missing = dir_.file(std::string(10000 - dir_.path().size() - 1, 'p'));
  ASSERT_EQ(missing.size(), 10000u);
  // A path of 10000 bytes that leads to the fixture: "./" over and over, and
  // one doubled slash when the count is odd.
  const std::string name = fs::path(path_).filename().string();
  const size_t winding = 10000 - dir_.path().size() - 1 - name.size();
  std::string roundabout = dir_.path() + (winding % 2 != 0 ? "//" : "/");
  for (size_t i = 0; i < winding / 2; ++i) roundabout += "./";
  roundabout += name;
  ASSERT_EQ(roundabout.size(), 10000u);
  for (const std::string& path : {missing, roundabout}) {
    for (int writable : {0, 1}) {
      const int32_t h = sqlr_open(path.c_str(), writable);
      if (h >= 0) {  // the file layer may resolve the long way round
        EXPECT_EQ(path, roundabout);
        EXPECT_EQ(outcome(sqlr_tables(h)), R"(["t"])");
        sqlr_close(h);
        continue;
      }
      const std::string prefix = "cannot open database: " + path;
      EXPECT_EQ(last_error().size(), SQLR_ERR_SIZE - 1);
      EXPECT_EQ(last_error(), prefix.substr(0, SQLR_ERR_SIZE - 1));
    }
  }
  EXPECT_EQ(slots_in_use(), 0);
}

// ---- Invalid UTF-8.

TEST_F(HostileTest, InvalidUtf8InPathsIsPassedToTheFileLayerUnchanged) {
  const std::string odd = dir_.file("odd-\xff\xfe-\xc0\x80-\xed\xa0\x80.db");
  sqlr_test::make_db(odd, "CREATE TABLE t(a);");
  {
    OpenDb db(odd, 0);
    ASSERT_GE(db.handle(), 0) << last_error();
    EXPECT_EQ(outcome(sqlr_tables(db.handle())), R"(["t"])");
  }
  const std::string missing = dir_.file("missing-\xff.db");
  EXPECT_EQ(sqlr_open(missing.c_str(), 0), -1);
  EXPECT_EQ(last_error(), "cannot open database: " + missing + " (unable to open database file)");
  EXPECT_FALSE(sqlr_test::file_exists(missing));
}

TEST_F(HostileTest, InvalidUtf8InSqlFailsOnlyWhereItWouldReachTheResult) {
  struct Case {
    const char* sql;
    std::string expected;
  };
  const Case cases[] = {
      {"SELECT '\xff' AS s", std::string("error: ") + kNotJson},
      {"SELECT 1 AS \"\xc3\"", std::string("error: ") + kNotJson},
      {"SELECT '\xed\xa0\x80' AS s", std::string("error: ") + kNotJson},      // a surrogate
      {"SELECT '\xc0\xaf' AS s", std::string("error: ") + kNotJson},          // overlong
      {"SELECT '\xf4\x90\x80\x80' AS s", std::string("error: ") + kNotJson},  // above U+10FFFF
      {"SELECT 'ok' AS s WHERE '\xff' = '\xff'", one_row("s", R"("ok")")},
      {"SELECT hex('\xff\xfe') AS h", one_row("h", R"("FFFE")")},
      {"SELECT CAST('\xff' AS BLOB) AS b", one_row("b", R"("/w==")")},
      {"SELECT 1 AS n -- \xff\xfe", one_row("n", "1")},
      {"\xffSELECT 1", std::string("error: ") + kRejected},
      {"SELECT\xff 1", "error: prepare failed: near \"SELECT\xff\": syntax error"},
  };
  OpenDb db(path_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(sqlr_query(db.handle(), c.sql, 0, -1)), c.expected) << c.sql;
  }
}

TEST_F(HostileTest, InvalidUtf8InDataFailsTheResultNotTheHandle) {
  const std::string bad = dir_.file("bad.db");
  sqlr_test::make_db(bad,
                     "CREATE TABLE v(id INTEGER PRIMARY KEY, s TEXT);"
                     "INSERT INTO v VALUES (1, 'fine'), (2, CAST(x'41ff42' AS TEXT));"
                     "CREATE TABLE u(\"c\xff\" INTEGER);");
  OpenDb db(bad, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  const int h = db.handle();
  const std::string not_json = std::string("error: ") + kNotJson;
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT s FROM v ORDER BY id", 0, -1)), not_json);
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT s FROM v WHERE id = 1", 0, -1)),
            one_row("s", R"("fine")"));
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT hex(s) AS x FROM v WHERE id = 2", 0, -1)),
            one_row("x", R"("41FF42")"));
  EXPECT_EQ(outcome(sqlr_schema(h, "u")), not_json);
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT * FROM u", 0, -1)), not_json);  // the column name
  // Stored through the library, the bytes come back only through hex().
  EXPECT_EQ(outcome(sqlr_exec(h, "UPDATE v SET s = 'x\xfey' WHERE id = 1")), "1");
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT s FROM v WHERE id = 1", 0, -1)), not_json);
  EXPECT_EQ(outcome(sqlr_query(h, "SELECT hex(s) AS x FROM v WHERE id = 1", 0, -1)),
            one_row("x", R"("78FE79")"));
  EXPECT_EQ(outcome(sqlr_tables(h)), R"(["u","v"])");
  sqlr_test::make_db(bad, "CREATE TABLE \"t\xff\"(a);");
  EXPECT_EQ(outcome(sqlr_tables(h)), not_json);
}

// ---- Damaged files.

// Every operation on a damaged copy of the fixture either gives the intact
// file's exact answer or fails with its own message. Where SQLite can see the
// damage (`visible`), it is noticed somewhere, no full scan succeeds, and a
// failed UPDATE leaves the bytes alone.
void expect_damage_reported(const std::string& damaged, bool visible, const std::string& what) {
  SCOPED_TRACE(what);
  const int32_t h = sqlr_open(damaged.c_str(), 1);
  if (h < 0) {
    EXPECT_EQ(last_error().rfind("database appears corrupt or unreadable: ", 0), 0u)
        << last_error();
    return;
  }
  auto one_of = [](const std::string& got, const std::string& intact, const char* prefix) {
    EXPECT_TRUE(got == intact || got.rfind(std::string("error: ") + prefix, 0) == 0) << got;
  };
  one_of(outcome(sqlr_tables(h)), R"(["t"])", "tables");
  one_of(outcome(sqlr_schema(h, "t")),
         R"({"name":"t","type":"table","columns":[)"
         R"({"cid":0,"name":"a","type":"INTEGER","notnull":0,"dflt_value":null,"pk":1},)"
         R"({"cid":1,"name":"b","type":"TEXT","notnull":0,"dflt_value":null,"pk":0}]})",
         "");  // a damaged catalogue may also read as "table or view not found"
  one_of(outcome(sqlr_query(h, "SELECT b FROM t WHERE a = 250", 0, -1)),
         one_row("b", "\"" + std::string(197, '0') + "250\""), "");
  const std::string scan =
      outcome(sqlr_query(h, "SELECT count(*) AS n, sum(length(b)) AS l FROM t", 0, -1));
  const std::string bytes = read_file(damaged);
  const std::string update = outcome(sqlr_exec(h, "UPDATE t SET b = upper(b) WHERE a % 50 = 0"));
  sqlr_close(h);
  if (!visible) {
    // Whatever SQLite makes of it, the answers are whole JSON or a failure.
    EXPECT_TRUE(scan.rfind("{", 0) == 0 || scan.rfind("error: query failed: ", 0) == 0) << scan;
    EXPECT_TRUE(update.find_first_not_of("0123456789") == std::string::npos ||
                update.rfind("error: exec failed: ", 0) == 0)
        << update;
    return;
  }
  EXPECT_TRUE(scan.rfind("error: query failed: ", 0) == 0 ||
              scan.rfind("error: prepare failed: ", 0) == 0)
      << scan;
  EXPECT_TRUE(update.rfind("error: exec failed: ", 0) == 0 ||
              update.rfind("error: prepare failed: ", 0) == 0)
      << update;
  EXPECT_TRUE(read_file(damaged) == bytes) << "a failed UPDATE changed the file";
}

// A file cut at a page boundary lacks pages its b-tree points to. Cut inside
// a page, the rest of that page reads as zeros, which SQLite cannot tell from
// data: such a file must still give whole answers or failures, nothing worse.
TEST_F(HostileTest, TruncatedFilesAreReportedAtEveryLength) {
  const std::string intact = read_file(path_);
  ASSERT_GT(intact.size(), 20u * kPageSize);
  const std::string damaged = dir_.file("truncated.db");
  for (size_t size = kPageSize / 2; size < intact.size(); size += kPageSize / 2) {
    sqlr_test::write_file(damaged, intact.substr(0, size));
    expect_damage_reported(damaged, size % kPageSize == 0,
                           "truncated to " + std::to_string(size) + " bytes");
  }
  // Nothing at all is an empty database.
  sqlr_test::write_file(damaged, "");
  OpenDb db(damaged, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  EXPECT_EQ(outcome(sqlr_tables(db.handle())), "[]");
}

TEST_F(HostileTest, EveryOverwrittenPageIsReported) {
  const std::string intact = read_file(path_);
  const std::string damaged = dir_.file("overwritten.db");
  for (size_t page = 0; page * kPageSize < intact.size(); ++page) {
    for (char fill : {'\0', '\xa5'}) {
      std::string bytes = intact;
      bytes.replace(page * kPageSize, kPageSize, kPageSize, fill);
      sqlr_test::write_file(damaged, bytes);
      expect_damage_reported(damaged, true,
                             "page " + std::to_string(page + 1) + " filled with " +
                                 std::to_string(static_cast<unsigned char>(fill)));
    }
  }
}

// ---- Locks held by another connection.

TEST_F(HostileTest, LockedDatabaseFailsAtOnceAndTheHandleRecovers) {
  // Writes one row without changing it, so the fixture stays as it was.
  constexpr char kTouch[] = "UPDATE t SET b = b WHERE a = 1";
  struct Case {
    const char* lock;  // run on the other connection
    bool reads_blocked;
  };
  const Case cases[] = {
      {"BEGIN; SELECT count(*) FROM t", false},  // a reader: writers cannot commit
      {"BEGIN IMMEDIATE", false},                // a writer in waiting
      {"BEGIN EXCLUSIVE", true},                 // nobody else reads or writes
  };
  OpenDb db(path_, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  const int h = db.handle();
  const std::string count = one_row("n", "300");
  ASSERT_EQ(outcome(sqlr_query(h, "SELECT count(*) AS n FROM t", 0, -1)), count);

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lock);
    ASSERT_EQ(sqlite3_exec(other, c.lock, nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(sqlr_exec(h, kTouch)), "error: exec failed: database is locked");
    if (c.reads_blocked) {
      EXPECT_EQ(outcome(sqlr_query(h, "SELECT count(*) AS n FROM t", 0, -1)),
                "error: query failed: database is locked");
      EXPECT_EQ(outcome(sqlr_tables(h)), "error: tables step failed: database is locked");
      // The schema's lookup tells a failed lookup from a table that is not there.
      EXPECT_EQ(outcome(sqlr_schema(h, "t")), "error: schema: database is locked");
      EXPECT_EQ(sqlr_open(path_.c_str(), 0), -1);
      EXPECT_EQ(
          last_error().rfind("database appears corrupt or unreadable: database is locked: ", 0), 0u)
          << last_error();
    } else {
      EXPECT_EQ(outcome(sqlr_query(h, "SELECT count(*) AS n FROM t", 0, -1)), count);
      EXPECT_EQ(outcome(sqlr_tables(h)), R"(["t"])");
    }
    // No busy handler is installed, so nothing waits for the other connection;
    // one that did would sit out the whole of this bound.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(outcome(sqlr_query(h, "SELECT count(*) AS n FROM t", 0, -1)), count);
  }
  sqlite3_close(other);
  EXPECT_EQ(outcome(sqlr_exec(h, kTouch)), "1");
}

}  // namespace
