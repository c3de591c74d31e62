// Allocation failures. Each operation runs again and again with its 1st, 2nd,
// 3rd ... allocation made to fail (and, in a second pass, with every
// allocation from that one on failing), until a run no longer reaches the
// failing one. Every run must either fail with a message of its own (null or -1
// and a non-empty last-error text) or succeed with exactly the output of the
// run without failures, and leave nothing allocated behind.
//
// SQLite's allocations come through the methods installed here with
// SQLITE_CONFIG_MALLOC before SQLite first runs (lookaside off, so that even its
// smallest allocations can fail). The library's own allocations and yyjson's
// reach malloc, calloc, realloc and free, which this program is linked to
// wrap (-Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
void __real_free(void* p);
}

namespace {

// ---- The fault injector.

enum class Mode { kOnce, kFromThenOn };

struct Injector {
  bool armed = false;
  Mode mode = Mode::kOnce;
  long fail_at = 0;  // 1-based position of the first allocation to fail
  long seen = 0;     // allocations asked for since arming
  // Blocks from the wrapped malloc/calloc/realloc made while armed and not yet freed:
  // the library's and yyjson's, not SQLite's.
  std::unordered_set<void*> live;
  long sqlite_blocks = 0;  // SQLite's blocks outstanding, armed or not
  // The largest single request since the last clear, of the library and
  // yyjson (the wrapped heap) and of SQLite, armed or not.
  size_t largest_heap = 0;
  size_t largest_sqlite = 0;

  bool refuse() {
    if (!armed) return false;
    ++seen;
    return mode == Mode::kOnce ? seen == fail_at : seen >= fail_at;
  }
};
Injector g_inject;

// SQLite's allocator: a block with its size in front, as SQLite's own default
// keeps it, over the unwrapped C heap.
void* sqlite_malloc(int n) {
  if (static_cast<size_t>(n) > g_inject.largest_sqlite) g_inject.largest_sqlite = n;
  if (g_inject.refuse()) return nullptr;
  auto* p = static_cast<int64_t*>(__real_malloc(static_cast<size_t>(n) + 8));
  if (p == nullptr) return nullptr;
  *p = n;
  ++g_inject.sqlite_blocks;
  return p + 1;
}
void sqlite_free(void* p) {
  if (p == nullptr) return;
  --g_inject.sqlite_blocks;
  __real_free(static_cast<int64_t*>(p) - 1);
}
void* sqlite_realloc(void* p, int n) {
  if (p == nullptr) return sqlite_malloc(n);
  if (static_cast<size_t>(n) > g_inject.largest_sqlite) g_inject.largest_sqlite = n;
  if (g_inject.refuse()) return nullptr;
  auto* q = static_cast<int64_t*>(
      __real_realloc(static_cast<int64_t*>(p) - 1, static_cast<size_t>(n) + 8));
  if (q == nullptr) return nullptr;
  *q = n;
  return q + 1;
}
int sqlite_size(void* p) {
  return p == nullptr ? 0 : static_cast<int>(static_cast<int64_t*>(p)[-1]);
}
int sqlite_roundup(int n) { return (n + 7) & ~7; }
int sqlite_init(void*) { return SQLITE_OK; }
void sqlite_shutdown(void*) {}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) {
  if (n > g_inject.largest_heap) g_inject.largest_heap = n;
  if (g_inject.refuse()) return nullptr;
  void* p = __real_malloc(n);
  if (p != nullptr && g_inject.armed) g_inject.live.insert(p);
  return p;
}
void* __wrap_calloc(size_t n, size_t size) {
  if (n * size > g_inject.largest_heap) g_inject.largest_heap = n * size;
  if (g_inject.refuse()) return nullptr;
  void* p = __real_calloc(n, size);
  if (p != nullptr && g_inject.armed) g_inject.live.insert(p);
  return p;
}
void* __wrap_realloc(void* p, size_t n) {
  if (n > g_inject.largest_heap) g_inject.largest_heap = n;
  if (g_inject.refuse()) return nullptr;  // the old block stays as it was
  void* q = __real_realloc(p, n);
  if (q != nullptr) {
    g_inject.live.erase(p);
    if (g_inject.armed) g_inject.live.insert(q);
  }
  return q;
}
void __wrap_free(void* p) {
  g_inject.live.erase(p);
  __real_free(p);
}
}

