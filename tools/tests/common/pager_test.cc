// The shared pager against real files: whether more rows follow, key pages
// against offset pages, and halving at the library's 100 MB cap.
#include "common/pager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/library.h"
#include "fixture.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools {
namespace {

using testing::FixtureDb;

// Each row of `page` as compact JSON text, as the library wrote it.
std::vector<std::string> row_texts(const Page& page) {
  std::vector<std::string> out;
  for (yyjson_val* row : page.rows) {
    std::string text, why;
    EXPECT_TRUE(write_json(row, YYJSON_WRITE_NOFLAG, &text, &why)) << why;
    out.push_back(text);
  }
  return out;
}

// Every row of `pager`, `size` at a time, following next_key when the pager
// pages by key and next_offset otherwise; checks that only the last page says
// no more follow.
std::vector<std::string> all_rows(Pager pager, int32_t size) {
  std::vector<std::string> rows;
  int64_t offset = 0;
  std::string key;
  for (int pages = 0; pages < 1000; ++pages) {
    Page page;
    std::string why;
    EXPECT_TRUE(pager.read(offset, key, size, &page, &why)) << why;
    EXPECT_EQ(page.offset, offset);
    EXPECT_EQ(page.next_offset, offset + static_cast<int64_t>(page.rows.size()));
    for (auto& text : row_texts(page)) rows.push_back(std::move(text));
    if (!page.more) return rows;
    EXPECT_EQ(page.rows.size(), static_cast<size_t>(size))
        << "a page short of its limit, more after";
    EXPECT_EQ(page.next_key.empty(), !pager.by_key());
    offset = page.next_offset;
    key = page.next_key;
  }
  ADD_FAILURE() << "no last page";
  return rows;
}

class PagerTest : public ::testing::Test {
 protected:
  void open(const FixtureDb& file) {
    db_ = std::make_unique<Database>(file.path(), false);
    ASSERT_TRUE(db_->ok()) << last_error();
  }
  int32_t handle() const { return db_->handle(); }

  std::unique_ptr<Database> db_;
};

TEST_F(PagerTest, PagesOfAThreeRowTableSayWhetherMoreFollow) {
  const FixtureDb file(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);"
      "INSERT INTO t VALUES (1,'a'),(2,'b'),(3,'c');");
  open(file);
  struct Case {
    int32_t limit;
    int64_t offset;
    size_t rows;
    bool more;
  };
  const Case cases[] = {
      {1, 0, 1, true},  {2, 0, 2, true},  {3, 0, 3, false},      {4, 0, 3, false},
      {1, 2, 1, false}, {2, 1, 2, false}, {1, 1, 1, true},       {0, 0, 0, true},
      {0, 3, 0, false}, {5, 3, 0, false}, {100000, 0, 3, false},
  };
  for (const bool table : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(table ? "table" : "statement") + " limit " +
                   std::to_string(c.limit) + " offset " + std::to_string(c.offset));
      Pager pager = table ? Pager::for_table(handle(), "t")
                          : Pager::for_statement(handle(), "SELECT * FROM t ORDER BY id");
      Page page;
      std::string why;
      ASSERT_TRUE(pager.read(c.offset, "", c.limit, &page, &why)) << why;
      EXPECT_EQ(page.rows.size(), c.rows);
      EXPECT_EQ(page.more, c.more);
      EXPECT_EQ(page.next_offset, c.offset + static_cast<int64_t>(c.rows));
      EXPECT_EQ(page.columns, (std::vector<std::string>{"id", "v"}));
    }
  }
}

