// Columns that the plain description of a table used to miss or could not
// reach: a virtual table's columns read through a pragma function as the first
// statement of a fresh handle (a GeoPackage's spatial index), and generated
// columns, stored and virtual, in the table schema.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string names_page(const std::string& names) {
  return R"({"columns":["name"],"rows":[)" + names + R"(],"offset":0,"limit":100000,"returned":)";
}

// A file laid out as a GeoPackage lays out its layers: a feature table and
// its spatial index, an R*Tree whose name holds a space and a dash, kept in
// step by triggers; beside them the other virtual tables the engine has.
constexpr char kGeoPackageLike[] =
    "CREATE TABLE gpkg_contents(table_name TEXT PRIMARY KEY, data_type TEXT);"
    "INSERT INTO gpkg_contents VALUES ('road works-2024', 'features');"
    "CREATE TABLE \"road works-2024\"(fid INTEGER PRIMARY KEY, geom BLOB,"
    " minx REAL, maxx REAL, miny REAL, maxy REAL);"
    "CREATE VIRTUAL TABLE \"rtree_road works-2024_geom\" USING rtree(id, minx, maxx, miny, maxy);"
    "CREATE TRIGGER \"rtree_road works-2024_geom_insert\" AFTER INSERT ON \"road works-2024\""
    " BEGIN INSERT OR REPLACE INTO \"rtree_road works-2024_geom\""
    " VALUES (NEW.fid, NEW.minx, NEW.maxx, NEW.miny, NEW.maxy); END;"
    "INSERT INTO \"road works-2024\" VALUES (1, x'00', 0, 1, 0, 1), (2, x'01', 2, 3, 2, 3);"
    "CREATE VIRTUAL TABLE docs5 USING fts5(title, body);"
    "INSERT INTO docs5 VALUES ('a', 'b');"
    "CREATE VIRTUAL TABLE docs4 USING fts4(body);"
    "CREATE VIRTUAL TABLE docs3 USING fts3(body);"
    "CREATE VIRTUAL TABLE geo USING rtree_i32(id, x0, x1);";

struct PragmaCase {
  const char* sql;       // the first statement of a fresh handle
  const char* expected;  // the rows of its page
  int returned;
};

// Each is the first statement of its own fresh handle, read-only and
// writable: the virtual table connects while the pragma function runs and
// prepares its own statements on its shadow tables then.
const PragmaCase kFirstStatements[] = {
    {"SELECT name FROM pragma_table_info('rtree_road works-2024_geom')",
     R"({"name":"id"},{"name":"minx"},{"name":"maxx"},{"name":"miny"},{"name":"maxy"})", 5},
    {"SELECT name FROM pragma_table_xinfo('rtree_road works-2024_geom')",
     R"({"name":"id"},{"name":"minx"},{"name":"maxx"},{"name":"miny"},{"name":"maxy"})", 5},
    {"SELECT name FROM pragma_table_info('geo')", R"({"name":"id"},{"name":"x0"},{"name":"x1"})",
     3},
    {"SELECT name FROM pragma_table_info('docs5')", R"({"name":"title"},{"name":"body"})", 2},
    {"SELECT name FROM pragma_table_info('docs4')", R"({"name":"body"})", 1},
    {"SELECT name FROM pragma_table_info('docs3')", R"({"name":"body"})", 1},
    {"SELECT p.name FROM sqlite_master AS m, pragma_table_info(m.name) AS p"
     " WHERE m.name = 'rtree_road works-2024_geom' AND p.cid = 0",
     R"({"name":"id"})", 1},
};

