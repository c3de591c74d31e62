// Databases as applications make them, written by SQLite's shell built beside
// the library (tests/testdata/real_world.sql): full-text indexes (FTS5 kept in
// step by triggers, FTS4, FTS3), an R*Tree, search views, math functions,
// dbstat, names such as `order` and `$t`, STRICT, WITHOUT ROWID and generated
// columns. Reads give their rows and never change the file, on read-only and
// writable handles alike; UPDATE and DELETE keep every index in step, as
// SQLite's own checks confirm afterwards; SQLite's own tables and the shadow
// tables of the virtual tables are changed by no statement.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

constexpr char kOwnTableRejected[] =
    "exec rejected: SQLite's own tables (sqlite_*) cannot be changed";

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) { return file_bytes(path); }

// Runs `sql` on the database at `path` as SQLite's own shell does and returns
// what it prints (one line per row, columns joined by '|'), with anything it
// reports on standard error. Where the shell is not built (Windows), SQLite
// in this process runs it the same way.
std::string sqlite_shell(const sqlr_test::TempDir& dir, const std::string& path,
                         const std::string& sql) {
#ifdef SQLR_SQLITE_SHELL
  const std::string script = dir.file("script.sql");
  sqlr_test::write_file(script, sql);
  const std::string command =
      std::string("'") + SQLR_SQLITE_SHELL + "' -batch '" + path + "' '.read " + script + "' 2>&1";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<cannot run the shell>";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = pclose(pipe);
  if (status != 0) out += "<exit " + std::to_string(status) + ">";
  return out;
#else
  (void)dir;
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "<cannot open>";
  }
  char* err = nullptr;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* arg, int n, char** values, char**) {
        auto* o = static_cast<std::string*>(arg);
        for (int i = 0; i < n; ++i)
          *o += (i > 0 ? "|" : "") + std::string(values[i] ? values[i] : "");
        *o += "\n";
        return 0;
      },
      &out, &err);
  if (err != nullptr) out += std::string("Error: ") + err + "\n";
  sqlite3_free(err);
  sqlite3_close(db);
  return out;
#endif
}

// Writes the fixture afresh at `path`, as the shell makes it.
void make_fixture(const sqlr_test::TempDir& dir, const std::string& path) {
  const std::string sql = read_text(SQLR_REAL_WORLD_SQL);
  ASSERT_FALSE(sql.empty()) << "cannot read " << SQLR_REAL_WORLD_SQL;
  std::remove(path.c_str());
#ifdef SQLR_SQLITE_SHELL
  ASSERT_EQ(sqlite_shell(dir, path, sql), "");
#else
  (void)dir;
  sqlr_test::make_db(path, sql);
#endif
}

std::string query(int h, const char* sql) { return text(Result(sqlr_query(h, sql, 0, -1))); }

// What one call gave: its result, or its error.
std::string outcome(char* result) {
  Result r(result);
  return r ? text(r) : "error: " + last_error();
}

// The checks SQLite offers for the file and for each index kept in shadow
// tables, each of which prints "ok" or nothing when all is well.
constexpr char kChecks[] =
    "PRAGMA integrity_check;\n"
    "INSERT INTO notes_fts(notes_fts, rank) VALUES ('integrity-check', 1);\n"
    "INSERT INTO mail(mail) VALUES ('integrity-check');\n"
    "INSERT INTO old_mail(old_mail) VALUES ('integrity-check');\n"
    "SELECT rtreecheck('tiles');\n";

class RealWorldTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = dir_.file("app.db");
    make_fixture(dir_, path_);
    pristine_ = file_bytes(path_);
    db_ = std::make_unique<OpenDb>(path_, GetParam());
    ASSERT_GE(h(), 0) << last_error();
  }
  int h() const { return db_->handle(); }
  // The file's bytes, also after the handle is closed, are as the shell left them.
  void expect_file_unchanged() {
    EXPECT_EQ(file_bytes(path_), pristine_);
    db_.reset();
    EXPECT_EQ(file_bytes(path_), pristine_);
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::string pristine_;
  std::unique_ptr<OpenDb> db_;
};

