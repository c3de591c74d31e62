// Short statements that make SQLite build gigabytes or run for minutes. Each
// one answers, or fails with SQLite's message under the usual prefix, well
// within the deadline, and no statement, alone or beside others on other
// handles, grows the process by more than 1.25 GB. The exact figures are
// bench/hostile_bench's; the bounds here are loose enough for a loaded machine.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hostile_shapes.h"
#include "kestrova_sqlite_reader.h"
#include "test_util.h"

namespace {

using sqlr_test::case_arms;
using sqlr_test::chain;
using sqlr_test::doubling;
using sqlr_test::kAddressSanitizer;
using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

constexpr long long kMaxGrowth = 1250000000;  // bytes
// The deadline, the compile step SQLite may be in when it passes, and room
// for a machine busy with other work.
constexpr auto kMaxTime = std::chrono::seconds(45);

// Builds in which statements of seconds of native work take minutes: under
// AddressSanitizer, and the Windows build, whose tests run under wine.
#if defined(_WIN32)
constexpr bool kLeaveSlowCases = true;
#else
constexpr bool kLeaveSlowCases = kAddressSanitizer;
#endif

constexpr char kNoMemory[] = "error: query failed: out of memory";

std::string outcome(char* result) {
  Result r(result);
  return r ? text(r) : "error: " + last_error();
}

std::string one_row(const std::string& column, const std::string& json_value) {
  return R"({"columns":[")" + column + R"("],"rows":[{")" + column + R"(":)" + json_value +
         R"(}],"offset":0,"limit":100000,"returned":1})";
}

struct CostCase {
  const char* what;
  std::string sql;
  std::string expected;  // the result, or "error: " and the message
  bool slow = false;     // seconds of work in a plain build: left to it
};

std::string compound(int selects) {
  std::string sql = "SELECT 0 AS n";
  for (int i = 1; i < selects; ++i) sql += " UNION ALL SELECT " + std::to_string(i);
  return sql;
}

std::string deep(int depth) {
  std::string sql = "SELECT 0";
  for (int i = 0; i < depth; ++i) sql += "+1";
  return sql + " AS n";
}

const std::string kTooManyTokens =
    "error: prepare failed: too many tokens in the statement (at most " +
    std::to_string(SQLR_MAX_SQL_TOKENS) + ")";

const std::string kBlobs900 =
    "SELECT length(a) + length(b) + length(c) AS n FROM (SELECT randomblob(900000000) a,"
    " randomblob(900000000) b, randomblob(900000000) c)";
const std::string kHexZero = "SELECT length(hex(zeroblob(450000000))) AS n";
const std::string kBlobs200 =
    "SELECT length(a) + length(b) + length(c) + length(d) AS n FROM (SELECT"
    " randomblob(300000000) a, randomblob(300000000) b, randomblob(300000000) c,"
    " randomblob(300000000) d)";

class HostileCostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("c.db");
    sqlr_test::make_db(path_, "CREATE TABLE t(a);");
  }
  void TearDown() override { EXPECT_EQ(sqlr_test::slots_in_use(), 0); }

  // Fails when the process has grown past the bound since `before`.
  static void expect_bounded_growth(long long before) {
    const long long after = sqlr_test::peak_rss_bytes();
    if (before <= 0 || kAddressSanitizer) return;  // see hostile_test
    EXPECT_LT(after - before, kMaxGrowth) << "grew by " << ((after - before) >> 20) << " MB";
  }

  // Runs each case on `handle` in turn: its outcome as expected, within the
  // time bound. AddressSanitizer makes the slow ones minutes, and so does
  // wine's emulated heap for the Windows build's tests: the plain Linux build
  // runs them.
  template <size_t N>
  static void run_each(int32_t handle, const CostCase (&cases)[N]) {
    for (const CostCase& c : cases) {
      if (c.slow && kLeaveSlowCases) continue;
      SCOPED_TRACE(c.what);
      const auto start = std::chrono::steady_clock::now();
      const std::string got = outcome(sqlr_query(handle, c.sql.c_str(), 0, -1));
      const auto took = std::chrono::steady_clock::now() - start;
      EXPECT_EQ(got, c.expected);
      EXPECT_LT(took, kMaxTime);
    }
  }

  sqlr_test::TempDir dir_;
  std::string path_;
};