TEST(VirtualTableColumnsTest, PragmaFunctionIsTheFirstStatementOfAFreshHandle) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("layers.gpkg");
  sqlr_test::make_db(path, kGeoPackageLike);
  const std::string before = file_bytes(path);
  for (int writable : {0, 1}) {
    for (const PragmaCase& c : kFirstStatements) {
      SCOPED_TRACE(std::string(c.sql) + (writable ? " (writable)" : " (read-only)"));
      OpenDb db(path, writable);
      ASSERT_GE(db.handle(), 0) << last_error();
      Result page(sqlr_query(db.handle(), c.sql, 0, -1));
      EXPECT_EQ(text(page), names_page(c.expected) + std::to_string(c.returned) + "}");
      EXPECT_EQ(last_error(), "");
      // The read went on to the index's rows on the same handle.
      Result rows(sqlr_query(db.handle(),
                             "SELECT count(*) AS n FROM \"rtree_road works-2024_geom\"", 0, -1));
      EXPECT_EQ(text(rows), R"({"columns":["n"],"rows":[{"n":2}],"offset":0,"limit":100000,)"
                            R"("returned":1})");
    }
  }
  EXPECT_EQ(file_bytes(path), before);
}

// The one description a host reads first, on a fresh handle, for every name
// the table list gives: what the command-line host's `schema` and the tool
// server's describe_table ask for a name outside the name rule.
TEST(VirtualTableColumnsTest, EveryListedTableIsDescribedOnAFreshHandle) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("layers.gpkg");
  sqlr_test::make_db(path, kGeoPackageLike);
  const std::string before = file_bytes(path);
  std::string listed;
  {
    OpenDb db(path, 0);
    listed = text(Result(sqlr_tables(db.handle())));
  }
  for (const char* table : {"rtree_road works-2024_geom", "rtree_road works-2024_geom_node",
                            "docs5", "docs5_data", "docs4", "docs3", "geo", "road works-2024"}) {
    SCOPED_TRACE(table);
    EXPECT_NE(listed.find(std::string("\"") + table + "\""), std::string::npos) << listed;
    OpenDb db(path, 0);
    const std::string sql =
        std::string("SELECT count(*) AS n FROM pragma_table_info('") + table + "')";
    Result page(sqlr_query(db.handle(), sql.c_str(), 0, -1));
    EXPECT_NE(text(page).find(R"("returned":1)"), std::string::npos) << text(page);
    EXPECT_EQ(text(page).find(R"({"n":0})"), std::string::npos) << text(page);
  }
  EXPECT_EQ(file_bytes(path), before);
}

// A read on a fresh handle still never writes, whatever the virtual table
// prepares for itself: the shadow tables stay out of reach of every statement.
TEST(VirtualTableColumnsTest, ShadowTablesStayUnwritableOnAFreshHandle) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("layers.gpkg");
  sqlr_test::make_db(path, kGeoPackageLike);
  const std::string before = file_bytes(path);
  {
    OpenDb db(path, 1);
    EXPECT_EQ(sqlr_exec(db.handle(), "DELETE FROM \"rtree_road works-2024_geom_node\""), -1);
    EXPECT_EQ(last_error(),
              "prepare failed: table rtree_road works-2024_geom_node may not be modified");
    Result page(sqlr_query(db.handle(), "SELECT name FROM pragma_table_info('docs5')", 0, -1));
    EXPECT_NE(page, nullptr) << last_error();
    EXPECT_EQ(sqlr_exec(db.handle(), "DELETE FROM docs5_data"), -1);
    EXPECT_EQ(last_error(), "prepare failed: table docs5_data may not be modified");
  }
  EXPECT_EQ(file_bytes(path), before);
}

struct SchemaCase {
  const char* name;
  const char* sql;          // creates the table
  const char* description;  // sqlr_schema's result
};