TEST_F(PagerTest, KeyPagesGiveTheRowsOffsetPagesGive) {
  // Gaps in the keys, keys that need quoting, negative and real values, a
  // table whose column takes the name rowid, and a page of the library's
  // most rows (which cannot carry a row beyond it).
  const FixtureDb file(
      "CREATE TABLE plain(a TEXT, b);"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 57)"
      "  INSERT INTO plain SELECT 'row ' || x, x * 0.5 FROM c;"
      "DELETE FROM plain WHERE rowid % 7 = 0;"
      "CREATE TABLE alias(id INTEGER PRIMARY KEY, v TEXT);"
      "INSERT INTO alias VALUES (-5,'neg'),(0,'zero'),(3,'three'),(1000000000000,'big'),(7,'x');"
      "CREATE TABLE composite(k TEXT, n INTEGER, w REAL, v, PRIMARY KEY(k, n, w)) WITHOUT ROWID;"
      "INSERT INTO composite VALUES ('it''s',1,0.1,1),('it''s',-2,0.1,2),('a',5,2.5,3),"
      "  ('a',5,-1e300,4),('',0,0,5),('ü',9,1.0000000000000002,6),('a',6,0,7),('z',1,1,8);"
      "CREATE TABLE named(rowid TEXT, v);"
      "INSERT INTO named VALUES ('c',1),('b',2),('a',3);"
      "CREATE TABLE many(id INTEGER PRIMARY KEY);"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100001)"
      "  INSERT INTO many SELECT x FROM c;");
  open(file);
  struct Case {
    const char* table;
    const char* in_order;  // the same rows by a statement, in key order
  };
  const Case cases[] = {
      {"plain", "SELECT * FROM plain ORDER BY rowid"},
      {"alias", "SELECT * FROM alias ORDER BY id"},
      {"composite", "SELECT * FROM composite ORDER BY k, n, w"},
      {"named", "SELECT * FROM named ORDER BY _rowid_"},
  };
  for (const Case& c : cases) {
    for (const int32_t size : {1, 2, 3, 1000}) {
      SCOPED_TRACE(std::string(c.table) + " by " + std::to_string(size));
      Pager by_key = Pager::for_table(handle(), c.table);
      const std::vector<std::string> keyed = all_rows(by_key, size);
      const std::vector<std::string> offset =
          all_rows(Pager::for_statement(handle(), c.in_order), size);
      EXPECT_EQ(keyed, offset);
      EXPECT_FALSE(keyed.empty());
      Page first;
      std::string why;
      ASSERT_TRUE(by_key.read(0, "", size, &first, &why)) << why;
      EXPECT_TRUE(by_key.by_key());
    }
  }
  const auto keyed = all_rows(Pager::for_table(handle(), "many"), SQLR_MAX_PAGE_ROWS);
  EXPECT_EQ(keyed.size(), 100001u);
  EXPECT_EQ(keyed.back(), "{\"id\":100001}");
  // Another order, a filter and a view page by offset, and agree too.
  EXPECT_EQ(
      all_rows(Pager::for_table(handle(), "alias", "id > 0", "v DESC"), 2),
      all_rows(Pager::for_statement(handle(), "SELECT * FROM alias WHERE id > 0 ORDER BY v DESC"),
               2));
  EXPECT_EQ(
      all_rows(Pager::for_table(handle(), "alias", "id > 0"), 2),
      all_rows(Pager::for_statement(handle(), "SELECT * FROM alias WHERE id > 0 ORDER BY id"), 2));
}

TEST_F(PagerTest, KeysThatAreNotLiteralsAreRefused) {
  const FixtureDb file(
      "CREATE TABLE t(k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
      "INSERT INTO t VALUES ('a',1),('b',2);"
      "CREATE TABLE secret(s); INSERT INTO secret VALUES ('hidden');");
  open(file);
  Pager pager = Pager::for_table(handle(), "t");
  for (const char* key :
       {"[\"'a') UNION SELECT s, s FROM secret --\"]", "[\"1 OR 1=1\"]", "[\"'a'\",\"'b'\"]", "[1]",
        "{}", "not json", "[\"'a''\"]", "[\"X'0'\"]", "[\"--\"]"}) {
    SCOPED_TRACE(key);
    Page page;
    std::string why;
    EXPECT_FALSE(pager.read(0, key, 10, &page, &why));
    EXPECT_EQ(why, "not a key of this table's pages");
  }
  Page page;
  std::string why;
  ASSERT_TRUE(pager.read(1, "[\"'a'\"]", 10, &page, &why)) << why;
  EXPECT_EQ(row_texts(page), (std::vector<std::string>{"{\"k\":\"b\",\"v\":2}"}));
}

