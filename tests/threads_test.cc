// Many threads at once. Owner threads open and close handles of their own, up
// to the limit of 64 between them, and run table lists, schemas, queries and
// updates on them; sharer threads run the same operations together on one
// handle. Every result is compared with what a single thread got before the
// threads started. The last-error text is one buffer for the whole process, so
// it is never read here: results alone tell success from failure.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
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

constexpr int kOwners = 8;
constexpr int kSharers = 4;
// Handles an owner may hold during the mixed phase: with the shared handle,
// never more than the 64 slots, so every open there must succeed.
constexpr int kOwnerQuota = (SQLR_MAX_CONNS - 1) / kOwners;
constexpr auto kRunFor = std::chrono::seconds(3);
constexpr auto kMixedPhase = std::chrono::milliseconds(250);

constexpr char kSchema[] =
    "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL, data BLOB, price REAL);"
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 300)"
    " INSERT INTO items SELECT x, 'item ' || x, CASE WHEN x % 3 = 0 THEN NULL"
    " ELSE randomblob(x % 7) END, x * 0.25 FROM c;"
    "CREATE VIEW cheap AS SELECT id, name FROM items WHERE price < 5;"
    "CREATE TABLE counters(id INTEGER PRIMARY KEY, n INTEGER);"
    "INSERT INTO counters VALUES (1, 10), (2, 20), (3, 30), (4, 40);";

// A reusable barrier for `count` threads: the last to arrive runs
// `completion`, then all go on. Written over a mutex and a condition variable
// rather than std::barrier, whose wait in the MinGW runtime can miss its
// wake-up and leave every thread asleep at the barrier (seen under wine).
class Barrier {
 public:
  Barrier(int count, std::function<void()> completion)
      : count_(count), completion_(std::move(completion)) {}

  void arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mu_);
    const long generation = generation_;
    if (++arrived_ == count_) {
      completion_();
      arrived_ = 0;
      ++generation_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return generation_ != generation; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  const int count_;
  int arrived_ = 0;
  long generation_ = 0;
  std::function<void()> completion_;
};

// One read operation and the text it gave on a single thread.
struct Read {
  enum Kind { kTables, kSchema, kQuery } kind;
  const char* arg;  // table name or SQL
  int32_t offset, limit;
  std::string expected;
};

std::vector<Read> make_reads() {
  return {
      {Read::kTables, nullptr, 0, 0, {}},
      {Read::kSchema, "items", 0, 0, {}},
      {Read::kSchema, "cheap", 0, 0, {}},
      {Read::kQuery, "SELECT id, name, data, price FROM items ORDER BY id", 0, 50, {}},
      {Read::kQuery, "SELECT id, name, data, price FROM items ORDER BY id", 250, -1, {}},
      {Read::kQuery, "SELECT count(*) AS n, sum(price) AS total FROM items", 0, 1, {}},
      {Read::kQuery, "SELECT * FROM cheap ORDER BY id DESC", 3, 5, {}},
      {Read::kQuery, "SELECT n FROM counters ORDER BY id", 0, -1, {}},
      {Read::kQuery,
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 5000)"
       " SELECT sum(x) AS s, max(x) AS m FROM c",
       0,
       -1,
       {}},
      {Read::kQuery, "VALUES (1, 'a', x'00ff', NULL), (2.5, '\"q\"', x'', -7)", 0, -1, {}},
      {Read::kQuery, "EXPLAIN QUERY PLAN SELECT name FROM items WHERE id = 7", 0, -1, {}},
  };
}

std::string run_read(int32_t handle, const Read& r) {
  switch (r.kind) {
    case Read::kTables:
      return text(Result(sqlr_tables(handle)));
    case Read::kSchema:
      return text(Result(sqlr_schema(handle, r.arg)));
    case Read::kQuery:
      return text(Result(sqlr_query(handle, r.arg, r.offset, r.limit)));
  }
  return {};
}

// Changes no value, so that every run reports the same count and every read
// above keeps its text.
constexpr char kUpdate[] = "UPDATE counters SET n = n WHERE id <= 3";
constexpr int kUpdated = 3;

// Mismatches seen by one thread; reported once, after the threads have ended,
// so that a fault does not flood the output.
struct Faults {
  long checked = 0;
  int count = 0;
  std::string first;
  void check(bool ok, const std::string& what) {
    ++checked;
    if (ok) return;
    if (count++ == 0) first = what;
  }
};