INSTANTIATE_TEST_SUITE_P(ReadOnlyAndWritable, RealWorldTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Writable" : "ReadOnly"; });

TEST_P(RealWorldTest, ReadsGiveTheirRowsAndNeverChangeTheFile) {
  struct Case {
    const char* sql;
    const char* page;
  };
  const Case cases[] = {
      {"SELECT rowid, title FROM notes_fts WHERE notes_fts MATCH 'world' ORDER BY rank, rowid",
       R"({"columns":["rowid","title"],"rows":[{"rowid":1,"title":"hello"},{"rowid":3,"title":"trip"}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT snippet(notes_fts, 1, '<', '>', '...', 3) AS s FROM notes_fts"
       " WHERE notes_fts MATCH 'milk OR tour' ORDER BY rowid",
       R"({"columns":["s"],"rows":[{"s":"buy <milk> and..."},{"s":"a world <tour>..."}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT * FROM note_hits ORDER BY id",
       R"({"columns":["id","marked","ranked"],"rows":[{"id":1,"marked":"hello [world]","ranked":1},{"id":3,"marked":"a [world] tour by train","ranked":1}],"offset":0,"limit":100000,"returned":2})"},
      // FTS4 with the AND/OR/NOT and parenthesis syntax.
      {"SELECT docid, subject FROM mail WHERE mail MATCH 'text AND (sqlite OR engines)'"
       " ORDER BY docid",
       R"({"columns":["docid","subject"],"rows":[{"docid":1,"subject":"meeting"},{"docid":2,"subject":"invoice"}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT docid FROM mail WHERE mail MATCH 'search NOT monday'",
       R"({"columns":["docid"],"rows":[{"docid":2}],"offset":0,"limit":100000,"returned":1})"},
      {"SELECT docid, snip, has_offsets, info_bytes FROM mail_hits ORDER BY docid",
       R"({"columns":["docid","snip","has_offsets","info_bytes"],"rows":[{"docid":1,"snip":"sqlite full <b>text</b> search on monday","has_offsets":1,"info_bytes":32},{"docid":2,"snip":"search engines and <b>text</b>","has_offsets":1,"info_bytes":32}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT rowid FROM old_mail WHERE old_mail MATCH 'archived'",
       R"({"columns":["rowid"],"rows":[{"rowid":1},{"rowid":2}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT t.id, n.name FROM tiles t JOIN tile_names n USING (id)"
       " WHERE t.min_x <= 7 AND t.max_x >= 7 ORDER BY t.id",
       R"({"columns":["id","name"],"rows":[{"id":1,"name":"harbour"},{"id":2,"name":"old town"}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT sqrt(16) AS a, ln(1) AS b, round(pi(), 4) AS c, pow(2, 10) AS d, floor(-1.5) AS e,"
       " log10(1000) AS f",
       R"({"columns":["a","b","c","d","e","f"],"rows":[{"a":4.0,"b":0.0,"c":3.1416,"d":1024.0,"e":-2.0,"f":3.0}],"offset":0,"limit":100000,"returned":1})"},
      {"SELECT name FROM dbstat WHERE name = 'tile_names' AND pagetype = 'leaf'",
       R"({"columns":["name"],"rows":[{"name":"tile_names"}],"offset":0,"limit":100000,"returned":1})"},
      {"SELECT item FROM \"order\" ORDER BY id",
       R"({"columns":["item"],"rows":[{"item":"pen"},{"item":"desk"}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT k, v FROM \"$t\"",
       R"({"columns":["k","v"],"rows":[{"k":"a","v":1.5}],"offset":0,"limit":100000,"returned":1})"},
      {"SELECT celsius, fahrenheit, label FROM readings ORDER BY id",
       R"({"columns":["celsius","fahrenheit","label"],"rows":[{"celsius":20.0,"fahrenheit":68.0,"label":"20.0 C"},{"celsius":37.5,"fahrenheit":99.5,"label":"37.5 C"}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT key, value FROM settings ORDER BY key",
       R"({"columns":["key","value"],"rows":[{"key":"theme","value":"dark"},{"key":"zoom","value":1.25}],"offset":0,"limit":100000,"returned":2})"},
      {"SELECT name, seq FROM sqlite_sequence",
       R"({"columns":["name","seq"],"rows":[{"name":"events","seq":2}],"offset":0,"limit":100000,"returned":1})"},
  };
  // Twice: the first read of each virtual table connects it.
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      EXPECT_EQ(query(h(), c.sql), c.page) << c.sql << "\n" << last_error();
    }
  }
  expect_file_unchanged();
}