namespace {

using sqlr_test::last_error;
using sqlr_test::slots_in_use;

// What one run of an operation gave: its output, or its failure.
struct Outcome {
  bool ok = false;
  std::string output;      // the result text, a handle's answers, or a count
  std::string message;     // the last-error text after a failure
  void* result = nullptr;  // the result string, still owned by the run
};

// Prefixes of the messages an operation may fail with when memory runs out.
using Messages = std::vector<std::string>;

// What `setup` gives for an operation that makes its own handle (the open).
constexpr int32_t kNoHandle = -2;

struct Tally {
  long points = 0;                       // allocations in a run without failures
  long failed = 0;                       // runs that failed with their message
  long absorbed = 0;                     // runs that met a failure and still gave the full output
  std::map<std::string, long> messages;  // failures by message, up to its colon

  std::string summary() const {
    std::string s;
    for (const auto& [m, n] : messages) s += (s.empty() ? "" : "; ") + m + " x" + std::to_string(n);
    return s;
  }
};

class OomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(slots_in_use(), 0) << "an earlier test left a handle open";
    path_ = dir_.file("oom.db");
    sqlr_test::make_db(
        path_,
        "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT NOT NULL DEFAULT 'unnamed',"
        " data BLOB, price REAL CHECK (price >= 0), note TEXT);"
        "INSERT INTO items VALUES (1, 'Ann', x'0001', 2.5, NULL),"
        " (2, 'Bo \"quoted\"', x'', 0.125, 'line\nbreak'), (3, 'Cy', NULL, NULL, 'x'),"
        " (4, 'Dee', randomblob(300), 1e100, printf('%.500c', 'n')), (5, 'Eve', x'ff', -0.0, '');"
        "CREATE VIEW named AS SELECT id, name FROM items WHERE name <> '';"
        "CREATE TABLE tags(item INTEGER REFERENCES items(id) ON DELETE CASCADE, tag TEXT);"
        "INSERT INTO tags VALUES (1, 'a'), (2, 'b'), (4, 'c');");
    pristine_ = dir_.file("pristine.db");
    std::filesystem::copy_file(path_, pristine_);
  }
  void TearDown() override {
    EXPECT_EQ(slots_in_use(), 0);
    // Every connection is closed: SQLite holds nothing.
    EXPECT_EQ(g_inject.sqlite_blocks, 0) << "SQLite blocks left behind";
  }

  // Runs `op` once with allocation `fail_at` (and, in kFromThenOn, every later
  // one) refused; `seen` receives the number of allocations it asked for.
  Outcome run(const std::function<Outcome()>& op, Mode mode, long fail_at, long* seen) {
    g_inject.live.clear();
    g_inject.mode = mode;
    g_inject.fail_at = fail_at;
    g_inject.seen = 0;
    g_inject.armed = true;
    Outcome out = op();
    g_inject.armed = false;
    *seen = g_inject.seen;
    return out;
  }

  // The whole walk over the allocations of one operation, in both modes.
  // `setup` runs before each run with nothing refused and gives the handle
  // (or kNoHandle); `op` runs the operation on it. `after`, when given, reads
  // what a run left in the database through a handle, or with kNoHandle what
  // was there before.
  void walk(const char* name, const std::function<int32_t()>& setup,
            const std::function<Outcome(int32_t)>& op, const Messages& messages,
            const std::function<std::string(int32_t)>& after = nullptr) {
    // The run without failures: the output every successful run must match.
    const int32_t h0 = setup();
    ASSERT_TRUE(h0 >= 0 || h0 == kNoHandle) << last_error();
    long total = 0;
    Outcome clean = run([&] { return op(h0); }, Mode::kOnce, 0, &total);
    ASSERT_TRUE(clean.ok) << name << ": " << clean.message;
    const std::string clean_after = after ? after(h0) : "";
    const std::string before = after ? after(kNoHandle) : "";
    sqlr_free_string(static_cast<char*>(clean.result));
    if (h0 >= 0) sqlr_close(h0);
    ASSERT_GT(total, 0) << name << " allocates nothing";

    for (Mode mode : {Mode::kOnce, Mode::kFromThenOn}) {
      Tally tally;
      for (long n = 1;; ++n) {
        SCOPED_TRACE(std::string(name) +
                     (mode == Mode::kOnce ? ", only allocation " : ", allocations from ") +
                     std::to_string(n));
        const int32_t h = setup();
        ASSERT_TRUE(h >= 0 || h == kNoHandle) << last_error();
        long seen = 0;
        Outcome out = run([&] { return op(h); }, mode, n, &seen);
        const bool met = seen >= n;
        if (out.ok) {
          EXPECT_EQ(out.output, clean.output);
          EXPECT_EQ(last_error(), "");
          // Only the result string is left of the library's allocations.
          EXPECT_EQ(g_inject.live.size(), out.result != nullptr ? 1u : 0u);
          if (after) {
            EXPECT_EQ(after(h), clean_after);
          }
          if (met) ++tally.absorbed;
        } else {
          EXPECT_TRUE(met) << "failed without a refused allocation: " << out.message;
          EXPECT_FALSE(out.message.empty());
          bool known = false;
          for (const std::string& m : messages) known = known || out.message.rfind(m, 0) == 0;
          EXPECT_TRUE(known) << "unexpected message: " << out.message;
          EXPECT_TRUE(g_inject.live.empty()) << g_inject.live.size() << " blocks left behind";
          if (after) {
            EXPECT_EQ(after(h), before);
          }
          ++tally.failed;
          ++tally.messages[out.message.substr(0, out.message.find(':'))];
        }
        sqlr_free_string(static_cast<char*>(out.result));
        if (h >= 0) sqlr_close(h);
        if (!met) {
          tally.points = n - 1;
          break;
        }
        if (HasFailure()) return;  // one broken point is enough to read
      }
      const char* how = mode == Mode::kOnce ? "once" : "from then on";
      std::printf(
          "[   oom    ] %s, %s: %ld allocation points, %ld runs failed (%s), %ld absorbed\n", name,
          how, tally.points, tally.failed, tally.summary().c_str(), tally.absorbed);
      RecordProperty(std::string(name) + " " + how + " points", std::to_string(tally.points));
      EXPECT_EQ(tally.points, total) << name;
    }
  }

  // A fresh handle on the fixture, opened with nothing refused: every run
  // starts from a connection that has not read the catalogue yet.
  int32_t fresh(int writable) {
    const int32_t h = sqlr_open(path_.c_str(), writable);
    EXPECT_GE(h, 0) << last_error();
    return h;
  }

  sqlr_test::TempDir dir_;
  std::string path_, pristine_;
};

