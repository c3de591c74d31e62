// The bound on temporary data: a sort, DISTINCT or GROUP BY too large for
// memory spills to SQLite's temporary files, which hold at most 256 MiB of a
// handle's data on disk. Within the bound the statement answers; past it, it
// fails with a message that names the bound, and the handle stays usable.
#include <gtest/gtest.h>

#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/registry.h"
#include "test_util.h"

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

// `rows` rows of 200 characters each, in no order: about 200 * rows bytes
// for SQLite to sort.
std::string rows_of(int rows, const char* tail) {
  return "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < " +
         std::to_string(rows) + ") " + tail;
}

struct Case {
  const char* what;
  const char* tail;  // the statement over c
};

const Case kSpilling[] = {
    {"ORDER BY", "SELECT hex(randomblob(100)) AS x FROM c ORDER BY x"},
    // In order: a DISTINCT's index of keys in random order, read through a
    // small page cache, takes longer than the deadline to reach the bound.
    {"DISTINCT", "SELECT DISTINCT printf('%0200d', i) AS x FROM c"},
    {"GROUP BY", "SELECT hex(randomblob(100)) AS x, count(*) AS n FROM c GROUP BY x"},
};

class TempDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("t.db");
    sqlr_test::make_db(path_, "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
  }
  sqlr_test::TempDir dir_;
  std::string path_;
};

// About 20 MB, far beyond SQLite's page cache: written to temporary files,
// read back sorted.
TEST_F(TempDataTest, SpillWithinTheBoundAnswers) {
  OpenDb db(path_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  for (const Case& c : kSpilling) {
    SCOPED_TRACE(c.what);
    const std::string sql = rows_of(100000, c.tail);
    Result page(sqlr_query(db.handle(), sql.c_str(), 99999, 1));
    EXPECT_NE(text(page).find(R"("returned":1})"), std::string::npos) << text(page);
  }
}

// About 320 MB: refused once the files would hold more than the bound, with
// the bound's message; nothing stays charged to the handle, which answers at
// once afterwards.
TEST_F(TempDataTest, SpillPastTheBoundFailsAndTheHandleStaysUsable) {
  for (int writable : {0, 1}) {
    OpenDb db(path_, writable);
    ASSERT_GE(db.handle(), 0) << last_error();
    for (const Case& c : kSpilling) {
      SCOPED_TRACE(std::string(c.what) + (writable ? " writable" : " read-only"));
      const std::string sql = rows_of(1600000, c.tail);
      // The last row: a DISTINCT gives its first ones before it has seen all.
      EXPECT_EQ(sqlr_query(db.handle(), sql.c_str(), 1599999, 1), nullptr);
      EXPECT_EQ(last_error(),
                "query failed: the statement needs more than 256 MiB of temporary data on disk "
                "(sorting, grouping, DISTINCT); narrow it with WHERE, fewer or shorter columns, "
                "or an ORDER BY an index serves");
      EXPECT_EQ(kestrova::sqlr::g_conns[db.handle()].temp.held.load(), 0);
      Result page(sqlr_query(db.handle(), "SELECT a FROM t", 0, -1));
      EXPECT_NE(page, nullptr) << last_error();
    }
    if (!writable) break;  // one writable handle is enough to show it too
  }
}

}  // namespace
