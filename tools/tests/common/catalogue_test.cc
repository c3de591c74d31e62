// The shared catalogue against real files: kinds, the bounded count, and
// descriptions kept only while the schema stays as it was.
#include "common/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/json.h"
#include "common/library.h"
#include "fixture.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools {
namespace {

using testing::FixtureDb;

TEST(CatalogueTest, EachNameHasItsKind) {
  const FixtureDb file(
      "CREATE TABLE \"order items\"(id INTEGER PRIMARY KEY);"
      "CREATE TABLE w(a, b, PRIMARY KEY(a, b)) WITHOUT ROWID;"
      "CREATE TABLE \"using\"(x); CREATE TABLE plain_data(x);"
      "CREATE VIEW v AS SELECT 1 AS one;"
      "CREATE VIRTUAL TABLE notes USING fts5(body);"
      "CREATE VIRTUAL TABLE /* a comment */ \"rtree_road works-2024_geom\" USING RTree(id, a, b);"
      "CREATE VIRTUAL TABLE old USING fts4(body);"
      "CREATE TABLE t(x); CREATE INDEX tx ON t(x); INSERT INTO t VALUES (1); ANALYZE;");
  const Database db(file.path(), false);
  ASSERT_TRUE(db.ok()) << last_error();
  Catalogue catalogue(db.handle());
  std::vector<CatalogueEntry> entries;
  CatalogueError error;
  ASSERT_TRUE(catalogue.list(&entries, &error)) << error.message;
  struct Expected {
    const char* name;
    const char* kind;
    const char* module;
    bool hidden;
  };
  const Expected expected[] = {
      {"notes", "virtual", "fts5", false},
      {"notes_config", "shadow", "", true},
      {"notes_content", "shadow", "", true},
      {"notes_data", "shadow", "", true},
      {"notes_docsize", "shadow", "", true},
      {"notes_idx", "shadow", "", true},
      {"old", "virtual", "fts4", false},
      {"old_content", "shadow", "", true},
      {"old_docsize", "shadow", "", true},
      {"old_segdir", "shadow", "", true},
      {"old_segments", "shadow", "", true},
      {"old_stat", "shadow", "", true},
      {"order items", "table", "", false},
      {"plain_data", "table", "", false},  // looks like a shadow name, has no owner
      {"rtree_road works-2024_geom", "virtual", "rtree", false},
      {"rtree_road works-2024_geom_node", "shadow", "", true},
      {"rtree_road works-2024_geom_parent", "shadow", "", true},
      {"rtree_road works-2024_geom_rowid", "shadow", "", true},
      {"sqlite_stat1", "internal", "", true},
      {"t", "table", "", false},
      {"using", "table", "", false},
      {"v", "view", "", false},
      {"w", "table", "", false},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(entries[i].name);
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].kind, expected[i].kind);
    EXPECT_EQ(entries[i].module, expected[i].module);
    EXPECT_EQ(entries[i].hidden, expected[i].hidden);
    // fts5 keeps two of its shadow tables WITHOUT ROWID too.
    const bool without_rowid = entries[i].name == "w" || entries[i].name == "notes_config" ||
                               entries[i].name == "notes_idx";
    EXPECT_EQ(entries[i].without_rowid, without_rowid);
  }
}

TEST(CatalogueTest, CountsStopAtTheBoundUnlessExact) {
  const FixtureDb file(
      "CREATE TABLE small(x); INSERT INTO small VALUES (1), (2);"
      "CREATE TABLE edge(x); CREATE TABLE big(x);"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 10000)"
      "  INSERT INTO edge SELECT x FROM c;"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 25000)"
      "  INSERT INTO big SELECT x FROM c;"
      "CREATE VIEW \"a \"\"view\"\"\" AS SELECT * FROM big;");
  const Database db(file.path(), false);
  ASSERT_TRUE(db.ok()) << last_error();
  Catalogue catalogue(db.handle());
  struct Case {
    const char* name;
    bool exact;
    int64_t rows;
    bool at_least;
  };
  const Case cases[] = {
      {"small", false, 2, false},         {"edge", false, 10000, false},
      {"big", false, 10000, true},        {"big", true, 25000, false},
      {"a \"view\"", false, 10000, true}, {"a \"view\"", true, 25000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.exact ? " exact" : ""));
    RowCount count;
    CatalogueError error;
    ASSERT_TRUE(catalogue.count(c.name, c.exact, &count, &error)) << error.message;
    EXPECT_EQ(count.rows, c.rows);
    EXPECT_EQ(count.at_least, c.at_least);
  }
  RowCount count;
  CatalogueError error;
  EXPECT_FALSE(catalogue.count("nowhere", false, &count, &error));
  EXPECT_TRUE(error.not_found);
}

TEST(CatalogueTest, ADescriptionIsKeptOnlyWhileTheSchemaIsUnchanged) {
  const FixtureDb file("CREATE TABLE t(a);");
  const Database db(file.path(), false);
  ASSERT_TRUE(db.ok()) << last_error();
  Catalogue catalogue(db.handle());
  std::string before, after;
  CatalogueError error;
  ASSERT_TRUE(catalogue.describe_json("t", &before, &error)) << error.message;
  // Another connection changes the schema: the next answer sees it.
  file.run("ALTER TABLE t ADD COLUMN b TEXT; CREATE TABLE u(x);");
  ASSERT_TRUE(catalogue.describe_json("t", &after, &error)) << error.message;
  EXPECT_EQ(before.find("\"b\""), std::string::npos);
  EXPECT_NE(after.find("{\"cid\":1,\"name\":\"b\",\"type\":\"TEXT\""), std::string::npos) << after;
  CatalogueEntry entry;
  EXPECT_TRUE(catalogue.find("u", &entry, &error)) << error.message;
  file.run("DROP TABLE u;");
  EXPECT_FALSE(catalogue.find("u", &entry, &error));
  EXPECT_TRUE(error.not_found);
  EXPECT_EQ(error.message, std::string(SQLR_MSG_TABLE_NOT_FOUND) + ": u");
}

TEST(CatalogueTest, NamesAreMatchedExactlyAndNeverRunAsSql) {
  const FixtureDb file("CREATE TABLE \"Kunden\"(x); CREATE TABLE \"it's\"(y);");
  const Database db(file.path(), false);
  ASSERT_TRUE(db.ok()) << last_error();
  Catalogue catalogue(db.handle());
  struct Case {
    std::string name;
    bool found;
  };
  const Case cases[] = {
      {"Kunden", true},   {"kunden", false},       {"it's", true},
      {"it''s", false},   {"x' OR '1'='1", false}, {std::string("it's\0", 5), false},
      {"Kunden ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string json;
    CatalogueError error;
    EXPECT_EQ(catalogue.describe_json(c.name, &json, &error), c.found) << error.message;
    if (!c.found) {
      EXPECT_TRUE(error.not_found);
    }
  }
  std::string json;
  CatalogueError error;
  EXPECT_FALSE(catalogue.describe_json("", &json, &error));
  EXPECT_TRUE(error.not_found);
  EXPECT_EQ(error.message, SQLR_MSG_INVALID_TABLE_NAME);
}

}  // namespace
}  // namespace kestrova::tools
