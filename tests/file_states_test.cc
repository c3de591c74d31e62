// Files in the states people meet them in: a write-ahead-log database on a
// medium this process may not write (a backup disk, a copied profile, another
// user's folder), a file with an interrupted write, a file another program
// holds locked. Each opens and reads where that can be done without losing
// what the file holds, and otherwise fails with a message that says what
// stands in the way and what to do.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

#if !defined(_WIN32)
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

constexpr char kCorrupt[] = "database appears corrupt or unreadable: ";

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The rows of `sql` on a fresh handle to `path`, or the message of the open
// or the query that failed.
std::string read(const std::string& path, const char* sql, int writable = 0) {
  OpenDb db(path, writable);
  if (db.handle() < 0) return last_error();
  Result page(sqlr_query(db.handle(), sql, 0, -1));
  return page ? text(page) : last_error();
}

std::string rows(const std::string& body, int n) {
  return R"({"columns":["a"],"rows":[)" + body + R"(],"offset":0,"limit":100000,"returned":)" +
         std::to_string(n) + "}";
}

// Runs the SQL with SQLite directly on an open connection; fails the test on
// an error.
void exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
  EXPECT_EQ(rc, SQLITE_OK) << (err != nullptr ? err : "") << " in " << sql;
  sqlite3_free(err);
}

#if !defined(_WIN32)

// Runs `check` in a child process that may not write what its owner may not:
// as the unprivileged user nobody when this process is root (root writes
// every folder whatever its permissions), as this user otherwise. Returns
// what `check` returned, or "skip" when the identity cannot be changed.
std::string as_unprivileged(const std::function<std::string()>& check) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "<no pipe>";
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    std::string out;
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0)) {
      out = "skip";
    } else {
      out = check();
    }
    const ssize_t written = write(pipe_fds[1], out.data(), out.size());
    _exit(written == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "<child failed>";
  return out;
}

// A database in write-ahead-log mode in a folder of its own, made read-only
// (and everything in it readable) before each check.
class ReadOnlyMediumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.file("medium");
    fs::create_directory(folder_);
    db_ = folder_ + "/w.db";
    // A log beside the file that holds rows the file alone does not: the
    // writer keeps its log when it closes.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &writer), SQLITE_OK);
    exec(writer,
         "PRAGMA journal_mode = WAL; CREATE TABLE t(a); INSERT INTO t VALUES (1);"
         "PRAGMA wal_checkpoint(TRUNCATE);");
    sqlite3_db_config(writer, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    exec(writer, "INSERT INTO t VALUES (2);");
    sqlite3_close(writer);
    ASSERT_TRUE(sqlr_test::file_exists(db_ + "-wal"));
  }
  void TearDown() override {
    chmod(folder_.c_str(), 0755);  // so that the folder can be removed
    EXPECT_EQ(sqlr_test::slots_in_use(), 0);
  }

  // Makes the folder and its files readable by anyone and writable by no one.
  void seal() {
    for (const auto& entry : fs::directory_iterator(folder_)) chmod(entry.path().c_str(), 0444);
    ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
    chmod(dir_.path().c_str(), 0755);
  }

  std::string outcome(const std::function<std::string()>& check) {
    const std::string got = as_unprivileged(check);
    if (got == "skip") ADD_FAILURE() << "cannot run as an unprivileged user";
    return got;
  }

  sqlr_test::TempDir dir_;
  std::string folder_;
  std::string db_;
};

// With no -wal and -shm beside it, the file alone holds every committed row:
// a read-only handle reads it, making no side file and changing no byte. A
// writable one cannot make its log there and says so.
TEST_F(ReadOnlyMediumTest, LogFoldedInReadOnlyOpenReadsTheFileAlone) {
  {
    sqlite3* folder = nullptr;  // fold the log into the file and remove it
    ASSERT_EQ(sqlite3_open(db_.c_str(), &folder), SQLITE_OK);
    exec(folder, "SELECT * FROM t");
    sqlite3_close(folder);
  }
  ASSERT_FALSE(sqlr_test::file_exists(db_ + "-wal"));
  ASSERT_FALSE(sqlr_test::file_exists(db_ + "-shm"));
  seal();
  const std::string before = file_bytes(db_);
  EXPECT_EQ(outcome([&] {
              OpenDb db(db_, 0);
              if (db.handle() < 0) return last_error();
              std::string got = text(Result(sqlr_tables(db.handle()))) + " ";
              got += text(Result(sqlr_query(db.handle(), "SELECT a FROM t ORDER BY a", 0, -1)));
              return got;
            }),
            R"(["t"] )" + rows(R"({"a":1},{"a":2})", 2));
  EXPECT_EQ(outcome([&] { return read(db_, "SELECT a FROM t", 1); }),
            std::string(kCorrupt) +
                "attempt to write a readonly database: the file is in write-ahead-log mode and "
                "its folder may not be written, so its -wal and -shm files cannot be made; open "
                "it read-only, or copy it to a folder you may write");
  EXPECT_FALSE(sqlr_test::file_exists(db_ + "-wal"));
  EXPECT_FALSE(sqlr_test::file_exists(db_ + "-shm"));
  EXPECT_EQ(file_bytes(db_), before);
}

