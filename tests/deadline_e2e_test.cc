// The deadline in real time: an operation still running 30 seconds after its
// stamp is interrupted by the connection's progress handler, returns nothing
// of what it had done, and the same handle then answers a short query. Each
// case waits out the whole timeout, so this program carries its own label and
// runs beside the rest of the suite rather than after it; timeout_test covers
// the same paths in moments by ageing the stamp.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::Result;
using sqlr_test::text;
using Seconds = std::chrono::duration<double>;

constexpr char kTimedOut[] = "operation timed out after 30 seconds";
// The stamp counts whole seconds, so the interrupt comes more than 29 seconds
// after the call began; the upper bound leaves room for one interval of the
// handler on a slow, instrumented build.
constexpr Seconds kEarliest{SQLR_OP_TIMEOUT_SEC - 1};
constexpr Seconds kLatest{40};

class DeadlineE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("slow.db");
    sqlr_test::make_db(
        path_,
        "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000)"
        " INSERT INTO t SELECT x, 'v' FROM c;");
    db_ = std::make_unique<sqlr_test::OpenDb>(path_, 1);
    ASSERT_GE(h(), 0) << last_error();
  }
  int h() const { return db_->handle(); }

  // After the timeout the stamp is cleared, the table is as it was, and the
  // handle answers at once.
  void expect_untouched_and_usable() {
    EXPECT_EQ(g_conns[h()].op_started.load(), 0);
    EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT count(*) AS n FROM t WHERE b = 'v'", 0, -1))),
              R"({"columns":["n"],"rows":[{"n":2000}],"offset":0,"limit":100000,"returned":1})");
    EXPECT_EQ(last_error(), "");
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::unique_ptr<sqlr_test::OpenDb> db_;
};

// An endless series that yields a row about every million steps: the page has
// gathered rows by the time the deadline passes, and none of them is returned.
TEST_F(DeadlineE2eTest, QueryIsInterruptedWithoutAPartialPage) {
  const auto start = std::chrono::steady_clock::now();
  Result page(sqlr_query(h(),
                         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c)"
                         " SELECT x FROM c WHERE x % 1000000 = 1",
                         0, -1));
  const Seconds took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(text(page), "<null>");
  EXPECT_EQ(last_error(), kTimedOut);
  EXPECT_GE(took, kEarliest);
  EXPECT_LE(took, kLatest);
  RecordProperty("seconds", std::to_string(took.count()));
  expect_untouched_and_usable();
}

// Each row's condition counts ten million steps, so the UPDATE has changed
// some rows, and has thousands more to go, when the deadline passes; the
// interrupt rolls back every change it made.
TEST_F(DeadlineE2eTest, UpdateIsInterruptedAndRolledBack) {
  const auto start = std::chrono::steady_clock::now();
  const int32_t changed = sqlr_exec(
      h(),
      "UPDATE t SET b = 'changed' WHERE a + 10000000 <= (WITH RECURSIVE c(x) AS"
      " (SELECT t.a UNION ALL SELECT x + 1 FROM c WHERE x < t.a + 10000000) SELECT max(x) FROM c)");
  const Seconds took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(changed, -1);
  EXPECT_EQ(last_error(), kTimedOut);
  EXPECT_GE(took, kEarliest);
  EXPECT_LE(took, kLatest);
  RecordProperty("seconds", std::to_string(took.count()));
  expect_untouched_and_usable();
}

// Two runaway queries on one handle: the second waits for the connection
// while the first runs, and only then stamps its own deadline. Each ends with
// the deadline's message, the second a whole timeout after the first: no
// operation overwrites or clears another's stamp.
TEST_F(DeadlineE2eTest, SecondOperationOnAHandleGetsItsOwnDeadline) {
  constexpr char kRunaway[] =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c)"
      " SELECT x FROM c WHERE x < 0";
  using Clock = std::chrono::steady_clock;
  Clock::time_point first_end, second_end;
  std::string first_result, second_result, first_error, second_error;
  const Clock::time_point start = Clock::now();
  std::thread first([&] {
    first_result = text(Result(sqlr_query(h(), kRunaway, 0, -1)));
    first_end = Clock::now();
    first_error = last_error();
  });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::thread second([&] {
    second_result = text(Result(sqlr_query(h(), kRunaway, 0, -1)));
    second_end = Clock::now();
    second_error = last_error();
  });
  first.join();
  second.join();
  EXPECT_EQ(first_result, "<null>");
  EXPECT_EQ(second_result, "<null>");
  EXPECT_EQ(first_error, kTimedOut);
  EXPECT_EQ(second_error, kTimedOut);
  const Seconds first_took = first_end - start;
  const Seconds gap = second_end - first_end;
  EXPECT_GE(first_took, kEarliest);
  EXPECT_LE(first_took, kLatest);
  EXPECT_GE(gap, kEarliest);
  EXPECT_LE(gap, kLatest);
  RecordProperty("first seconds", std::to_string(first_took.count()));
  RecordProperty("second after first", std::to_string(gap.count()));
  expect_untouched_and_usable();
}

}  // namespace