TEST_F(PagerTest, APageHalvesAtTheCap) {
  // Rows of 20 MB (26.7 MB as Base64): four pass the 100 MB cap, two do not.
  const FixtureDb file(
      "CREATE VIEW big AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
      "WHERE x < 5) SELECT x, zeroblob(20000000) AS b FROM c;"
      "CREATE VIEW huge AS SELECT zeroblob(80000000) AS b;");
  open(file);
  for (const bool table : {false, true}) {
    SCOPED_TRACE(table ? "view" : "statement");
    Pager pager = table ? Pager::for_table(handle(), "big")
                        : Pager::for_statement(handle(), "SELECT * FROM big");
    Page page;
    std::string why;
    ASSERT_TRUE(pager.read(0, "", 3, &page, &why)) << why;
    EXPECT_EQ(page.rows.size(), 2u);  // 4 asked (3 and one beyond), 2 fit
    EXPECT_TRUE(page.more);
    EXPECT_EQ(page.next_offset, 2);
    // Later pages ask for what fitted (one row and one beyond), so each
    // still knows exactly whether more follow.
    int64_t offset = page.next_offset;
    size_t total = page.rows.size();
    while (page.more) {
      ASSERT_TRUE(pager.read(offset, "", 3, &page, &why)) << why;
      EXPECT_EQ(page.rows.size(), 1u);
      total += page.rows.size();
      offset = page.next_offset;
    }
    EXPECT_EQ(total, 5u);
  }
  Pager huge = Pager::for_statement(handle(), "SELECT * FROM huge");
  Page page;
  std::string why;
  EXPECT_FALSE(huge.read(0, "", 10, &page, &why));
  EXPECT_EQ(why, SQLR_MSG_RESULT_TOO_LARGE);
}

TEST_F(PagerTest, WritesThePageAsTheLibraryDoes) {
  const FixtureDb file(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, r REAL, b BLOB, s TEXT);"
      "INSERT INTO t VALUES (1, 0.1, x'0001', 'a\"b'),(2, 1e300, NULL, 'ü'),"
      "(9007199254740993, -0.0, x'', NULL);");
  open(file);
  const std::string sql = "SELECT id, r, b, s, id AS id FROM t ORDER BY id";
  for (const int32_t limit : {0, 1, 2, 3, 10}) {
    SCOPED_TRACE(limit);
    const Result library(sqlr_query(handle(), sql.c_str(), 0, limit));
    ASSERT_NE(library, nullptr) << last_error();
    Pager pager = Pager::for_statement(handle(), sql);
    Page page;
    std::string text, why;
    ASSERT_TRUE(pager.read(0, "", limit, &page, &why)) << why;
    ASSERT_TRUE(write_page_json(&page, limit, &text, &why)) << why;
    EXPECT_EQ(text, library.get());
    // A key page, whose key columns are left out, is written row by row.
    const Result in_order(sqlr_query(handle(), "SELECT * FROM t ORDER BY id", 0, limit));
    ASSERT_NE(in_order, nullptr) << last_error();
    Pager by_key = Pager::for_table(handle(), "t");
    ASSERT_TRUE(by_key.read(0, "", limit, &page, &why)) << why;
    ASSERT_TRUE(write_page_json(&page, limit, &text, &why)) << why;
    EXPECT_EQ(text, in_order.get());
  }
}

TEST_F(PagerTest, ATextPageIsTheLibrarysTextWithTheRowBeyondCut) {
  // Strings that look like the ends of rows and quotes after backslashes,
  // which a reader going back from the end must not take for either.
  const FixtureDb file(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, s TEXT);"
      "INSERT INTO t VALUES (1, '{\"a\":1},{'), (2, 'x\\'), (3, '\\\"}]'), (4, '}');");
  open(file);
  const std::string sql = "SELECT id, s, s AS s FROM t ORDER BY id";
  for (const int32_t limit : {0, 1, 2, 3, 4, 10}) {
    for (const int64_t offset : {0, 1, 3}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + " offset " + std::to_string(offset));
      const Result library(sqlr_query(handle(), sql.c_str(), static_cast<int32_t>(offset), limit));
      ASSERT_NE(library, nullptr) << last_error();
      Pager pager = Pager::for_statement(handle(), sql);
      Page page;
      std::string why;
      ASSERT_TRUE(pager.read_text(offset, limit, &page, &why)) << why;
      EXPECT_EQ(std::string(page.text.get(), page.rows_end) + page_json_ending(page, limit),
                library.get());
      const int64_t rows = std::max<int64_t>(0, std::min<int64_t>(limit, 4 - offset));
      EXPECT_EQ(page.next_offset, offset + rows);
      EXPECT_EQ(page.more, offset + rows < 4);
    }
  }
  Pager table = Pager::for_table(handle(), "t");
  Page page;
  std::string why;
  EXPECT_FALSE(table.read_text(0, 1, &page, &why));
}

