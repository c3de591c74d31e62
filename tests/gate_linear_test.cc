// The statement gate on hostile texts of 16 MB: shapes that make a scan which
// searches ahead from each of many places read the text once per place. Each
// is judged by the classifier and through sqlr_query and sqlr_exec. Nothing
// here is timed: CTest's TIMEOUT on this program (tests/robustness.cmake)
// stops a gate that has gone quadratic again, which would take hours here.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard_gate.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;
using sqlr_test::Result;

constexpr size_t kTextBytes = 16 * 1000 * 1000;

// `unit` repeated after `head` until the text holds at least kTextBytes.
std::string Repeat(std::string head, const std::string& unit) {
  head.reserve(kTextBytes + unit.size());
  while (head.size() < kTextBytes) head += unit;
  return head;
}

struct HostileShape {
  const char* name;
  std::string (*make)();
  int verdict;
};

const HostileShape kShapes[] = {
    // Variables whose "(...)" suffix never closes.
    {"DollarSuffixes", [] { return Repeat("SELECT ", "$a("); }, SQLR_SQL_READ},
    {"ColonSuffixes", [] { return Repeat("SELECT ", ":a("); }, SQLR_SQL_READ},
    {"AtSuffixesBeforeASecondStatement",
     [] { return Repeat("SELECT ", "@a(") + " ; DELETE FROM t"; }, SQLR_SQL_READ},
    // One long variable name of "::" steps with an unclosed suffix: every step
    // of the refused name starts a variable of the same name.
    {"ColonPairName", [] { return Repeat("SELECT :a", "::a") + "("; }, SQLR_SQL_READ},
    // Square brackets that never close, then a second statement that the
    // scan must still find.
    {"OpenBrackets", [] { return Repeat("SELECT ", "["); }, SQLR_SQL_READ},
    {"OpenBracketsBeforeASecondStatement", [] { return Repeat("SELECT ", "[") + ";DELETE FROM t"; },
     SQLR_SQL_REJECT},
    // Many tokens, then a run that never ends: scan and common-table walk
    // both read to the end.
    {"QuoteAfterTokens", [] { return Repeat("WITH t AS (SELECT ", "a1, ") + "'x"; },
     SQLR_SQL_REJECT},
    {"CommentAfterTokens", [] { return Repeat("WITH t AS (SELECT ", "a1, ") + "/* x"; },
     SQLR_SQL_REJECT},
    {"LineCommentAfterTokens", [] { return Repeat("SELECT ", "a1, ") + "-- x"; }, SQLR_SQL_READ},
    // A common table nested half the text deep.
    {"DeepParentheses",
     [] {
       const size_t depth = kTextBytes / 2;
       return "WITH t AS " + std::string(depth, '(') + "SELECT 1" + std::string(depth, ')') +
              " DELETE FROM t";
     },
     SQLR_SQL_DELETE},
    // A long WITH list of bracketed names spelled like keywords.
    {"BracketedNames",
     [] {
       std::string text = "WITH [select 0] AS (SELECT 1)";
       for (int i = 1; text.size() < kTextBytes; ++i) {
         text += ", [select " + std::to_string(i) + "] AS (SELECT 1)";
       }
       return text + " UPDATE t SET a = 1";
     },
     SQLR_SQL_UPDATE},
};

// Names a shape in test output, instead of its bytes.
void PrintTo(const HostileShape& shape, std::ostream* os) { *os << shape.name; }

class SqlGateHostileText : public ::testing::TestWithParam<HostileShape> {};

// The verdict, and the same verdict on both library paths: with handle -1 the
// call fails on the handle only after the gate has let the text through.
TEST_P(SqlGateHostileText, IsJudgedOnEveryPath) {
  const HostileShape& shape = GetParam();
  const std::string text = shape.make();
  ASSERT_GE(text.size(), kTextBytes);
  EXPECT_EQ(sqlr_classify_sql(text.c_str()), shape.verdict);

  EXPECT_EQ(Result(sqlr_query(-1, text.c_str(), 0, -1)), nullptr);
  EXPECT_EQ(last_error(), shape.verdict == SQLR_SQL_READ
                              ? "invalid handle"
                              : "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed");

  const bool writes = shape.verdict == SQLR_SQL_UPDATE || shape.verdict == SQLR_SQL_DELETE;
  EXPECT_EQ(sqlr_exec(-1, text.c_str()), -1);
  EXPECT_EQ(last_error(), writes ? "invalid handle" : "exec rejected: only UPDATE/DELETE allowed");
}

INSTANTIATE_TEST_SUITE_P(Shapes, SqlGateHostileText, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<HostileShape>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
