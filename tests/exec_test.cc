// Single UPDATE and DELETE statements on handles opened for writing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

constexpr char kRejected[] = "exec rejected: only UPDATE/DELETE allowed";

class ExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("e.db");
    sqlr_test::make_db(path_,
                       "CREATE TABLE parent(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
                       "CREATE TABLE child(id INTEGER PRIMARY KEY,"
                       " parent_id INTEGER REFERENCES parent(id));"
                       "INSERT INTO parent VALUES (1, 'a'), (2, 'b'), (3, 'c');"
                       "INSERT INTO child VALUES (10, 1);");
    rw_ = std::make_unique<OpenDb>(path_, 1);
    ro_ = std::make_unique<OpenDb>(path_, 0);
    ASSERT_GE(rw_->handle(), 0);
    ASSERT_GE(ro_->handle(), 0);
  }
  int rw() const { return rw_->handle(); }
  std::string parents() {
    return text(Result(sqlr_query(rw(), "SELECT id, name FROM parent ORDER BY id", 0, -1)));
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::unique_ptr<OpenDb> rw_, ro_;
};

TEST_F(ExecTest, ReturnsChangedRowCounts) {
  struct Case {
    const char* sql;
    int32_t changed;
  };
  const Case cases[] = {
      {"UPDATE parent SET name = 'z' WHERE id > 1", 2},
      {"UPDATE parent SET name = 'z' WHERE id > 100", 0},
      {"WITH doomed AS (SELECT 3 AS id) DELETE FROM parent WHERE id IN (SELECT id FROM doomed)", 1},
      {"update parent set name = 'y';", 2},
      {"DELETE FROM child", 1},
  };
  for (const Case& c : cases) {
    sqlr_open("", 0);  // leaves a message that a success must clear
    EXPECT_EQ(sqlr_exec(rw(), c.sql), c.changed) << c.sql << ": " << last_error();
    EXPECT_EQ(last_error(), "");
  }
  EXPECT_EQ(parents(),
            R"({"columns":["id","name"],"rows":[{"id":1,"name":"y"},{"id":2,"name":"y"}],)"
            R"("offset":0,"limit":100000,"returned":2})");
}

TEST_F(ExecTest, RefusesEverythingButOneUpdateOrDeleteBeforeTheHandle) {
  for (int32_t handle : {rw(), -1, 64}) {
    for (const char* sql :
         {"INSERT INTO parent VALUES (9, 'x')", "REPLACE INTO parent VALUES (1, 'x')", "SELECT 1",
          "BEGIN", "DROP TABLE child", "UPDATE parent SET name = 'x'; DELETE FROM child",
          "EXPLAIN DELETE FROM child", "PRAGMA foreign_keys = OFF"}) {
      EXPECT_EQ(sqlr_exec(handle, sql), -1) << sql;
      EXPECT_EQ(last_error(), kRejected) << sql;
    }
    for (const char* sql : {static_cast<const char*>(nullptr), ""}) {
      EXPECT_EQ(sqlr_exec(handle, sql), -1);
      EXPECT_EQ(last_error(), "sql is required");
    }
  }
}

TEST_F(ExecTest, ReadOnlyHandleRefusesBeforeCompiling) {
  const int ro = ro_->handle();
  for (const char* sql : {"UPDATE parent SET name = 'x'", "DELETE FROM child", "UPDATE oops SET"}) {
    EXPECT_EQ(sqlr_exec(ro, sql), -1);
    EXPECT_EQ(last_error(), "database opened read-only; reopen with writable=1 for UPDATE/DELETE");
    EXPECT_EQ(g_conns[ro].op_started.load(), 0);
  }
  EXPECT_EQ(sqlr_exec(-1, "UPDATE parent SET name = 'x'"), -1);
  EXPECT_EQ(last_error(), "invalid handle");
}

TEST_F(ExecTest, EngineFailuresCarrySQLitesMessage) {
  struct Case {
    const char* sql;
    const char* message;
  };
  const Case cases[] = {
      {"UPDATE parent SET name = NULL WHERE id = 1",
       "exec failed: NOT NULL constraint failed: parent.name"},
      {"DELETE FROM parent WHERE id = 1", "exec failed: FOREIGN KEY constraint failed"},
      {"UPDATE child SET parent_id = 99", "exec failed: FOREIGN KEY constraint failed"},
      {"UPDATE parent SET id = 2 WHERE id = 1", "exec failed: UNIQUE constraint failed: parent.id"},
      {"UPDATE nowhere SET a = 1", "prepare failed: no such table: nowhere"},
      {"DELETE FROM parent WHERE", "prepare failed: incomplete input"},
  };
  const std::string before = parents();
  for (const Case& c : cases) {
    EXPECT_EQ(sqlr_exec(rw(), c.sql), -1) << c.sql;
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(g_conns[rw()].op_started.load(), 0);
  }
  EXPECT_EQ(parents(), before);
}

// RETURNING makes its changes on the first step; it is refused before that.
TEST_F(ExecTest, ReturningIsRefusedWithoutChangingAnything) {
  const std::string before = parents();
  for (const char* sql : {"UPDATE parent SET name = 'r' RETURNING id",
                          "DELETE FROM parent WHERE id = 3 RETURNING *"}) {
    EXPECT_EQ(sqlr_exec(rw(), sql), -1);
    EXPECT_EQ(last_error(), "exec failed: RETURNING is not supported");
  }
  EXPECT_EQ(parents(), before);
}

// A write lock held elsewhere fails the statement at once: no busy handler.
TEST_F(ExecTest, LockedDatabaseFailsAtOnceAndStaysUsable) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlr_exec(rw(), "UPDATE parent SET name = 'x'"), -1);
  EXPECT_EQ(last_error(), "exec failed: database is locked");
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(sqlr_exec(rw(), "UPDATE parent SET name = 'x'"), 3);
}

}  // namespace