TEST_F(PagerTest, ATypedStatementSaysEachValuesStorageClass) {
  const FixtureDb file(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, v);"
      "INSERT INTO t VALUES (1, x'00ff'), (2, 'text'), (3, 2.5), (4, NULL), (5, 7);");
  open(file);
  struct Case {
    const char* sql;
    std::vector<std::string> types;  // empty: untyped
    std::vector<std::string> columns;
  };
  const std::vector<std::string> by_row = {"ib", "it", "ir", "in", "ii"};
  const Case cases[] = {
      {"SELECT id, v FROM t ORDER BY id", by_row, {"id", "v"}},
      // The statement's end left off; repeated names kept as the library gives them.
      {"SELECT id, v AS id FROM t ORDER BY t.id ; -- the end\n", by_row, {"id", "id"}},
      // Not a statement that stands inside another: untyped, its rows all the same.
      {"EXPLAIN SELECT 1", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Pager pager = Pager::for_typed_statement(handle(), c.sql);
    Page page;
    std::string why;
    ASSERT_TRUE(pager.read(0, "", 3, &page, &why)) << why;
    const Result library(sqlr_query(handle(), c.sql, 0, 3));
    ASSERT_NE(library, nullptr) << last_error();
    Page plain;
    ASSERT_TRUE(Pager::for_statement(handle(), c.sql).read(0, "", 3, &plain, &why)) << why;
    EXPECT_EQ(row_texts(page), row_texts(plain));
    EXPECT_EQ(page.more, plain.more);
    // Only BLOBs are told apart: they alone look like text in the JSON.
    const auto blobs = [](const Page& p, size_t rows) {
      std::vector<std::string> marks;
      for (size_t i = 0; i < rows; ++i) {
        std::string m;
        for (size_t col = 0; col < p.columns.size(); ++col) m += p.is_blob(i, col) ? 'b' : '-';
        marks.push_back(m);
      }
      return marks;
    };
    const auto expected = [&](size_t from, size_t rows) {
      std::vector<std::string> marks;
      for (size_t i = from; i < from + rows; ++i) {
        std::string m;
        for (const char t : c.types[i]) m += t == 'b' ? 'b' : '-';
        marks.push_back(m);
      }
      return marks;
    };
    if (c.types.empty()) {
      EXPECT_EQ(page.blob_words, 0u);
      continue;
    }
    EXPECT_EQ(page.columns, c.columns);
    EXPECT_EQ(blobs(page, 3), expected(0, 3));
    // Later pages too, and the page written as the library writes it.
    ASSERT_TRUE(pager.read(3, "", 3, &page, &why)) << why;
    ASSERT_EQ(page.rows.size(), 2u);
    EXPECT_EQ(blobs(page, 2), expected(3, 2));
    EXPECT_FALSE(page.more);
    std::string text;
    ASSERT_TRUE(write_page_json(&page, 3, &text, &why)) << why;
    const Result second(sqlr_query(handle(), c.sql, 3, 3));
    EXPECT_EQ(text, second.get());
  }
}

TEST_F(PagerTest, BlobMarksReachPastOneWordOfColumns) {
  const FixtureDb file("CREATE TABLE t(x);");
  open(file);
  // 130 columns: three words of marks, BLOBs at each word's edges.
  const std::vector<size_t> blob_at = {0, 61, 62, 123, 124, 129};
  std::string sql = "SELECT ";
  for (size_t c = 0; c < 130; ++c) {
    const bool blob = std::find(blob_at.begin(), blob_at.end(), c) != blob_at.end();
    sql += (c > 0 ? ", " : "") + std::string(blob ? "x'01'" : "'t'") + " AS c" + std::to_string(c);
  }
  Pager pager = Pager::for_typed_statement(handle(), sql);
  Page page;
  std::string why;
  ASSERT_TRUE(pager.read(0, "", 10, &page, &why)) << why;
  ASSERT_EQ(page.columns.size(), 130u);
  ASSERT_EQ(page.rows.size(), 1u);
  EXPECT_EQ(yyjson_obj_size(page.rows[0]), 130u);
  for (size_t c = 0; c < 130; ++c) {
    const bool blob = std::find(blob_at.begin(), blob_at.end(), c) != blob_at.end();
    EXPECT_EQ(page.is_blob(0, c), blob) << c;
  }
}

TEST_F(PagerTest, AMissingTableFailsOnRead) {
  const FixtureDb file("CREATE TABLE t(x);");
  open(file);
  Pager pager = Pager::for_table(handle(), "nowhere");
  Page page;
  std::string why;
  EXPECT_FALSE(pager.read(0, "", 10, &page, &why));
  EXPECT_EQ(why, std::string(SQLR_MSG_TABLE_NOT_FOUND) + ": nowhere");
}

}  // namespace
}  // namespace kestrova::tools
