// The table list and the table schema.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

class CatalogueTest : public ::testing::Test {
 protected:
  // Creates a database from `sql` and opens it read-only.
  int open_with(const std::string& sql) {
    const std::string path = dir_.file("db" + std::to_string(++count_) + ".db");
    sqlr_test::make_db(path, sql);
    dbs_.push_back(std::make_unique<OpenDb>(path, 0));
    EXPECT_GE(dbs_.back()->handle(), 0) << last_error();
    return dbs_.back()->handle();
  }
  std::string tables(int h) { return text(Result(sqlr_tables(h))); }
  std::string schema(int h, const char* name) { return text(Result(sqlr_schema(h, name))); }

  sqlr_test::TempDir dir_;
  int count_ = 0;
  std::vector<std::unique_ptr<OpenDb>> dbs_;
};

TEST_F(CatalogueTest, ListsTablesAndViewsInByteOrder) {
  int h = open_with(
      "CREATE TABLE Customers(id); CREATE TABLE invoice_items(id);"
      "CREATE VIEW sales_view AS SELECT * FROM Customers;");
  EXPECT_EQ(tables(h), R"(["Customers","invoice_items","sales_view"])");
  EXPECT_EQ(last_error(), "");
}

TEST_F(CatalogueTest, LeavesOutInternalTablesIndexesAndTriggers) {
  int h = open_with(
      "CREATE TABLE mango(a); CREATE TABLE Zebra(a); CREATE TABLE apple(a);"
      "CREATE TABLE auto(id INTEGER PRIMARY KEY AUTOINCREMENT, v);"  // brings sqlite_sequence
      "INSERT INTO auto(v) VALUES (1);"
      "CREATE INDEX idx ON mango(a); CREATE TRIGGER trg AFTER INSERT ON mango BEGIN SELECT 1; END;"
      "CREATE VIEW v AS SELECT 1; ANALYZE;");  // brings sqlite_stat1
  EXPECT_EQ(tables(h), R"(["Zebra","apple","auto","mango","v"])");
}

// Only names that start with "sqlite_" (any case) are SQLite's own; a user's
// table may well start with "sqlite" otherwise, the underscore standing
// anywhere after it.
TEST_F(CatalogueTest, ListsUserTablesWhoseNamesStartLikeSqlites) {
  int h = open_with(
      "CREATE TABLE sqlitex(a); CREATE TABLE SQLiteCache(a); CREATE TABLE sqlite(a);"
      "CREATE TABLE SqliteUsers(a); CREATE TABLE sqlite3_notes(a); CREATE TABLE [sqlite%](a);"
      "CREATE VIEW sqliteXview AS SELECT 1;"
      "CREATE TABLE auto(id INTEGER PRIMARY KEY AUTOINCREMENT); INSERT INTO auto VALUES (1);");
  EXPECT_EQ(tables(h), R"(["SQLiteCache","SqliteUsers","auto","sqlite","sqlite%","sqlite3_notes",)"
                       R"("sqliteXview","sqlitex"])");
}

TEST_F(CatalogueTest, EmptyDatabasesListNothing) {
  EXPECT_EQ(tables(open_with("")), "[]");
  EXPECT_EQ(tables(open_with("CREATE TABLE t(a); DROP TABLE t;")), "[]");
}

TEST_F(CatalogueTest, NamesAreEscapedOrFailWhenNotUtf8) {
  int h = open_with(
      "CREATE TABLE \"q\"\"uote\\back\"(a); CREATE TABLE \"tab\x01\"(a);"
      "CREATE TABLE \"caf\xC3\xA9\"(a);");
  EXPECT_EQ(tables(h), "[\"caf\xC3\xA9\",\"q\\\"uote\\\\back\",\"tab\\u0001\"]");
  int bad = open_with("CREATE TABLE \"bad\xFF\"(a);");
  EXPECT_EQ(tables(bad), "<null>");
  EXPECT_EQ(last_error(), "failed to serialize JSON");
}

TEST_F(CatalogueTest, InvalidHandlesAreRefusedAndClearEarlierMessages) {
  int h = open_with("CREATE TABLE t(a)");
  sqlr_close(h);
  for (int32_t bad : {-1, 64, 1000, h}) {
    sqlr_open("", 0);  // leaves "path is required"
    EXPECT_EQ(tables(bad), "<null>");
    EXPECT_EQ(last_error(), "invalid handle");
    EXPECT_EQ(schema(bad, "t"), "<null>");
    EXPECT_EQ(last_error(), "invalid handle");
  }
}

