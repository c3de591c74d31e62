// The deadline handler and the stamp that operations put on their slot.
#include "kestrova_sqlr/deadline.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "kestrova_sqlr/platform.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

TEST(ProgressHandler, InterruptsOnlyAStampThatIsThirtySecondsOld) {
  EXPECT_EQ(sqlr_progress_cb(nullptr), 1);
  const int64_t now = platform::now_seconds();
  struct Case {
    int64_t stamp;
    int expected;
  };
  const Case cases[] = {
      {0, 0},        {-1, 0},           {now, 0},      {now - 29, 0}, {now - 30, 1},
      {now - 31, 1}, {now - 100000, 1}, {now + 60, 0}, {1, 1},  // a stamp from 1970 is long past
  };
  sqlr_conn slot{};
  for (const Case& c : cases) {
    slot.op_started = c.stamp;
    EXPECT_EQ(sqlr_progress_cb(&slot), c.expected) << "stamp " << c.stamp << " now " << now;
  }
}

TEST(OpStamp, StampsNowAndClearsOnceOnDestructionOrClear) {
  sqlr_conn slot{};
  {
    OpStamp stamp(&slot);
    EXPECT_GE(slot.op_started.load(), platform::now_seconds() - 1);
    stamp.clear();
    EXPECT_EQ(slot.op_started.load(), 0);
    slot.op_started = 7;  // a later operation's stamp is not touched again
  }
  EXPECT_EQ(slot.op_started.load(), 7);
  { OpStamp stamp(&slot); }
  EXPECT_EQ(slot.op_started.load(), 0);
}

// The handler installed by sqlr_open runs inside statements on the connection:
// it lets an unstamped statement run however long, and interrupts one whose
// stamp is past the deadline.
TEST(ProgressHandler, IsInstalledOnEveryConnection) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("t.db");
  sqlr_test::make_db(path, "CREATE TABLE t(a)");
  sqlr_test::OpenDb db(path, 0);
  ASSERT_GE(db.handle(), 0);
  sqlr_conn* slot = &g_conns[db.handle()];
  const char* slow =
      "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 200000) "
      "SELECT count(*) FROM c";

  auto run = [&]() {
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(slot->db, slow, -1, &stmt, nullptr), SQLITE_OK);
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    return rc;
  };
  slot->op_started = 0;
  EXPECT_EQ(run(), SQLITE_ROW);
  slot->op_started = platform::now_seconds() - SQLR_OP_TIMEOUT_SEC;
  EXPECT_EQ(run(), SQLITE_INTERRUPT);
  slot->op_started = 0;
  EXPECT_EQ(run(), SQLITE_ROW);
}

}  // namespace
