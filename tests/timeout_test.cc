// Operations interrupted by the deadline. The connection's progress handler is
// wrapped so that the stamp ages by the whole timeout after a chosen number of
// handler calls: the library's own handler then sees a deadline that has
// passed, without the test waiting thirty seconds.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

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

constexpr char kTimedOut[] = "operation timed out after 30 seconds";

struct Ager {
  sqlr_conn* slot;
  int calls_left;  // handler calls before the stamp ages
};

int aging_handler(void* arg) {
  auto* ager = static_cast<Ager*>(arg);
  if (ager->calls_left-- == 0) ager->slot->op_started -= SQLR_OP_TIMEOUT_SEC;
  return sqlr_progress_cb(ager->slot);
}

class TimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("t.db");
    sqlr_test::make_db(
        path_,
        "CREATE TABLE t(a INTEGER, b TEXT);"
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 5000)"
        " INSERT INTO t SELECT x, 'v' || x FROM c;");
    db_ = std::make_unique<sqlr_test::OpenDb>(path_, 1);
    ASSERT_GE(h(), 0);
  }
  void TearDown() override { restore(); }

  int h() const { return db_->handle(); }
  sqlr_conn* slot() const { return &g_conns[h()]; }
  // From now on, the stamp ages after `calls` handler calls, one per VM step.
  void age_after(int calls) {
    ager_ = {slot(), calls};
    sqlite3_progress_handler(slot()->db, 1, aging_handler, &ager_);
  }
  void restore() {
    if (db_ && h() >= 0)
      sqlite3_progress_handler(slot()->db, SQLR_PROGRESS_OPS, sqlr_progress_cb, slot());
  }
  // Runs `op` with the stamp ageing after 0, 1, 2 ... handler calls until it
  // succeeds, and returns the distinct failure messages met on the way, in
  // the order met. Every attempt must leave the stamp cleared.
  // One call first, with no ageing, so that what the handle keeps between
  // operations (the list of shadow tables) is in place and every attempt
  // does the same work.
  std::vector<std::string> failures_until_success(const std::function<std::string()>& op) {
    EXPECT_NE(op(), "<null>") << last_error();
    std::vector<std::string> seen;
    for (int calls = 0; calls < 5000; ++calls) {
      age_after(calls);
      if (op() != "<null>") return seen;
      EXPECT_EQ(slot()->op_started.load(), 0);
      if (seen.empty() || seen.back() != last_error()) seen.push_back(last_error());
    }
    ADD_FAILURE() << "never succeeded";
    return seen;
  }
  // After a timeout the stamp is cleared and the handle answers normally.
  void expect_usable() {
    EXPECT_EQ(slot()->op_started.load(), 0);
    restore();
    EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT count(*) AS n FROM t", 0, 1))),
              R"({"columns":["n"],"rows":[{"n":5000}],"offset":0,"limit":1,"returned":1})");
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::unique_ptr<sqlr_test::OpenDb> db_;
  Ager ager_{};
};

TEST_F(TimeoutTest, QueryReturnsNothingPartial) {
  age_after(3000);
  EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT a, b FROM t", 0, -1))), "<null>");
  EXPECT_EQ(last_error(), kTimedOut);
  expect_usable();
}

TEST_F(TimeoutTest, UpdateIsInterrupted) {
  age_after(2000);
  EXPECT_EQ(sqlr_exec(h(), "UPDATE t SET b = 'changed'"), -1);
  EXPECT_EQ(last_error(), kTimedOut);
  expect_usable();
  EXPECT_EQ(text(Result(sqlr_query(h(), "SELECT count(*) AS n FROM t WHERE b = 'changed'", 0, 1))),
            R"({"columns":["n"],"rows":[{"n":0}],"offset":0,"limit":1,"returned":1})");
}

// The handler also runs while a statement is compiled: a deadline that passes
// there is a failed compilation, one that passes while stepping the timeout.
TEST_F(TimeoutTest, TableListReportsWhereTheDeadlinePassed) {
  EXPECT_EQ(failures_until_success([&] { return text(Result(sqlr_tables(h()))); }),
            (std::vector<std::string>{"tables: interrupted", kTimedOut}));
  expect_usable();
}

// The schema runs two statements under one stamp: a deadline that passes
// while either compiles is a failed compilation, one that passes while either
// runs the timeout; never "not found".
TEST_F(TimeoutTest, SchemaReportsWhereTheDeadlinePassed) {
  EXPECT_EQ(failures_until_success([&] { return text(Result(sqlr_schema(h(), "t"))); }),
            (std::vector<std::string>{"schema: interrupted", kTimedOut}));
  expect_usable();
}

}  // namespace
