// Closing a handle while other threads run operations on it. The library
// keeps a handle's connection alive for every operation in flight and closes
// it once they have ended, so a host that closes at the wrong moment gets
// failed calls ("invalid handle"), never freed memory, a wrong result or a
// leaked connection. The last-error text is shared by the threads, so results
// alone tell success from failure here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::Result;
using sqlr_test::slots_in_use;
using sqlr_test::text;
using Clock = std::chrono::steady_clock;

constexpr auto kRunFor = std::chrono::seconds(2);

constexpr char kSchema[] =
    "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL);"
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200)"
    " INSERT INTO items SELECT x, 'item ' || x, x * 0.5 FROM c;"
    "CREATE TABLE counters(id INTEGER PRIMARY KEY, n INTEGER);"
    "INSERT INTO counters VALUES (1, 10), (2, 20);";

// Changes no value, so every read keeps its text.
constexpr char kUpdate[] = "UPDATE counters SET n = n WHERE id = 1";

// Long enough that a close arrives while it runs, on any build.
constexpr char kSlowSql[] =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000)"
    " SELECT sum(x) AS s FROM c";
constexpr char kSlowResult[] =
    R"({"columns":["s"],"rows":[{"s":2000001000000}],"offset":0,"limit":100000,"returned":1})";

// One operation and the text it gives on a handle nobody closes.
struct Call {
  enum Kind { kTables, kSchema, kQuery, kExec } kind;
  const char* arg;
  std::string expected;
};

std::string run(int32_t handle, const Call& c) {
  switch (c.kind) {
    case Call::kTables:
      return text(Result(sqlr_tables(handle)));
    case Call::kSchema:
      return text(Result(sqlr_schema(handle, c.arg)));
    case Call::kQuery:
      return text(Result(sqlr_query(handle, c.arg, 0, -1)));
    case Call::kExec:
      return std::to_string(sqlr_exec(handle, c.arg));
  }
  return {};
}

// What a call gives on a handle that is closed (or being closed) under it.
bool failed(const Call& c, const std::string& got) {
  return got == (c.kind == Call::kExec ? "-1" : "<null>");
}

class CloseRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(slots_in_use(), 0) << "an earlier test left a handle open";
    fds_before_ = sqlr_test::open_descriptors();
    path_ = dir_.file("shared.db");
    other_path_ = dir_.file("other.db");
    sqlr_test::make_db(path_, kSchema);
    ASSERT_FALSE(HasFatalFailure());
    std::filesystem::copy_file(path_, other_path_);
    calls_ = {
        {Call::kTables, nullptr, {}},
        {Call::kSchema, "items", {}},
        {Call::kQuery, "SELECT id, name, price FROM items ORDER BY id", {}},
        {Call::kQuery, "SELECT count(*) AS n, sum(price) AS total FROM items", {}},
        {Call::kQuery, "EXPLAIN QUERY PLAN SELECT name FROM items WHERE id = 7", {}},
        {Call::kExec, kUpdate, {}},
    };
    sqlr_test::OpenDb probe(path_, 1);
    ASSERT_GE(probe.handle(), 0);
    for (Call& c : calls_) {
      c.expected = run(probe.handle(), c);
      ASSERT_FALSE(failed(c, c.expected)) << (c.arg != nullptr ? c.arg : "tables");
    }
  }
  void TearDown() override {
    EXPECT_EQ(slots_in_use(), 0);
    if (fds_before_ >= 0) {
      EXPECT_EQ(sqlr_test::open_descriptors(), fds_before_);
    }
  }

  sqlr_test::TempDir dir_;
  std::string path_, other_path_;
  std::vector<Call> calls_;
  int fds_before_ = -1;
};

// Three readers work on whatever handle the fourth thread last opened, while
// it closes and reopens that handle, and two more threads open and close
// handles of their own so that a freed number is claimed again at once. Each
// call must give its usual text or fail; none may touch a connection or slot
// that a close has released.
TEST_F(CloseRaceTest, ReadersSurviveTheirHandleBeingClosedAndReopened) {
  std::atomic<int32_t> current{sqlr_open(path_.c_str(), 1)};
  ASSERT_GE(current.load(), 0);
  std::atomic<bool> stop{false};

  struct Tally {
    long ok = 0, failed = 0, wrong = 0;
    std::string first_wrong;
  };
  std::vector<Tally> tallies(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 5);
      Tally& tally = tallies[t];
      while (!stop.load()) {
        const Call& c = calls_[std::uniform_int_distribution<size_t>(0, calls_.size() - 1)(rng)];
        const std::string got = run(current.load(), c);
        if (got == c.expected) {
          ++tally.ok;
        } else if (failed(c, got)) {
          ++tally.failed;
        } else if (tally.wrong++ == 0) {
          tally.first_wrong = got;
        }
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const int32_t h = sqlr_open(other_path_.c_str(), 0);
        if (h >= 0) sqlr_close(h);
      }
    });
  }

  long reopened = 0;
  const auto until = Clock::now() + kRunFor;
  while (Clock::now() < until) {
    sqlr_close(current.load());
    const int32_t h = sqlr_open(path_.c_str(), 1);
    ASSERT_GE(h, 0) << sqlr_test::last_error();
    current.store(h);
    ++reopened;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop.store(true);
  for (std::thread& th : threads) th.join();
  sqlr_close(current.load());

  long ok = 0;
  for (size_t t = 0; t < tallies.size(); ++t) {
    EXPECT_EQ(tallies[t].wrong, 0) << "reader " << t << ", first: " << tallies[t].first_wrong;
    ok += tallies[t].ok;
  }
  EXPECT_GT(ok, 0);
  EXPECT_GT(reopened, 0);
  RecordProperty("reopened", std::to_string(reopened));
}

// A close that arrives while an operation runs waits for it: the operation
// gives its whole result, and when sqlr_close returns the connection is
// closed and the slot free.
TEST_F(CloseRaceTest, CloseWaitsForTheOperationInFlight) {
  const int32_t h = sqlr_open(path_.c_str(), 0);
  ASSERT_GE(h, 0);
  std::string got;
  std::thread slow([&] { got = text(Result(sqlr_query(h, kSlowSql, 0, -1))); });
  // The stamp is set once the operation holds the connection.
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while (g_conns[h].op_started.load() == 0 && Clock::now() < give_up) std::this_thread::yield();
  sqlr_close(h);
  EXPECT_EQ(slots_in_use(), 0);
  if (fds_before_ >= 0) {
    EXPECT_EQ(sqlr_test::open_descriptors(), fds_before_);
  }
  slow.join();
  EXPECT_EQ(got, kSlowResult);
  EXPECT_EQ(Result(sqlr_tables(h)), nullptr);
  EXPECT_EQ(sqlr_test::last_error(), "invalid handle");
}

// Many closes of one handle at once, while operations run on it: one of them
// closes it, the others pass over it, and nothing is closed twice.
TEST_F(CloseRaceTest, ConcurrentClosesOfOneHandleCloseItOnce) {
  for (int round = 0; round < 50; ++round) {
    const int32_t h = sqlr_open(path_.c_str(), 1);
    ASSERT_GE(h, 0);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        if (t % 2 == 0) {
          const Call& c = calls_[static_cast<size_t>(round + t) % calls_.size()];
          const std::string got = run(h, c);
          EXPECT_TRUE(got == c.expected || failed(c, got)) << got;
        } else {
          sqlr_close(h);
        }
      });
    }
    go.store(true);
    for (std::thread& th : threads) th.join();
    ASSERT_EQ(slots_in_use(), 0) << "round " << round;
  }
}

}  // namespace
