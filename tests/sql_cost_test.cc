// The token count that bounds a statement's compile time: what counts as one
// token, where counting stops, and texts that would make a careless scanner
// read them more than once.
#include "kestrova_sqlr/sql_cost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

TEST(SqlCostTest, CountsEachLiteralNameWordAndSymbolOnce) {
  struct Case {
    const char* sql;
    int64_t tokens;
  };
  const Case cases[] = {
      {"", 0},
      {"   \t\n", 0},
      {"SELECT 1", 2},
      {"SELECT a+b FROM t", 6},
      {"SELECT 'it''s a ; -- literal'", 2},
      {"SELECT \"a \"\" name\", `b`, [c d]", 6},
      {"SELECT 1 -- the rest is a comment ; DELETE", 2},
      {"/* a comment */ SELECT /**/ 1", 2},
      {"SELECT x'00ff'", 3},           // SQLite's x is a name here, then a literal
      {"SELECT \xc3\xa4\xc3\xb6", 2},  // a name of letters beyond ASCII
      {"SELECT 'unterminated", 2},
      {"SELECT 1 /* unterminated", 2},
      {"SELECT [unterminated", 2},
      {"a||b", 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sqlr_sql_tokens(c.sql, 1000), c.tokens) << c.sql;
  }
}

TEST(SqlCostTest, StopsCountingOnePastTheMost) {
  EXPECT_EQ(sqlr_sql_tokens("a b c d e f", 2), 3);
  EXPECT_EQ(sqlr_sql_tokens("a b", 2), 2);
  EXPECT_EQ(sqlr_sql_tokens("a b c", 2), 3);
}

// A literal is one token however long, so a 16 MB literal costs what a short
// one does; runs of openers that never close are read once (the test's time
// limit would catch a scan that starts again at each).
TEST(SqlCostTest, LongTextsAreReadOnce) {
  constexpr size_t kBig = 16u << 20;
  EXPECT_EQ(sqlr_sql_tokens(("SELECT '" + std::string(kBig, 'x') + "'").c_str(), 100), 2);
  EXPECT_EQ(sqlr_sql_tokens(std::string(kBig, '[').c_str(), 100), 1);
  EXPECT_EQ(sqlr_sql_tokens(std::string(kBig, '"').c_str(), 100), 1);  // doubled quotes
  EXPECT_EQ(sqlr_sql_tokens(("/*" + std::string(kBig, '*')).c_str(), 100), 0);
  EXPECT_EQ(sqlr_sql_tokens(std::string(kBig, '(').c_str(), 100), 101);
}

}  // namespace
