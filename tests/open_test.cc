// Opening and closing databases through the exported functions.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::slots_in_use;

class OpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(slots_in_use(), 0) << "an earlier test left a handle open";
    db_ = dir_.file("t.db");
    sqlr_test::make_db(db_, "CREATE TABLE t(a INTEGER); INSERT INTO t VALUES (1);");
  }
  void TearDown() override { EXPECT_EQ(slots_in_use(), 0); }

  sqlr_test::TempDir dir_;
  std::string db_;
};

TEST_F(OpenTest, HandlesAreNumberedLowestFirstAndReused) {
  int a = sqlr_open(db_.c_str(), 0);
  int b = sqlr_open(db_.c_str(), 0);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(last_error(), "");
  sqlr_close(a);
  int c = sqlr_open(db_.c_str(), 0);
  EXPECT_EQ(c, 0);
  sqlr_close(b);
  sqlr_close(c);
}

TEST_F(OpenTest, SixtyFifthOpenIsRefusedUntilOneCloses) {
  std::vector<int> handles;
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) {
    handles.push_back(sqlr_open(db_.c_str(), i % 2));
    ASSERT_EQ(handles.back(), i) << last_error();
  }
  EXPECT_EQ(sqlr_open(db_.c_str(), 0), -1);
  EXPECT_EQ(last_error(), "too many open databases (max 64)");
  sqlr_close(17);
  EXPECT_EQ(sqlr_open(db_.c_str(), 0), 17);
  EXPECT_EQ(last_error(), "");
  for (int h : handles) sqlr_close(h);
}

// A full table is the first thing an open reports, whatever the path names.
TEST_F(OpenTest, FullTableIsReportedBeforeThePathIsLookedAt) {
  std::vector<int> handles;
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) handles.push_back(sqlr_open(db_.c_str(), 0));
  ASSERT_EQ(handles.back(), SQLR_MAX_CONNS - 1) << last_error();
  for (const std::string& path : {dir_.file("missing.db"), dir_.path()}) {
    for (int writable : {0, 1}) {
      EXPECT_EQ(sqlr_open(path.c_str(), writable), -1) << path;
      EXPECT_EQ(last_error(), "too many open databases (max 64)") << path;
    }
  }
  for (int h : handles) sqlr_close(h);
}

TEST_F(OpenTest, FailedOpensLeaveNoSlotClaimed) {
  const std::string missing = dir_.file("missing.db");
  for (int i = 0; i < 3 * SQLR_MAX_CONNS; ++i) ASSERT_EQ(sqlr_open(missing.c_str(), i % 2), -1);
  EXPECT_EQ(slots_in_use(), 0);
  std::vector<int> handles;
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) handles.push_back(sqlr_open(db_.c_str(), 0));
  EXPECT_EQ(handles.back(), SQLR_MAX_CONNS - 1);
  for (int h : handles) sqlr_close(h);
}

TEST_F(OpenTest, MissingFileIsReportedAndNeverCreated) {
  const std::string missing = dir_.file("missing.db");
  for (int writable : {0, 1}) {
    EXPECT_EQ(sqlr_open(missing.c_str(), writable), -1);
    EXPECT_EQ(last_error(), "cannot open database: " + missing + " (unable to open database file)");
    EXPECT_FALSE(sqlr_test::file_exists(missing));
  }
}

// Only regular files are opened. Everything else fails at once, before
// SQLite sees it: a FIFO would block the open until a writer came, a device
// would open as an empty database.
TEST_F(OpenTest, OnlyRegularFilesOpen) {
  std::vector<std::string> others = {dir_.path()};
#if !defined(_WIN32)
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  others.push_back(fifo);
  others.push_back("/dev/null");
  others.push_back("/dev/zero");
#endif
  for (const std::string& path : others) {
    for (int writable : {0, 1}) {
      EXPECT_EQ(sqlr_open(path.c_str(), writable), -1) << path;
      EXPECT_EQ(last_error(), "cannot open database: " + path + " (not a regular file)");
    }
  }
  // A name SQLite would read specially is a missing file like any other.
  for (int writable : {0, 1}) {
    EXPECT_EQ(sqlr_open(":memory:", writable), -1);
    EXPECT_EQ(last_error(), "cannot open database: :memory: (unable to open database file)");
  }
  EXPECT_EQ(slots_in_use(), 0);
#if !defined(_WIN32)
  // A symbolic link to a database is the database.
  const std::string link = dir_.file("link.db");
  ASSERT_EQ(symlink(db_.c_str(), link.c_str()), 0);
  sqlr_test::OpenDb linked(link, 0);
  EXPECT_GE(linked.handle(), 0) << last_error();
#endif
}

TEST_F(OpenTest, PathIsRequired) {
  for (const char* path : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(sqlr_open(path, 0), -1);
    EXPECT_EQ(last_error(), "path is required");
  }
}

// An empty file is an empty database and opens. A file of other bytes fails
// the probe: compiling even "SELECT 1" makes SQLite read the file's header.
TEST_F(OpenTest, EmptyFileOpensAndNonDatabaseFileFailsTheProbe) {
  const std::string empty = dir_.file("empty.db");
  sqlr_test::write_file(empty, "");
  {
    sqlr_test::OpenDb db(empty, 0);
    EXPECT_GE(db.handle(), 0) << last_error();
  }
  for (size_t size : {10, 4096}) {
    const std::string junk = dir_.file("junk.db");
    sqlr_test::write_file(junk, std::string(size, 'J'));
    for (int writable : {0, 1}) {
      EXPECT_EQ(sqlr_open(junk.c_str(), writable), -1);
      EXPECT_EQ(last_error(), "database appears corrupt or unreadable: file is not a database");
    }
  }
  EXPECT_EQ(slots_in_use(), 0);
}