Outcome text_outcome(char* result) {
  Outcome out;
  out.ok = result != nullptr;
  out.result = result;
  if (result != nullptr)
    out.output = result;
  else
    out.message = last_error();
  return out;
}

const Messages kJsonMessages = {"failed to serialize JSON", "null JSON document"};

TEST_F(OomTest, Open) {
  // The handle's answer to a table list, with nothing refused, shows that a
  // successful open gave a working connection.
  walk(
      "open", [] { return kNoHandle; },
      [&](int32_t) {
        Outcome out;
        const int32_t h = sqlr_open(path_.c_str(), 1);
        out.ok = h >= 0;
        if (!out.ok) {
          out.message = last_error();
          EXPECT_EQ(h, -1);
          return out;
        }
        g_inject.armed = false;  // the check of the handle is no part of the open
        sqlr_test::Result names(sqlr_tables(h));
        out.output = sqlr_test::text(names);
        sqlr_close(h);
        g_inject.armed = true;
        return out;
      },
      {"cannot open database: ", "database appears corrupt or unreadable: "});
}

TEST_F(OomTest, Tables) {
  Messages m = kJsonMessages;
  m.insert(m.end(), {"tables: ", "tables step failed: "});
  walk(
      "tables", [&] { return fresh(0); }, [](int32_t h) { return text_outcome(sqlr_tables(h)); },
      m);
}

TEST_F(OomTest, Schema) {
  Messages m = kJsonMessages;
  // The catalogue lookup reads a failure as an answer of "no such table".
  m.insert(m.end(), {"table or view not found: items", "schema: ", "schema step failed: "});
  walk(
      "schema", [&] { return fresh(0); },
      [](int32_t h) { return text_outcome(sqlr_schema(h, "items")); }, m);
}

TEST_F(OomTest, Query) {
  Messages m = kJsonMessages;
  m.insert(m.end(), {"prepare failed: ", "query failed: ", "failed to build JSON row"});
  // Every storage class, a multi-row page after an offset, and a join.
  walk(
      "query", [&] { return fresh(0); },
      [](int32_t h) {
        return text_outcome(sqlr_query(
            h,
            "SELECT i.id, i.name, i.data, i.price, i.note, group_concat(t.tag) AS tags"
            " FROM items i LEFT JOIN tags t ON t.item = i.id GROUP BY i.id ORDER BY i.id",
            1, 3));
      },
      m);
}

