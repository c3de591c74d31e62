// Whatever lies at a path SQLite opens beside the database (its -journal,
// -wal and -shm files), something that is not a regular file never holds an
// operation: it fails at once with a message, before the open or after it,
// and the handle answers again once the thing is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using sqlr_test::last_error;
using sqlr_test::Result;
using sqlr_test::text;

#if !defined(_WIN32)

constexpr char kCount[] =
    R"({"columns":["n"],"rows":[{"n":1}],"offset":0,"limit":100000,"returned":1})";
// Far beyond "at once", far below a hang.
constexpr auto kBound = std::chrono::seconds(10);

struct Case {
  const char* suffix;
  bool wal;  // the database is in WAL mode
};

class SideFilesTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    db_ = dir_.file("d.db");
    sqlr_test::make_db(db_, std::string(GetParam().wal ? "PRAGMA journal_mode = WAL;" : "") +
                                "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
    fifo_ = db_ + GetParam().suffix;
    unlink(fifo_.c_str());  // a WAL database leaves none behind once closed
  }
  void TearDown() override { EXPECT_EQ(sqlr_test::slots_in_use(), 0); }

  void make_fifo() { ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0); }

  // Runs `call` and returns its outcome ("ok" or the message); a call that is
  // still blocked after the bound fails the test and is let go by opening the
  // FIFO's other end.
  std::string within_bound(const std::function<std::string()>& call) {
    auto running = std::async(std::launch::async, call);
    if (running.wait_for(kBound) == std::future_status::ready) return running.get();
    ADD_FAILURE() << "blocked on " << fifo_;
    const int fd = open(fifo_.c_str(), O_RDWR | O_NONBLOCK);
    std::string got = running.get();
    if (fd >= 0) close(fd);
    return got;
  }

  sqlr_test::TempDir dir_;
  std::string db_;
  std::string fifo_;
};

std::string query(int32_t h) {
  Result r(sqlr_query(h, "SELECT count(*) AS n FROM t", 0, -1));
  return r ? (text(r) == kCount ? "ok" : text(r)) : last_error();
}

// SQLite cannot open the thing; a read-only connection that takes it for a
// journal left behind by a crash says it cannot roll it back.
bool refused(const std::string& got, const std::string& prefix) {
  return got == prefix + "unable to open database file" ||
         got == prefix + "attempt to write a readonly database";
}

// Present before the open: the open or the first read fails at once.
TEST_P(SideFilesTest, PresentBeforeTheOpen) {
  make_fifo();
  for (int writable : {0, 1}) {
    SCOPED_TRACE(writable);
    int32_t h = -1;
    const std::string got = within_bound([&] {
      h = sqlr_open(db_.c_str(), writable);
      return h < 0 ? last_error() : query(h);
    });
    EXPECT_TRUE(refused(got, "database appears corrupt or unreadable: ")) << got;
    if (h >= 0) sqlr_close(h);
  }
  // The database itself is untouched: without the FIFO it reads as before.
  ASSERT_EQ(unlink(fifo_.c_str()), 0);
  sqlr_test::OpenDb db(db_, 0);
  ASSERT_GE(db.handle(), 0) << last_error();
  EXPECT_EQ(query(db.handle()), "ok");
}

// Appearing after the open: the next operation fails at once, and the handle
// answers again once it is gone.
// (A WAL database keeps its side files open while it is in use.)
class SideFilesAfterOpenTest : public SideFilesTest {};

TEST_P(SideFilesAfterOpenTest, AppearingAfterTheOpen) {
  for (int writable : {0, 1}) {
    SCOPED_TRACE(writable);
    sqlr_test::OpenDb db(db_, writable);
    ASSERT_GE(db.handle(), 0) << last_error();
    ASSERT_EQ(query(db.handle()), "ok");
    make_fifo();
    const std::string got = within_bound([&] { return query(db.handle()); });
    EXPECT_TRUE(refused(got, "query failed: ")) << got;
    ASSERT_EQ(unlink(fifo_.c_str()), 0);
    EXPECT_EQ(query(db.handle()), "ok");
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.wal ? "Wal" : "Rollback") + (info.param.suffix + 1);
}

INSTANTIATE_TEST_SUITE_P(Fifo, SideFilesTest,
                         ::testing::Values(Case{"-journal", false}, Case{"-wal", false},
                                           Case{"-wal", true}, Case{"-shm", true}),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Fifo, SideFilesAfterOpenTest,
                         ::testing::Values(Case{"-journal", false}, Case{"-wal", false}),
                         case_name);

#else

// Named pipes live in their own namespace on Windows, never beside a file.
TEST(SideFilesTest, NotApplicableOnWindows) { GTEST_SKIP(); }

#endif

}  // namespace