TEST_P(RealWorldTest, EveryKindOfTableIsDescribed) {
  struct Case {
    const char* name;
    const char* schema;
  };
  const Case cases[] = {
      {"notes_fts",
       R"({"name":"notes_fts","type":"table","columns":[{"cid":0,"name":"title","type":"","notnull":0,"dflt_value":null,"pk":0},{"cid":1,"name":"body","type":"","notnull":0,"dflt_value":null,"pk":0}]})"},
      {"mail",
       R"({"name":"mail","type":"table","columns":[{"cid":0,"name":"subject","type":"","notnull":0,"dflt_value":null,"pk":0},{"cid":1,"name":"body","type":"","notnull":0,"dflt_value":null,"pk":0}]})"},
      {"tiles",
       R"({"name":"tiles","type":"table","columns":[{"cid":0,"name":"id","type":"INT","notnull":0,"dflt_value":null,"pk":0},{"cid":1,"name":"min_x","type":"REAL","notnull":0,"dflt_value":null,"pk":0},{"cid":2,"name":"max_x","type":"REAL","notnull":0,"dflt_value":null,"pk":0},{"cid":3,"name":"min_y","type":"REAL","notnull":0,"dflt_value":null,"pk":0},{"cid":4,"name":"max_y","type":"REAL","notnull":0,"dflt_value":null,"pk":0}]})"},
      {"note_hits",
       R"({"name":"note_hits","type":"view","columns":[{"cid":0,"name":"id","type":"INTEGER","notnull":0,"dflt_value":null,"pk":0},{"cid":1,"name":"marked","type":"","notnull":0,"dflt_value":null,"pk":0},{"cid":2,"name":"ranked","type":"","notnull":0,"dflt_value":null,"pk":0}]})"},
      {"order",
       R"({"name":"order","type":"table","columns":[{"cid":0,"name":"id","type":"INTEGER","notnull":0,"dflt_value":null,"pk":1},{"cid":1,"name":"item","type":"TEXT","notnull":1,"dflt_value":null,"pk":0}]})"},
      {"$t",
       R"({"name":"$t","type":"table","columns":[{"cid":0,"name":"k","type":"TEXT","notnull":0,"dflt_value":null,"pk":0},{"cid":1,"name":"v","type":"REAL","notnull":0,"dflt_value":null,"pk":0}]})"},
      // Generated columns are described in their place.
      {"readings",
       R"({"name":"readings","type":"table","columns":[{"cid":0,"name":"id","type":"INTEGER","notnull":0,"dflt_value":null,"pk":1},{"cid":1,"name":"celsius","type":"REAL","notnull":1,"dflt_value":null,"pk":0},)"
       R"({"cid":2,"name":"fahrenheit","type":"REAL","notnull":0,"dflt_value":null,"pk":0},{"cid":3,"name":"label","type":"TEXT","notnull":0,"dflt_value":null,"pk":0}]})"},
      {"settings",
       R"({"name":"settings","type":"table","columns":[{"cid":0,"name":"key","type":"TEXT","notnull":1,"dflt_value":null,"pk":1},{"cid":1,"name":"value","type":"ANY","notnull":0,"dflt_value":null,"pk":0}]})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(sqlr_schema(h(), c.name)), c.schema) << c.name;
  }
  expect_file_unchanged();
}

// FTS3's optimize() merges the index's segments while a read runs, inside a
// savepoint of its own, which the authorizer refuses (query-only mode would
// stop the writes themselves), whatever the handle.
TEST_P(RealWorldTest, AReadThatWouldMakeAnIndexWriteFails) {
  // The first read of the R*Tree has the handle learn the shadow tables.
  EXPECT_EQ(query(h(), "SELECT count(*) AS n FROM tiles"),
            R"({"columns":["n"],"rows":[{"n":3}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(outcome(sqlr_query(h(), "SELECT optimize(old_mail) FROM old_mail LIMIT 1", 0, -1)),
            "error: query failed: authorization denied");
  // fts3_tokenizer() would give out the address of code in the library.
  EXPECT_EQ(outcome(sqlr_query(h(), "SELECT fts3_tokenizer('simple')", 0, -1)),
            "error: prepare failed: not authorized to use function: fts3_tokenizer");
  EXPECT_EQ(query(h(), "SELECT count(*) AS n FROM old_mail WHERE old_mail MATCH 'archived'"),
            R"({"columns":["n"],"rows":[{"n":2}],"offset":0,"limit":100000,"returned":1})");
  expect_file_unchanged();
}

class RealWorldWriteTest : public RealWorldTest {};
INSTANTIATE_TEST_SUITE_P(Writable, RealWorldWriteTest, ::testing::Values(1));

// UPDATE and DELETE on the indexed tables and the virtual tables themselves:
// the file's triggers keep the external-content index in step, and every
// index passes SQLite's own checks afterwards.
TEST_P(RealWorldWriteTest, UpdatesAndDeletesKeepEveryIndexInStep) {
  struct Case {
    const char* sql;
    int changed;
  };
  const Case cases[] = {
      {"UPDATE notes SET body = 'hello moon' WHERE id = 1", 1},
      {"DELETE FROM notes WHERE id = 2", 1},
      {"WITH gone AS (SELECT 3 AS id) DELETE FROM notes WHERE id IN (SELECT id FROM gone)", 1},
      {"UPDATE mail SET body = 'no more words here' WHERE docid = 2", 1},
      {"DELETE FROM mail WHERE mail MATCH 'pizza'", 1},
      {"DELETE FROM old_mail WHERE rowid = 2", 1},
      {"UPDATE tiles SET min_x = 40, max_x = 50 WHERE id = 3", 1},
      {"DELETE FROM tiles WHERE id = 2", 1},
      {"UPDATE \"order\" SET item = 'chair' WHERE id = 2", 1},
      {"DELETE FROM \"$t\"", 1},
      {"UPDATE readings SET celsius = 100 WHERE id = 1", 1},
      {"UPDATE settings SET value = 'light' WHERE key = 'theme'", 1},
      {"DELETE FROM events WHERE what = 'opened'", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sqlr_exec(h(), c.sql), c.changed) << c.sql << "\n" << last_error();
  }
  EXPECT_EQ(query(h(), "SELECT rowid FROM notes_fts WHERE notes_fts MATCH 'moon OR world OR milk'"),
            R"({"columns":["rowid"],"rows":[{"rowid":1}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(query(h(), "SELECT docid FROM mail WHERE mail MATCH 'words OR engines OR pizza'"),
            R"({"columns":["docid"],"rows":[{"docid":2}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(query(h(), "SELECT id FROM tiles WHERE min_x >= 40"),
            R"({"columns":["id"],"rows":[{"id":3}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(
      query(h(), "SELECT fahrenheit, label FROM readings WHERE id = 1"),
      R"({"columns":["fahrenheit","label"],"rows":[{"fahrenheit":212.0,"label":"100.0 C"}],"offset":0,"limit":100000,"returned":1})");
  db_.reset();
  EXPECT_EQ(sqlite_shell(dir_, path_, kChecks), "ok\nok\n");
}

// SQLite's own tables, however the statement names them, and the shadow
// tables of the virtual tables: refused, and the file stays as it was.
TEST_P(RealWorldWriteTest, NoStatementChangesSqlitesOwnOrShadowTables) {
  struct Case {
    const char* sql;
    const char* error;
  };
  const Case cases[] = {
      {"UPDATE sqlite_sequence SET seq = 9223372036854775807", kOwnTableRejected},
      {"DELETE FROM sqlite_stat1", kOwnTableRejected},
      {"UPDATE main.sqlite_sequence SET seq = 0", kOwnTableRejected},
      {"UPDATE \"SQLITE_SEQUENCE\" SET seq = 0", kOwnTableRejected},
      {"DELETE FROM main.[Sqlite_Stat1] WHERE tbl = 'events'", kOwnTableRejected},
      {"WITH x AS (SELECT 1) UPDATE `sqlite_sequence` SET seq = seq + 1", kOwnTableRejected},
      {"UPDATE events SET what = 'x' WHERE id IN (SELECT seq FROM sqlite_sequence)", nullptr},
      {"UPDATE notes_fts_data SET block = x'00'",
       "prepare failed: table notes_fts_data may not be modified"},
      {"DELETE FROM notes_fts_idx", "prepare failed: table notes_fts_idx may not be modified"},
      {"UPDATE mail_segdir SET level = 5", "prepare failed: table mail_segdir may not be modified"},
      {"DELETE FROM mail_content", "prepare failed: table mail_content may not be modified"},
      {"DELETE FROM tiles_node", "prepare failed: table tiles_node may not be modified"},
      {"UPDATE tiles_rowid SET nodeno = 9",
       "prepare failed: table tiles_rowid may not be modified"},
  };
  for (const Case& c : cases) {
    if (c.error == nullptr) continue;  // a read of an own table is fine: see below
    EXPECT_EQ(sqlr_exec(h(), c.sql), -1) << c.sql;
    EXPECT_EQ(last_error(), c.error) << c.sql;
    EXPECT_EQ(file_bytes(path_), pristine_) << c.sql;
  }
  EXPECT_EQ(query(h(), "SELECT seq FROM sqlite_sequence"),
            R"({"columns":["seq"],"rows":[{"seq":2}],"offset":0,"limit":100000,"returned":1})");
  EXPECT_EQ(sqlr_exec(h(), cases[6].sql), 1) << last_error();
  db_.reset();
  EXPECT_EQ(sqlite_shell(dir_, path_, kChecks), "ok\nok\n");
}

// A hostile file's own triggers that would write a shadow table or one of
// SQLite's own tables: the statement that fires them is refused as a whole.
TEST(HostileRealWorldTest, TriggersThatWouldWriteShadowOrOwnTablesAreRefused) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("hostile.db");
  sqlr_test::make_db(path,
                     "CREATE VIRTUAL TABLE geo USING rtree(id, a, b);"
                     "INSERT INTO geo VALUES (1, 0, 1);"
                     "CREATE VIRTUAL TABLE ft USING fts5(x);"
                     "INSERT INTO ft VALUES ('one two');"
                     "CREATE TABLE seqd(id INTEGER PRIMARY KEY AUTOINCREMENT, v);"
                     "INSERT INTO seqd(v) VALUES (1);"
                     "CREATE TABLE t1(a); INSERT INTO t1 VALUES (0);"
                     "CREATE TABLE t2(a); INSERT INTO t2 VALUES (0);"
                     "CREATE TABLE t3(a); INSERT INTO t3 VALUES (0);"
                     "CREATE TRIGGER t1_shadow AFTER UPDATE ON t1 BEGIN DELETE FROM geo_node; END;"
                     "CREATE TRIGGER t2_own AFTER UPDATE ON t2 BEGIN"
                     " UPDATE sqlite_sequence SET seq = 9223372036854775807; END;"
                     "CREATE TRIGGER t3_shadow AFTER DELETE ON t3 BEGIN"
                     " INSERT INTO ft_data VALUES (99, x'00'); END;"
                     "CREATE VIEW stats AS SELECT * FROM dbstat;"
                     // Named like a shadow table, but no virtual table owns it.
                     "CREATE TABLE geo2_node(a); INSERT INTO geo2_node VALUES (0);");
  const std::string pristine = file_bytes(path);
  OpenDb db(path, 1);
  ASSERT_GE(db.handle(), 0) << last_error();
  EXPECT_EQ(sqlr_exec(db.handle(), "UPDATE t1 SET a = 1"), -1);
  EXPECT_EQ(last_error(), "prepare failed: table geo_node may not be modified");
  EXPECT_EQ(sqlr_exec(db.handle(), "UPDATE t2 SET a = 1"), -1);
  EXPECT_EQ(last_error(), kOwnTableRejected);
  EXPECT_EQ(sqlr_exec(db.handle(), "DELETE FROM t3"), -1);
  EXPECT_EQ(last_error(), "prepare failed: table ft_data may not be modified");
  // dbstat reads every page of the file: only a statement of the caller's own
  // may use it, never a view stored in the file.
  EXPECT_EQ(outcome(sqlr_query(db.handle(), "SELECT count(*) FROM stats", 0, -1)),
            "error: prepare failed: unsafe use of virtual table \"dbstat\"");
  EXPECT_EQ(file_bytes(path), pristine);
  EXPECT_EQ(sqlr_exec(db.handle(), "UPDATE geo2_node SET a = 1"), 1) << last_error();
}

