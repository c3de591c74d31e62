// instr() and replace() as the library registers them, against the engine's
// built-ins on a connection of its own, where they are not replaced.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"

namespace {

using sqlr_test::last_error;
using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::text;

class LinearFunctionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("f.db");
    sqlr_test::make_db(path_,
                       "CREATE TABLE v(k TEXT PRIMARY KEY, x);"
                       "INSERT INTO v VALUES ('text', 'h\xC3\xA9llo w\xC3\xB6rld \xE2\x82\xAC!'),"
                       " ('blob', x'00610062C3A90061'), ('int', 12341234), ('real', 2.5),"
                       " ('null', NULL);");
    db_ = std::make_unique<OpenDb>(path_, 0);
    ASSERT_GE(db_->handle(), 0) << last_error();
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &raw_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(raw_); }

  // The built-in's result of `expr` as hex(quote(...)), or "error: " and its message.
  std::string builtin(const std::string& expr) {
    const std::string sql = "SELECT hex(quote(" + expr + "))";
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(raw_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    } else {
      out = std::string("error: ") + sqlite3_errmsg(raw_);
    }
    sqlite3_finalize(stmt);
    return out;
  }

  // The library's result of `expr`, in the same form.
  std::string ours(const std::string& expr) {
    const std::string sql = "SELECT hex(quote(" + expr + ")) AS h";
    Result r(sqlr_query(db_->handle(), sql.c_str(), 0, 1));
    if (!r) return "error: " + last_error();
    const std::string json = text(r);
    const std::string head = R"({"columns":["h"],"rows":[{"h":")";
    const size_t end = json.find('"', head.size());
    if (json.compare(0, head.size(), head) != 0 || end == std::string::npos) return json;
    return json.substr(head.size(), end - head.size());
  }

  sqlr_test::TempDir dir_;
  std::string path_;
  std::unique_ptr<OpenDb> db_;
  sqlite3* raw_ = nullptr;
};

#define V(key) "(SELECT x FROM v WHERE k = '" key "')"

TEST_F(LinearFunctionsTest, AnswersAsTheBuiltIns) {
  const char* const cases[] = {
      // instr: text
      "instr('hello', 'l')",
      "instr('hello', 'lo')",
      "instr('hello', 'h')",
      "instr('hello', 'o')",
      "instr('hello', 'hello')",
      "instr('hello', 'helloo')",
      "instr('hello', 'z')",
      "instr('', 'a')",
      "instr('', '')",
      "instr('abc', '')",
      "instr('aaaa', 'aaa')",
      "instr('abababac', 'ababac')",
      "instr('aabaabaaab', 'aaab')",
      "instr(" V("text") ", 'w\xC3\xB6r')",
      "instr(" V("text") ", '\xE2\x82\xAC')",
      "instr(" V("text") ", '!')",
      "instr(" V("text") ", 'rld \xE2\x82\xAC!')",
      "instr('\xC3\xA9\xC3\xA9\xC3\xA9x', 'x')",
      "instr('\xE2\x82\xAC\xE2\x82\xAC', '\x82\xAC')",
      "instr('\xC3\xA9' || 'a', CAST(x'A961' AS TEXT))",
      // instr: BLOBs, mixed, numbers
      "instr(x'00010203', x'0203')",
      "instr(x'00010203', x'02')",
      "instr(x'0001', x'0100')",
      "instr(x'', x'')",
      "instr(x'00', x'')",
      "instr(" V("blob") ", x'C3A9')",
      "instr(" V("blob") ", x'00')",
      "instr(" V("blob") ", 'b')",
      "instr(" V("text") ", x'C3B6')",
      "instr(" V("blob") ", 'a\xC3\xA9')",
      "instr('xabc', x'6263')",
      "instr(12341234, 41)",
      "instr(" V("int") ", '23')",
      "instr(2.5, '.')",
      "instr(" V("real") ", 5)",
      "instr(123, 4)",
      "instr(1e100, 'e')",
      // instr: NULLs
      "instr(NULL, 'a')",
      "instr('a', NULL)",
      "instr(NULL, NULL)",
      "instr(" V("null") ", '')",
      "instr('', " V("null") ")",
      "instr(x'00', NULL)",
      // replace: text
      "replace('hello', 'l', 'L')",
      "replace('hello', 'l', '')",
      "replace('hello', 'hello', 'x')",
      "replace('hi', 'hello', 'x')",
      "replace('aaaa', 'aa', 'b')",
      "replace('aaaaa', 'aa', 'aaa')",
      "replace('abc', '', 'x')",
      "replace('', 'a', 'b')",
      "replace('', '', 'b')",
      "replace('abcabc', 'c', 'cc')",
      "replace('xyz', 'q', 'r')",
      "replace(" V("text") ", '\xC3\xB6', 'o')",
      "replace(" V("text") ", '\xE2\x82\xAC', 'EUR')",
      "replace(" V("text") ", 'l', '\xF0\x9F\x98\x80')",
      // replace: BLOBs, numbers
      "replace(" V("blob") ", 'a', 'zz')",
      "replace(x'610061', x'61', x'6262')",
      "replace(x'00', x'00', 'a')",
      "replace(12341234, 34, 5)",
      "replace(" V("int") ", '1', '')",
      "replace(2.5, '.', ',')",
      "replace(" V("real") ", 2, 3.5)",
      "replace(100, 0, 0)",
      // replace: NULLs, and an empty Y before a NULL Z
      "replace(NULL, 'a', 'b')",
      "replace('a', NULL, 'b')",
      "replace('a', 'a', NULL)",
      "replace('a', '', NULL)",
      "replace('a', 'b', NULL)",
      "replace(NULL, '', NULL)",
      "replace(" V("null") ", '', '')",
      "replace('a', " V("null") ", '')",
  };
  for (const char* expr : cases) {
    EXPECT_EQ(ours(expr), builtin(expr)) << expr;
  }
}

TEST_F(LinearFunctionsTest, ReplaceRefusesAResultAboveTheValueBound) {
  // 10^8 matches, each growing the result by ten bytes: 1.1e9 bytes in all.
  EXPECT_EQ(ours("replace(printf('%.*c', 100000000, 'a'), 'a', 'aaaaaaaaaaa')"),
            "error: query failed: string or blob too big");
  // The same shape that ends just inside the bound is built.
  EXPECT_EQ(ours("length(replace(printf('%.*c', 1000000, 'a'), 'a', 'aaaaaaaaaaa'))"),
            "3131303030303030");  // hex(quote(11000000))
}

TEST_F(LinearFunctionsTest, WorstShapeForANaiveSearchAnswers) {
  // At every one of the 25 million start positions a naive search compares 25
  // million bytes before the final 'b' differs.
  EXPECT_EQ(ours("instr(printf('%.*c', 50000000, 'a'), printf('%.*c', 24999999, 'a') || 'b')"),
            "30");  // hex(quote(0))
  EXPECT_EQ(ours("length(replace(printf('%.*c', 50000000, 'a'),"
                 " printf('%.*c', 24999999, 'a') || 'b', 'x'))"),
            "3530303030303030");  // hex(quote(50000000))
}

}  // namespace