TEST_F(CatalogueTest, FailureThenSuccessLeavesTheTextEmptyButCloseDoesNot) {
  int h = open_with("CREATE TABLE t(a)");
  EXPECT_EQ(tables(-1), "<null>");
  sqlr_close(-1);
  EXPECT_EQ(last_error(), "invalid handle");
  EXPECT_EQ(tables(h), R"(["t"])");
  EXPECT_EQ(last_error(), "");
}

// Another connection holding the write lock makes the listing fail at once:
// no busy handler waits for it.
TEST_F(CatalogueTest, LockedDatabaseFailsAtOnceAndStaysUsable) {
  const std::string path = dir_.file("locked.db");
  sqlr_test::make_db(path, "CREATE TABLE t(a)");
  OpenDb db(path, 0);
  ASSERT_GE(db.handle(), 0);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(other, "BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr),
      SQLITE_OK);
  EXPECT_EQ(tables(db.handle()), "<null>");
  EXPECT_EQ(last_error(), "tables step failed: database is locked");
  EXPECT_EQ(schema(db.handle(), "t"), "<null>");
  EXPECT_EQ(last_error(), "schema: database is locked");
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(tables(db.handle()), R"(["t"])");
}

// A catalogue made unreadable by another connection after the open: the
// listing that meets the change fails, and so does the next one. Each
// operation reads the catalogue before its statement compiles (to know the
// shadow tables), so both fail while compiling.
TEST_F(CatalogueTest, MalformedCatalogueFailsStepThenCompile) {
  const std::string path = dir_.file("malformed.db");
  sqlr_test::make_db(path, "CREATE TABLE t(a); CREATE TABLE u(b);");
  OpenDb db(path, 0);
  ASSERT_GE(db.handle(), 0);
  sqlr_test::make_db(path,
                     "PRAGMA writable_schema = ON;"
                     "UPDATE sqlite_master SET sql = 'CREATE TABLE u(' WHERE name = 'u';"
                     "PRAGMA schema_version = 99;");
  const std::string why = "malformed database schema (u) - incomplete input";
  EXPECT_EQ(tables(db.handle()), "<null>");
  EXPECT_EQ(last_error(), "tables: " + why);
  EXPECT_EQ(tables(db.handle()), "<null>");
  EXPECT_EQ(last_error(), "tables: " + why);
}

TEST_F(CatalogueTest, DescribesTheOrdersExample) {
  int h = open_with(
      "CREATE TABLE orders(id INTEGER PRIMARY KEY, status TEXT NOT NULL DEFAULT 'new', note)");
  EXPECT_EQ(schema(h, "orders"),
            R"({"name":"orders","type":"table","columns":[)"
            R"({"cid":0,"name":"id","type":"INTEGER","notnull":0,"dflt_value":null,"pk":1},)"
            R"({"cid":1,"name":"status","type":"TEXT","notnull":1,"dflt_value":"'new'","pk":0},)"
            R"({"cid":2,"name":"note","type":"","notnull":0,"dflt_value":null,"pk":0}]})");
  EXPECT_EQ(last_error(), "");
}

TEST_F(CatalogueTest, DescribesViewsCompositeKeysAndDefaults) {
  int h = open_with(
      "CREATE TABLE m(a INT, b VARCHAR(10) DEFAULT (1 + 2), c REAL DEFAULT -1.5,"
      " PRIMARY KEY(c, a));"
      "CREATE VIEW mv AS SELECT a, c AS cc FROM m;");
  EXPECT_EQ(
      schema(h, "m"),
      R"({"name":"m","type":"table","columns":[)"
      R"({"cid":0,"name":"a","type":"INT","notnull":0,"dflt_value":null,"pk":2},)"
      R"x({"cid":1,"name":"b","type":"VARCHAR(10)","notnull":0,"dflt_value":"1 + 2","pk":0},)x"
      R"({"cid":2,"name":"c","type":"REAL","notnull":0,"dflt_value":"-1.5","pk":1}]})");
  EXPECT_EQ(schema(h, "mv"),
            R"({"name":"mv","type":"view","columns":[)"
            R"({"cid":0,"name":"a","type":"INT","notnull":0,"dflt_value":null,"pk":0},)"
            R"({"cid":1,"name":"cc","type":"REAL","notnull":0,"dflt_value":null,"pk":0}]})");
}