class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(slots_in_use(), 0) << "an earlier test left a handle open";
    read_path_ = dir_.file("read.db");
    shared_path_ = dir_.file("shared.db");
    sqlr_test::make_db(read_path_, kSchema);
    ASSERT_FALSE(HasFatalFailure());
    std::filesystem::copy_file(read_path_, shared_path_);
    for (int i = 0; i < kOwners; ++i) {
      own_paths_.push_back(dir_.file("own" + std::to_string(i) + ".db"));
      std::filesystem::copy_file(read_path_, own_paths_.back());
    }
    reads_ = make_reads();
    sqlr_test::OpenDb probe(read_path_, 0);
    ASSERT_GE(probe.handle(), 0);
    for (Read& r : reads_) {
      r.expected = run_read(probe.handle(), r);
      ASSERT_NE(r.expected, "<null>") << (r.arg != nullptr ? r.arg : "tables");
    }
    for (auto& owner : owner_of_) owner = -1;
  }
  void TearDown() override { EXPECT_EQ(slots_in_use(), 0); }

  // Records that `thread` now holds `handle`; false when another thread holds
  // it too, i.e. the registry gave one slot out twice.
  bool take(int32_t handle, int thread) {
    if (handle < 0 || handle >= SQLR_MAX_CONNS) return false;
    int expected = -1;
    return owner_of_[handle].compare_exchange_strong(expected, thread);
  }
  // Gives the handle up before closing it: once closed, its number may be
  // handed to another thread at once.
  void drop(int32_t handle) {
    owner_of_[handle].store(-1);
    sqlr_close(handle);
  }

  const Read& pick(std::mt19937& rng) {
    return reads_[std::uniform_int_distribution<size_t>(0, reads_.size() - 1)(rng)];
  }

  // One read, one update or one refused statement on `handle`, checked.
  void operate(int32_t handle, bool writable, std::mt19937& rng, Faults& faults) {
    const int what = std::uniform_int_distribution<int>(0, 9)(rng);
    if (what == 0) {
      const int32_t changed = sqlr_exec(handle, kUpdate);
      faults.check(
          changed == (writable ? kUpdated : -1),
          "UPDATE gave " + std::to_string(changed) + " on handle " + std::to_string(handle));
    } else if (what == 1) {
      // Refused by the gate, and on a read-only handle by the handle itself.
      faults.check(!Result(sqlr_query(handle, "DELETE FROM counters", 0, -1)), "query ran DELETE");
      faults.check(sqlr_exec(handle, "INSERT INTO counters VALUES (9, 9)") == -1,
                   "exec ran INSERT");
    } else {
      const Read& r = pick(rng);
      const std::string got = run_read(handle, r);
      faults.check(got == r.expected, std::string(r.arg != nullptr ? r.arg : "tables") +
                                          " on handle " + std::to_string(handle) + " gave " + got);
    }
  }

  sqlr_test::TempDir dir_;
  std::string read_path_, shared_path_;
  std::vector<std::string> own_paths_;
  std::vector<Read> reads_;
  std::array<std::atomic<int>, SQLR_MAX_CONNS> owner_of_;
};