// A database in write-ahead-log mode whose log still holds a row that another
// program wrote and did not fold into the file (it closed without a
// checkpoint, or is still running).
class WalTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = dir_.file("wal.db");
    sqlr_test::make_db(path_,
                       "PRAGMA journal_mode=WAL;"
                       "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
                       "INSERT INTO t VALUES (1, 'one');");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &writer, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_db_config(writer, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    ASSERT_EQ(sqlite3_exec(writer, "INSERT INTO t VALUES (2, 'two')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(writer);
    ASSERT_TRUE(sqlr_test::file_exists(path_ + "-wal"));
    pristine_ = file_bytes(path_);
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::string pristine_;
};

INSTANTIATE_TEST_SUITE_P(ReadOnlyAndWritable, WalTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Writable" : "ReadOnly"; });

// Reading sees the logged row; closing the handle, also the last connection
// to the file and one that could write, leaves the file's bytes as they were
// and the log as it was, for its writer to fold in.
TEST_P(WalTest, ReadingAndClosingLeaveTheFileAsItWas) {
  {
    OpenDb db(path_, GetParam());
    ASSERT_GE(db.handle(), 0) << last_error();
    EXPECT_TRUE(sqlr_test::file_exists(path_ + "-shm"));
    EXPECT_EQ(
        query(db.handle(), "SELECT a, b FROM t ORDER BY a"),
        R"({"columns":["a","b"],"rows":[{"a":1,"b":"one"},{"a":2,"b":"two"}],"offset":0,"limit":100000,"returned":2})");
    EXPECT_EQ(outcome(sqlr_schema(db.handle(), "t")).substr(0, 26),
              R"({"name":"t","type":"table")");
  }
  EXPECT_EQ(file_bytes(path_), pristine_);
  EXPECT_TRUE(sqlr_test::file_exists(path_ + "-wal"));
  EXPECT_EQ(sqlite_shell(dir_, path_, "SELECT b FROM t ORDER BY a;"), "one\ntwo\n");
}

// A handle that changed rows closes as writers do: the log is folded into the
// file, and a new connection or SQLite's shell reads the change from it.
TEST(WalWriteTest, ClosingAfterAChangeLeavesItInTheFile) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("wal.db");
  sqlr_test::make_db(path,
                     "PRAGMA journal_mode=WAL;"
                     "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
                     "INSERT INTO t VALUES (1, 'one'), (2, 'two');");
  const std::string before = file_bytes(path);
  {
    OpenDb db(path, 1);
    ASSERT_GE(db.handle(), 0) << last_error();
    EXPECT_EQ(sqlr_exec(db.handle(), "UPDATE t SET b = 'changed' WHERE a = 2"), 1) << last_error();
  }
  EXPECT_NE(file_bytes(path), before);
  EXPECT_FALSE(sqlr_test::file_exists(path + "-wal"));
  // The file alone holds the change: a copy of it without the log reads it.
  const std::string copy = dir.file("copy.db");
  sqlr_test::write_file(copy, file_bytes(path));
  EXPECT_EQ(sqlite_shell(dir, copy, "SELECT b FROM t ORDER BY a; PRAGMA integrity_check;"),
            "one\nchanged\nok\n");
  OpenDb again(path, 0);
  EXPECT_EQ(query(again.handle(), "SELECT b FROM t WHERE a = 2"),
            R"({"columns":["b"],"rows":[{"b":"changed"}],"offset":0,"limit":100000,"returned":1})");
}

}  // namespace