// Only names of ASCII letters, digits, '_' and '$' (not starting with a
// digit, at most 128 bytes) are accepted, before the handle is looked at.
TEST_F(CatalogueTest, TableNameRule) {
  const std::string name128 = "T" + std::string(127, 'x');
  int h = open_with(
      "CREATE TABLE \"2fa\"(a); CREATE TABLE \"my-table\"(a); CREATE TABLE _log(a);"
      "CREATE TABLE \"t$1\"(a); CREATE TABLE Orders2(a); CREATE TABLE " +
      name128 + "(a);");
  const std::string name129 = name128 + "x";
  const char* refused[] = {nullptr,       "",    name129.c_str(), "my-table",    "my table",
                           "main.orders", "a'b", "a\"b",          "caf\xC3\xA9", "2fa",
                           "t;DROP",      "x)",  "\xFF"};
  for (const char* name : refused) {
    for (int32_t handle : {h, -1}) {
      EXPECT_EQ(schema(handle, name), "<null>") << (name ? name : "(null)");
      EXPECT_EQ(last_error(), "invalid table name");
    }
  }
  for (const std::string& name :
       {std::string("_log"), std::string("t$1"), std::string("Orders2"), name128}) {
    const std::string out = schema(h, name.c_str());
    EXPECT_EQ(out.rfind("{\"name\":\"" + name + "\",\"type\":\"table\"", 0), 0u) << out;
  }
}

TEST_F(CatalogueTest, LookupIsExactAndCoversTablesAndViewsOnly) {
  int h = open_with(
      "CREATE TABLE Orders(a); CREATE INDEX idx ON Orders(a);"
      "CREATE TRIGGER trg AFTER INSERT ON Orders BEGIN SELECT 1; END;"
      "CREATE TABLE s(id INTEGER PRIMARY KEY AUTOINCREMENT);");
  for (const char* missing : {"orders", "ORDERS", "idx", "trg", "sqlite_master", "nothing"}) {
    EXPECT_EQ(schema(h, missing), "<null>");
    EXPECT_EQ(last_error(), std::string("table or view not found: ") + missing);
  }
  EXPECT_EQ(schema(h, "sqlite_sequence"),
            R"({"name":"sqlite_sequence","type":"table","columns":[)"
            R"({"cid":0,"name":"name","type":"","notnull":0,"dflt_value":null,"pk":0},)"
            R"({"cid":1,"name":"seq","type":"","notnull":0,"dflt_value":null,"pk":0}]})");
}

// Names that pass the rule but that SQLite's parser would not take bare: a
// keyword, or a name it would read as a parameter. Each is described.
TEST_F(CatalogueTest, KeywordsAndParameterLikeNamesAreDescribed) {
  int h = open_with(
      "CREATE TABLE \"$abc\"(a TEXT); CREATE TABLE \"select\"(a TEXT);"
      "CREATE TABLE \"order\"(a TEXT); CREATE TABLE \"$t\"(a TEXT); CREATE TABLE \"_1\"(a TEXT);"
      "CREATE VIEW \"group\" AS SELECT a FROM \"order\";");
  for (const char* name : {"$abc", "select", "order", "$t", "_1", "group"}) {
    const std::string type = std::string(name) == "group" ? "view" : "table";
    EXPECT_EQ(schema(h, name), std::string(R"({"name":")") + name + R"(","type":")" + type +
                                   R"(","columns":[{"cid":0,"name":"a","type":"TEXT","notnull":0,)"
                                   R"("dflt_value":null,"pk":0}]})")
        << last_error();
  }
}

TEST_F(CatalogueTest, ColumnNameThatIsNotUtf8FailsSerialisation) {
  int h = open_with("CREATE TABLE t(\"bad\xFF\" INT)");
  EXPECT_EQ(schema(h, "t"), "<null>");
  EXPECT_EQ(last_error(), "failed to serialize JSON");
}

}  // namespace