TEST_F(HostileCostTest, EachStatementIsBoundedInTimeAndMemory) {
  const CostCase cases[] = {
      {"three 900 MB blobs", kBlobs900, kNoMemory},
      {"hex of a 450 MB zeroblob", kHexZero, kNoMemory, true},
      {"group_concat of 900 one-megabyte blobs",
       "SELECT length(group_concat(b)) AS n FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL"
       " SELECT x + 1 FROM c WHERE x < 900) SELECT zeroblob(1000000) AS b FROM c)",
       kNoMemory, true},
      {"four 300 MB blobs", kBlobs200, kNoMemory, true},
      {"one value longer than any may be", "SELECT length(randomblob(1000000001)) AS n",
       "error: query failed: string or blob too big"},
      {"LIKE with a 49991-byte pattern",
       "SELECT printf('%.*c', 2000000, 'a') LIKE '%' || printf('%.*c', 49990, 'a') || 'b' AS m",
       "error: query failed: LIKE or GLOB pattern too complex"},
      {"LIKE with the longest pattern",
       "SELECT printf('%.*c', 2000000, 'a') LIKE '%' || printf('%.*c', " +
           std::to_string(SQLR_MAX_LIKE_PATTERN_BYTES - 2) + ", 'a') || 'b' AS m",
       one_row("m", "0"), true},
      {"one compound SELECT too many", compound(SQLR_MAX_COMPOUND_SELECTS + 1),
       "error: prepare failed: too many terms in compound SELECT"},
      {"the most compound SELECTs",
       "SELECT count(*) AS n FROM (" + compound(SQLR_MAX_COMPOUND_SELECTS) + ")",
       one_row("n", std::to_string(SQLR_MAX_COMPOUND_SELECTS))},
      {"an expression one level too deep", deep(SQLR_MAX_EXPR_DEPTH),
       "error: prepare failed: Expression tree is too large (maximum depth 1000)"},
  };
  OpenDb db(path_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  const long long before = sqlr_test::peak_rss_bytes();
  run_each(db.handle(), cases);
  expect_bounded_growth(before);
  EXPECT_EQ(outcome(sqlr_query(db.handle(), "SELECT 1 AS n", 0, -1)), one_row("n", "1"));
}

// Shapes whose compile time grows faster than their length: refused before
// SQLite compiles them past the token bound, answered within the deadline at
// it. The shapes at the bound take seconds in a plain build and several times
// as long under AddressSanitizer, which runs them in the plain build only.
TEST_F(HostileCostTest, CompilingIsBoundedByTheTokenCount) {
  const CostCase cases[] = {
      {"a CASE of 200000 arms", case_arms(200000), kTooManyTokens, false},
      {"a chain of common tables too long", chain(SQLR_MAX_SQL_TOKENS / 9 + 1), kTooManyTokens,
       false},
      {"a CASE of as many arms as the tokens allow", case_arms(SQLR_MAX_SQL_TOKENS / 4 - 2),
       one_row("n", "1"), true},
      {"the longest chain of common tables", chain(SQLR_MAX_SQL_TOKENS / 9 - 1), one_row("n", "1"),
       true},
      {"common tables that double at each step", doubling(40),
       "error: prepare failed: out of memory", true},
  };
  OpenDb db(path_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  const long long before = sqlr_test::peak_rss_bytes();
  run_each(db.handle(), cases);
  expect_bounded_growth(before);
}

TEST_F(HostileCostTest, FourAtOnceOnFourHandlesStayWithinTheBound) {
  struct Case {
    const char* what;
    const std::string& sql;
    const char* expected;
  };
  const Case cases[] = {
      {"three 900 MB blobs", kBlobs900, kNoMemory},
      {"hex of a 450 MB zeroblob", kHexZero, kNoMemory},
      {"four 300 MB blobs", kBlobs200, "error: query failed: out of memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const long long before = sqlr_test::peak_rss_bytes();
    std::vector<std::string> got(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i) {
      threads.emplace_back([&, i] {
        OpenDb db(path_, 0);
        got[i] =
            db.handle() < 0 ? "no handle" : outcome(sqlr_query(db.handle(), c.sql.c_str(), 0, -1));
      });
    }
    for (std::thread& t : threads) t.join();
    // The last-error text is one for the process: each thread's own message
    // may have been overwritten by another's, but never by a success.
    for (const std::string& g : got) EXPECT_EQ(g.rfind("error: query failed: ", 0), 0u) << g;
    expect_bounded_growth(before);
  }
}

// Large values stored in the file stay readable: their length without loading
// them, and any part of them.
TEST_F(HostileCostTest, StoredLargeValuesStayReadable) {
  sqlr_test::make_db(path_, "CREATE TABLE big(v); INSERT INTO big VALUES (zeroblob(150000000));");
  OpenDb db(path_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  EXPECT_EQ(outcome(sqlr_query(db.handle(), "SELECT length(v) AS n FROM big", 0, -1)),
            one_row("n", "150000000"));
  EXPECT_EQ(outcome(sqlr_query(db.handle(), "SELECT substr(v, 1, 10) AS s FROM big", 0, -1)),
            one_row("s", R"("AAAAAAAAAAAAAA==")"));
}

}  // namespace