// Values long enough that the writer's request for a row passes its scratch
// block and goes to the heap, escaped texts and BLOBs, over several rows.
TEST_F(OomTest, QueryOfLongValues) {
  Messages m = kJsonMessages;
  m.insert(m.end(), {"prepare failed: ", "query failed: ", "failed to build JSON row"});
  walk(
      "query of long values", [&] { return fresh(0); },
      [](int32_t h) {
        return text_outcome(
            sqlr_query(h,
                       "SELECT id, printf('%.20000c', 'x') || char(1, 10, 34, 92) AS long_text,"
                       " zeroblob(30000) AS long_blob, replace(note, 'n', char(1)) AS escaped"
                       " FROM items ORDER BY id",
                       0, 3));
      },
      m);
}

// A value whose text cannot fit the page is refused before anything of its
// size is asked for: the library sizes a zero BLOB without expanding it and
// counts an escaped text before writing it. Where SQLite computes the value
// itself, it asks for the value's memory (a constant zero BLOB is expanded
// when SQLite copies it into the result row); where it does not, nobody does.
TEST_F(OomTest, OverCapValuesAreRefusedBeforeTheirMemoryIsAskedFor) {
  struct Case {
    const char* sql;
    bool sqlite_builds_it;
  };
  constexpr size_t kMB = 1 << 20;
  const Case cases[] = {
      {"SELECT zeroblob(n) AS z FROM (SELECT 1000000000 AS n)", false},
      {"SELECT 1 AS a, zeroblob(n) AS z FROM (SELECT 80000000 AS n)", false},  // 107 MB Base64
      {"SELECT zeroblob(700000000) AS z", true},  // 933 MB Base64
      {"SELECT replace(printf('%.20000000c', 'x'), 'x', char(1)) AS t", true},  // 120 MB
      {"SELECT printf('%.60000000c', 'x') AS a, printf('%.50000000c', 'x') AS b", true},
  };
  const int32_t h = fresh(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    g_inject.largest_heap = 0;
    g_inject.largest_sqlite = 0;
    sqlr_test::Result r(sqlr_query(h, c.sql, 0, -1));
    EXPECT_EQ(sqlr_test::text(r), "<null>");
    EXPECT_EQ(last_error(), "JSON result exceeds 100MB limit");
    EXPECT_LT(g_inject.largest_heap, kMB);
    if (!c.sqlite_builds_it) {
      EXPECT_LT(g_inject.largest_sqlite, kMB);
    }
  }
  sqlr_close(h);
}

TEST_F(OomTest, Exec) {
  // Each run starts from the pristine file; after it, the table must hold
  // exactly what the run without failures left, or what was there before.
  auto setup = [&] {
    std::filesystem::copy_file(pristine_, path_, std::filesystem::copy_options::overwrite_existing);
    return fresh(1);
  };
  auto contents = [&](int32_t h) {
    const int32_t handle = h != kNoHandle ? h : sqlr_open(pristine_.c_str(), 0);
    sqlr_test::Result r(sqlr_query(handle, "SELECT * FROM items ORDER BY id", 0, -1));
    sqlr_test::Result t(sqlr_query(handle, "SELECT * FROM tags ORDER BY rowid", 0, -1));
    if (h == kNoHandle) sqlr_close(handle);
    return sqlr_test::text(r) + sqlr_test::text(t);
  };
  walk(
      "exec", setup,
      [](int32_t h) {
        Outcome out;
        const int32_t changed = sqlr_exec(h, "DELETE FROM items WHERE id % 2 = 0");
        out.ok = changed >= 0;
        if (out.ok)
          out.output = std::to_string(changed);
        else
          out.message = last_error();
        return out;
      },
      {"prepare failed: ", "exec failed: "}, contents);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else touches SQLite: its allocator and no lookaside.
  static const sqlite3_mem_methods methods = {sqlite_malloc,   sqlite_free,    sqlite_realloc,
                                              sqlite_size,     sqlite_roundup, sqlite_init,
                                              sqlite_shutdown, nullptr};
  if (sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) != SQLITE_OK ||
      sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0) != SQLITE_OK) {
    std::fprintf(stderr, "cannot replace SQLite's allocator\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