TEST_F(ThreadsTest, OwnersAndSharersGetSingleThreadedResults) {
  const int32_t shared = sqlr_open(shared_path_.c_str(), 1);
  ASSERT_TRUE(take(shared, kOwners));

  std::atomic<bool> stop_sharers{false};
  std::atomic<bool> last_round{false};
  std::atomic<int> filled{0};
  std::atomic<int> full_rounds{0};
  Faults round_faults;  // written only by the barrier's completion step
  const auto until = Clock::now() + kRunFor;

  // The fill phase: after the mixed phase every owner closes what it holds,
  // then all race to open until the table is full. Exactly 63 opens succeed
  // (one slot is the shared handle), whoever wins them.
  enum class Step { kMixed, kEmptied, kFull, kClosed };
  Step step = Step::kMixed;
  Barrier sync(kOwners, [&]() {
    switch (step) {
      case Step::kMixed:
        step = Step::kEmptied;
        round_faults.check(slots_in_use() == 1, "owners' handles still open after closing");
        break;
      case Step::kEmptied:
        step = Step::kFull;
        round_faults.check(filled.load() == SQLR_MAX_CONNS - 1,
                           "a full table took " + std::to_string(filled.load()) + " opens");
        round_faults.check(slots_in_use() == SQLR_MAX_CONNS, "the table is not full");
        ++full_rounds;
        break;
      case Step::kFull:
        step = Step::kClosed;
        round_faults.check(slots_in_use() == 1, "handles left open after the fill");
        filled = 0;
        if (Clock::now() >= until) last_round = true;
        break;
      case Step::kClosed:
        step = Step::kMixed;
        break;
    }
  });

  std::vector<Faults> faults(kOwners + kSharers);
  std::vector<std::thread> threads;
  for (int t = 0; t < kOwners; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 1);
      Faults& f = faults[t];
      struct Held {
        int32_t handle;
        bool writable;
      };
      std::vector<Held> held;
      while (!last_round) {
        const auto phase_end = Clock::now() + kMixedPhase;
        while (Clock::now() < phase_end) {
          const int what = std::uniform_int_distribution<int>(0, 9)(rng);
          if (what == 0 && held.size() < kOwnerQuota) {
            // At most one writable handle per thread, on its own file: two
            // connections writing one file would meet each other's locks.
            bool writable = true;
            for (const Held& h : held) writable = writable && !h.writable;
            const std::string& path = writable ? own_paths_[t] : read_path_;
            const int32_t h = sqlr_open(path.c_str(), writable ? 1 : 0);
            f.check(take(h, t), "open gave " + std::to_string(h) + " within the quota");
            if (h >= 0) held.push_back({h, writable});
          } else if (what == 1 && !held.empty()) {
            const size_t i = std::uniform_int_distribution<size_t>(0, held.size() - 1)(rng);
            drop(held[i].handle);
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
          } else if (!held.empty()) {
            const Held& h = held[std::uniform_int_distribution<size_t>(0, held.size() - 1)(rng)];
            operate(h.handle, h.writable, rng, f);
          }
        }
        for (const Held& h : held) drop(h.handle);
        held.clear();
        sync.arrive_and_wait();  // -> kEmptied
        for (;;) {
          const int32_t h = sqlr_open(read_path_.c_str(), 0);
          if (h < 0) break;
          f.check(take(h, t), "handle " + std::to_string(h) + " given out twice");
          held.push_back({h, false});
          ++filled;
        }
        sync.arrive_and_wait();  // -> kFull
        if (!held.empty()) operate(held.front().handle, false, rng, f);
        for (const Held& h : held) drop(h.handle);
        held.clear();
        sync.arrive_and_wait();  // -> kClosed
        sync.arrive_and_wait();  // -> kMixed
      }
    });
  }
  for (int s = 0; s < kSharers; ++s) {
    threads.emplace_back([&, s] {
      std::mt19937 rng(1000 + s);
      while (!stop_sharers) operate(shared, true, rng, faults[kOwners + s]);
    });
  }
  for (int t = 0; t < kOwners; ++t) threads[t].join();
  stop_sharers = true;
  for (int s = 0; s < kSharers; ++s) threads[kOwners + s].join();
  drop(shared);

  long checked = 0;
  for (size_t t = 0; t < faults.size(); ++t) {
    EXPECT_EQ(faults[t].count, 0) << "thread " << t << ", first: " << faults[t].first;
    EXPECT_GT(faults[t].checked, 0) << "thread " << t << " did nothing";
    checked += faults[t].checked;
  }
  EXPECT_EQ(round_faults.count, 0) << round_faults.first;
  EXPECT_GT(full_rounds.load(), 0);
  RecordProperty("checked_results", std::to_string(checked));
  RecordProperty("full_table_rounds", std::to_string(full_rounds.load()));
  EXPECT_EQ(slots_in_use(), 0);
}

// Opening and closing only, as fast as possible: the registry must never hand
// one slot to two threads, and must come back empty.
TEST_F(ThreadsTest, OpenCloseStormNeverSharesASlot) {
  std::vector<Faults> faults(kOwners);
  std::vector<std::thread> threads;
  const auto until = Clock::now() + std::chrono::seconds(1);
  for (int t = 0; t < kOwners; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 77);
      std::vector<int32_t> held;
      while (Clock::now() < until) {
        if (held.size() < 12 && std::uniform_int_distribution<int>(0, 2)(rng) != 0) {
          const int32_t h = sqlr_open(read_path_.c_str(), 0);
          // 8 threads with up to 12 handles each want more than 64: a refusal
          // is expected here, a slot given twice is not.
          if (h >= 0) {
            faults[t].check(take(h, t), "handle " + std::to_string(h) + " given out twice");
            held.push_back(h);
          }
        } else if (!held.empty()) {
          drop(held.back());
          held.pop_back();
        }
      }
      for (int32_t h : held) drop(h);
    });
  }
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < faults.size(); ++t) {
    EXPECT_EQ(faults[t].count, 0) << "thread " << t << ", first: " << faults[t].first;
  }
  EXPECT_EQ(slots_in_use(), 0);
}

// Stale closes: threads close numbers at random while others open and close
// their own. A close may take a live handle from its owner (the host's
// mistake), but never a slot whose open is still running, so every open ends
// in a slot it owns and every connection is closed by someone: the registry
// comes back empty and the process holds the descriptors it held before.
TEST_F(ThreadsTest, StaleClosesNeverLeakAConnection) {
  const int fds_before = sqlr_test::open_descriptors();
  std::vector<std::thread> threads;
  std::atomic<bool> stop{false};
  std::atomic<long> opened{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (!stop.load()) {
        const int32_t h = sqlr_open(read_path_.c_str(), t % 2);
        if (h >= 0) {
          opened.fetch_add(1);
          sqlr_close(h);
        }
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 991);
      std::uniform_int_distribution<int32_t> number(0, 7);
      while (!stop.load()) sqlr_close(number(rng));
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop.store(true);
  for (std::thread& th : threads) th.join();
  EXPECT_GT(opened.load(), 0);
  EXPECT_EQ(slots_in_use(), 0);
  if (fds_before >= 0) {
    EXPECT_EQ(sqlr_test::open_descriptors(), fds_before) << "after " << opened.load() << " opens";
  }
}

}  // namespace