// With URIs off, "file:" is just the start of a file name: a query string is
// part of the name and never asks SQLite to create anything.
TEST_F(OpenTest, FileColonPathIsAPlainFileName) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  sqlr_test::make_db("file:plain.db", "CREATE TABLE x(a)");
  {
    sqlr_test::OpenDb db("file:plain.db", 0);
    EXPECT_GE(db.handle(), 0) << last_error();
  }
  EXPECT_EQ(sqlr_open("file:new.db?mode=rwc", 1), -1);
  EXPECT_FALSE(sqlr_test::file_exists("new.db"));
  EXPECT_FALSE(sqlr_test::file_exists("file:new.db?mode=rwc"));
  std::filesystem::current_path(cwd);
}

TEST_F(OpenTest, AnyNonZeroWritableOpensForWriting) {
  struct Case {
    int32_t writable;
    int32_t recorded;
  };
  for (Case c : {Case{0, 0}, Case{1, 1}, Case{5, 1}, Case{-1, 1}, Case{INT_MIN, 1}}) {
    sqlr_test::OpenDb db(db_, c.writable);
    ASSERT_GE(db.handle(), 0);
    RegistryLock lock;
    sqlr_conn* slot = sqlr_conn_get(db.handle());
    EXPECT_EQ(slot->writable, c.recorded) << c.writable;
    EXPECT_EQ(sqlite3_db_readonly(slot->db, "main"), c.recorded == 0 ? 1 : 0);
  }
}

// A slot claimed by an open still running belongs to that open: a close of
// its number (a stale handle, say) passes over it, and the open then fills
// the slot it claimed.
TEST_F(OpenTest, CloseIgnoresASlotWhoseOpenIsRunning) {
  int32_t claimed;
  {
    RegistryLock lock;
    claimed = sqlr_alloc_handle();
  }
  ASSERT_GE(claimed, 0);
  sqlr_close(claimed);
  EXPECT_EQ(slots_in_use(), 1);
  const int32_t next = sqlr_open(db_.c_str(), 0);
  EXPECT_NE(next, claimed);
  sqlr_close(next);
  {
    RegistryLock lock;
    sqlr_release_handle(claimed);
  }
  EXPECT_EQ(slots_in_use(), 0);
}

TEST_F(OpenTest, CloseIgnoresUnknownHandlesAndKeepsTheLastError) {
  EXPECT_EQ(sqlr_open(dir_.file("missing.db").c_str(), 0), -1);
  const std::string failure = last_error();
  int h = sqlr_open(db_.c_str(), 0);
  ASSERT_GE(h, 0);
  EXPECT_EQ(last_error(), "");
  EXPECT_EQ(sqlr_open(nullptr, 0), -1);
  for (int32_t bad : {h, h, -1, 64, INT_MIN}) {
    sqlr_close(bad);
    EXPECT_EQ(last_error(), "path is required");
  }
  (void)failure;
}

// The engine configuration every connection relies on comes with the build.
TEST_F(OpenTest, ConnectionsEnforceForeignKeysAndCannotLoadExtensions) {
  sqlr_test::OpenDb db(db_, 0);
  ASSERT_GE(db.handle(), 0);
  sqlite3* conn = g_conns[db.handle()].db;
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(conn, "PRAGMA foreign_keys", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 1);
  sqlite3_finalize(stmt);
  EXPECT_NE(sqlite3_prepare_v2(conn, "SELECT load_extension('x')", -1, &stmt, nullptr), SQLITE_OK);
  EXPECT_STREQ(sqlite3_errmsg(conn), "no such function: load_extension");
  EXPECT_EQ(sqlite3_threadsafe(), 1);
  EXPECT_TRUE(sqlite3_compileoption_used("OMIT_LOAD_EXTENSION"));
}

// A connection SQLite reports busy when closed (here a statement left
// unfinalised behind the library's back; the library itself finalises every
// statement before an operation ends) is not leaked: the handle is free at
// once, and the connection, files and memory with it, goes with the last
// statement.
TEST_F(OpenTest, CloseOfABusyConnectionLeaksNothing) {
  { sqlr_test::OpenDb warm(db_, 0); }  // the engine's one-time setup
  const int descriptors = sqlr_test::open_descriptors();
  const sqlite3_int64 memory = sqlite3_memory_used();
  int h = sqlr_open(db_.c_str(), 0);
  ASSERT_GE(h, 0) << last_error();
  sqlite3* conn = g_conns[h].db;
  sqlite3_stmt* left = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(conn, "SELECT a FROM t", -1, &left, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(left), SQLITE_ROW);  // holds the file open and read
  sqlr_close(h);
  EXPECT_EQ(slots_in_use(), 0);
  EXPECT_EQ(g_conns[h].db, nullptr);
  // The slot's number serves the next open while the old connection waits.
  sqlr_test::OpenDb next(db_, 0);
  EXPECT_EQ(next.handle(), h);
  if (descriptors >= 0) {
    EXPECT_GT(sqlr_test::open_descriptors(), descriptors + 1);
  }
  sqlite3_finalize(left);  // the last statement: the connection goes now
  sqlr_close(next.handle());
  if (descriptors >= 0) {
    EXPECT_EQ(sqlr_test::open_descriptors(), descriptors);
  }
  if (!sqlr_test::kAddressSanitizer) {
    EXPECT_LE(sqlite3_memory_used(), memory);
  }
}

}  // namespace