const SchemaCase kSchemas[] = {
    // Generated columns, virtual and stored, in their place and numbered as
    // table_xinfo numbers them.
    {"g",
     "CREATE TABLE g(a INT, b INT GENERATED ALWAYS AS (a * 2) VIRTUAL, c TEXT DEFAULT 'x',"
     " d INT AS (a + 1) STORED NOT NULL)",
     R"({"name":"g","type":"table","columns":[)"
     R"({"cid":0,"name":"a","type":"INT","notnull":0,"dflt_value":null,"pk":0},)"
     R"({"cid":1,"name":"b","type":"INT","notnull":0,"dflt_value":null,"pk":0},)"
     R"({"cid":2,"name":"c","type":"TEXT","notnull":0,"dflt_value":"'x'","pk":0},)"
     R"({"cid":3,"name":"d","type":"INT","notnull":1,"dflt_value":null,"pk":0}]})"},
    // A generated column first, and one in a STRICT WITHOUT ROWID table.
    {"first",
     "CREATE TABLE first(total REAL AS (price * qty), price REAL, qty INTEGER PRIMARY KEY)"
     " STRICT, WITHOUT ROWID",
     R"({"name":"first","type":"table","columns":[)"
     R"({"cid":0,"name":"total","type":"REAL","notnull":0,"dflt_value":null,"pk":0},)"
     R"({"cid":1,"name":"price","type":"REAL","notnull":0,"dflt_value":null,"pk":0},)"
     R"({"cid":2,"name":"qty","type":"INTEGER","notnull":1,"dflt_value":null,"pk":1}]})"},
    // A view over them reports what its SELECT gives.
    {"gv", "CREATE TABLE g(a, b INT AS (a * 2)); CREATE VIEW gv AS SELECT b FROM g",
     R"({"name":"gv","type":"view","columns":[)"
     R"({"cid":0,"name":"b","type":"INT","notnull":0,"dflt_value":null,"pk":0}]})"},
    // A virtual table's hidden columns (FTS5's table-named column and rank)
    // stay out.
    {"docs", "CREATE VIRTUAL TABLE docs USING fts5(title, body)",
     R"({"name":"docs","type":"table","columns":[)"
     R"({"cid":0,"name":"title","type":"","notnull":0,"dflt_value":null,"pk":0},)"
     R"({"cid":1,"name":"body","type":"","notnull":0,"dflt_value":null,"pk":0}]})"},
    // A table without generated columns is described as it always was.
    {"orders",
     "CREATE TABLE orders(id INTEGER PRIMARY KEY, status TEXT NOT NULL DEFAULT 'new', note)",
     R"({"name":"orders","type":"table","columns":[)"
     R"({"cid":0,"name":"id","type":"INTEGER","notnull":0,"dflt_value":null,"pk":1},)"
     R"({"cid":1,"name":"status","type":"TEXT","notnull":1,"dflt_value":"'new'","pk":0},)"
     R"({"cid":2,"name":"note","type":"","notnull":0,"dflt_value":null,"pk":0}]})"},
};

TEST(GeneratedColumnsTest, SchemaDescribesEveryColumnSelectStarReturns) {
  sqlr_test::TempDir dir;
  int n = 0;
  for (const SchemaCase& c : kSchemas) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("s" + std::to_string(++n) + ".db");
    sqlr_test::make_db(path, c.sql);
    OpenDb db(path, 0);
    ASSERT_GE(db.handle(), 0) << last_error();
    EXPECT_EQ(text(Result(sqlr_schema(db.handle(), c.name))), c.description);
    EXPECT_EQ(last_error(), "");
  }
}

// The described columns are the ones a SELECT * returns, in its order.
TEST(GeneratedColumnsTest, DescribedNamesMatchSelectStar) {
  sqlr_test::TempDir dir;
  const std::string path = dir.file("g.db");
  sqlr_test::make_db(path,
                     "CREATE TABLE g(a INT, b INT AS (a * 2), c INT AS (b + 1) STORED, d);"
                     "INSERT INTO g(a, d) VALUES (1, 'x');");
  OpenDb db(path, 0);
  const std::string page = text(Result(sqlr_query(db.handle(), "SELECT * FROM g", 0, -1)));
  EXPECT_EQ(page.substr(0, page.find(']') + 1), R"({"columns":["a","b","c","d"])");
  const std::string schema = text(Result(sqlr_schema(db.handle(), "g")));
  size_t at = 0;
  for (const char* name : {"a", "b", "c", "d"}) {
    at = schema.find(std::string("\"name\":\"") + name + "\"", at);
    EXPECT_NE(at, std::string::npos) << name << " in " << schema;
  }
}

}  // namespace