// A -wal whose index (-shm) cannot be made: the file alone would lack the
// log's rows, so it is not read; the message says what to do.
TEST_F(ReadOnlyMediumTest, LogWithoutIndexFailsWithWhatToDo) {
  fs::remove(db_ + "-shm");
  seal();
  const std::string expected =
      std::string(kCorrupt) +
      "unable to open database file: the file's write-ahead log (-wal) holds changes that SQLite "
      "reads only through a -shm file, which cannot be made in a folder this process may not "
      "write; copy the file with its -wal to a folder you may write and open the copy";
  for (int writable : {0, 1}) {
    SCOPED_TRACE(writable);
    EXPECT_EQ(outcome([&] { return read(db_, "SELECT a FROM t", writable); }), expected);
  }
  EXPECT_FALSE(sqlr_test::file_exists(db_ + "-shm"));
}

// With the -shm there too, SQLite reads the log through it without writing
// anything: every committed row.
TEST_F(ReadOnlyMediumTest, LogWithIndexReadsEveryCommittedRow) {
  ASSERT_TRUE(sqlr_test::file_exists(db_ + "-shm"));
  seal();
  EXPECT_EQ(outcome([&] { return read(db_, "SELECT a FROM t ORDER BY a"); }),
            rows(R"({"a":1},{"a":2})", 2));
}

#else

TEST(ReadOnlyMediumTest, NeedsPosixPermissions) { GTEST_SKIP(); }

#endif

// A file copied while a transaction was writing it, with the -journal that
// can undo it: SQLite calls the journal hot.
class InterruptedWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.file("h.db");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.file("source.db").c_str(), &writer), SQLITE_OK);
    exec(writer, "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
    // A cache of one page spills the transaction into the file itself.
    exec(writer,
         "PRAGMA cache_size = 1; BEGIN; UPDATE t SET a = 2;"
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50)"
         " INSERT INTO t SELECT randomblob(3000) FROM n;");
    fs::copy_file(dir_.file("source.db"), db_);
    fs::copy_file(dir_.file("source.db-journal"), db_ + "-journal");
    exec(writer, "ROLLBACK");
    sqlite3_close(writer);
  }
  void TearDown() override { EXPECT_EQ(sqlr_test::slots_in_use(), 0); }

  sqlr_test::TempDir dir_;
  std::string db_;
};

TEST_F(InterruptedWriteTest, ReadOnlyOpenSaysSoAndWritableOpenRollsBack) {
  const std::string before = file_bytes(db_);
  const std::string journal = file_bytes(db_ + "-journal");
  EXPECT_EQ(read(db_, "SELECT a FROM t"),
            std::string(kCorrupt) +
                "attempt to write a readonly database: the file has an interrupted write (its "
                "-journal holds a transaction that never finished), which only a writable open "
                "rolls back; open it once for writing, or copy the file and its -journal to a "
                "folder you may write and open the copy for writing");
  EXPECT_EQ(file_bytes(db_), before);  // a read-only open changes nothing
  EXPECT_EQ(file_bytes(db_ + "-journal"), journal);

  // SQLite's recovery: the file is as before the interrupted transaction.
  EXPECT_EQ(read(db_, "SELECT a FROM t", 1), rows(R"({"a":1})", 1));
  EXPECT_FALSE(sqlr_test::file_exists(db_ + "-journal"));
  EXPECT_EQ(read(db_, "SELECT integrity_check AS a FROM pragma_integrity_check"),
            rows(R"({"a":"ok"})", 1));
  EXPECT_EQ(read(db_, "SELECT a FROM t"), rows(R"({"a":1})", 1));
}

// A file that another program holds locked is not damaged, and the message
// says so and what the user may do; once the lock is gone it opens.
TEST(LockedFileTest, OpenSaysLockedNotCorrupt) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("locked.db");
  sqlr_test::make_db(path, "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  exec(other, "BEGIN EXCLUSIVE; INSERT INTO t VALUES (2);");
  for (int writable : {0, 1}) {
    SCOPED_TRACE(writable);
    EXPECT_EQ(sqlr_open(path.c_str(), writable), -1);
    EXPECT_EQ(last_error(), std::string(kCorrupt) +
                                "database is locked: another program holds the file locked (it "
                                "is not damaged); close that program, or read a copy of the file");
  }
  exec(other, "ROLLBACK");
  sqlite3_close(other);
  EXPECT_EQ(read(path, "SELECT a FROM t"), rows(R"({"a":1})", 1));
  EXPECT_EQ(sqlr_test::slots_in_use(), 0);
}

}  // namespace
