// The statement gate: the lexical helpers (noise, tokens, keywords) and the
// classifier's verdicts, including texts built to disguise the main statement
// of a WITH list, checked where possible against SQLite's own reading.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "kestrova_sqlr/guard_gate.h"
#include "verdict_name.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define SQLR_TEST_HAS_GUARD_PAGE 1
#endif

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using scan::kw_eq;
using scan::next_token;

// Bytes outside ASCII, named so that the tables read clearly.
const std::string kNbsp = "\xA0";         // no-break space in Latin-1: not whitespace here
const std::string kBom = "\xEF\xBB\xBF";  // UTF-8 byte order mark
const std::string kEAcute = "\xC3\xA9";   // e with acute accent in UTF-8

// Shows a text with its control and non-ASCII bytes escaped.
std::string Printable(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A position operation applied to `text`, given as the offset of the result,
// or -1 when it points outside the text (which must never happen).
long OffsetOf(const char* (*op)(const char*), const std::string& text) {
  const char* r = op(text.c_str());
  if (r < text.c_str() || r > text.c_str() + text.size()) return -1;
  return static_cast<long>(r - text.c_str());
}

const char* SkipNoise(const char* p) { return sqlr_skip_noise(p); }
const char* NextToken(const char* p) { return next_token(p); }

// A text and what is left of it at the position an operation returns.
struct RestCase {
  std::string text;
  std::string rest;
};

void ExpectRests(const char* (*op)(const char*), const std::vector<RestCase>& cases) {
  for (const RestCase& c : cases) {
    SCOPED_TRACE(Printable(c.text));
    ASSERT_LE(c.rest.size(), c.text.size());
    ASSERT_EQ(c.text.substr(c.text.size() - c.rest.size()), c.rest) << "bad test row";
    EXPECT_EQ(OffsetOf(op, c.text), static_cast<long>(c.text.size() - c.rest.size()))
        << "left " << Printable(op(c.text.c_str()));
  }
}

// ---------------------------------------------------------------------------
// Character classes, tried on every byte.

const std::string kSixSpaces = " \t\n\v\f\r";

bool IsWordByte(unsigned b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_';
}

TEST(SqlGateCharClasses, OnlyTheSixCLocaleSpacesAreWhitespace) {
  for (unsigned b = 1; b < 256; ++b) {
    const std::string text = {static_cast<char>(b), 'x'};
    const bool space = kSixSpaces.find(static_cast<char>(b)) != std::string::npos;
    EXPECT_EQ(OffsetOf(SkipNoise, text), space ? 1 : 0) << "byte " << b;
  }
}

TEST(SqlGateCharClasses, OnlyAsciiLettersDigitsAndUnderscoreEndNoKeyword) {
  for (unsigned b = 1; b < 256; ++b) {
    const std::string text = {'a', static_cast<char>(b)};
    EXPECT_EQ(kw_eq(text.c_str(), "a"), IsWordByte(b) ? 0 : 1) << "byte " << b;
  }
}

TEST(SqlGateCharClasses, TokenDelimitersAreExactlyTheListedOnes) {
  // "a" + byte + "z": a delimiter ends the token at the byte (whitespace is
  // then passed over), any other byte joins the token, which runs to the end.
  const std::string stop_here = "/(),;";
  for (unsigned b = 1; b < 256; ++b) {
    const std::string text = {'a', static_cast<char>(b), 'z'};
    long expected = 3;
    if (kSixSpaces.find(static_cast<char>(b)) != std::string::npos) expected = 2;
    if (stop_here.find(static_cast<char>(b)) != std::string::npos) expected = 1;
    EXPECT_EQ(OffsetOf(NextToken, text), expected) << "byte " << b;
  }
}

// ---------------------------------------------------------------------------
// sqlr_skip_noise

TEST(SqlGateSkipNoise, NullGivesNull) { EXPECT_EQ(sqlr_skip_noise(nullptr), nullptr); }

TEST(SqlGateSkipNoise, PassesOverWhitespaceAndComments) {
  ExpectRests(SkipNoise, {
                             {"", ""},
                             {"  a", "a"},
                             {" \t\n\v\f\rx", "x"},
                             {"-- x\n a", "a"},
                             {"-- a\r\nb", "b"},  // the CR lies inside the comment
                             {"-- a\n-- b\nc", "c"},
                             {"/**/a", "a"},
                             {"/* a **/b", "b"},
                             {"/* * / */c", "c"},
                             {"/*a*/ /*b*/ -- c\n d", "d"},
                         });
}

TEST(SqlGateSkipNoise, UnterminatedCommentsRunToTheEnd) {
  ExpectRests(SkipNoise, {
                             {"--x", ""},
                             {"--", ""},
                             {"/*", ""},
                             {"/* x", ""},
                             {"/* x *", ""},
                             {"/*/", ""},
                             {"/*/ a */b", "b"},  // the opening asterisk does not close
                         });
}

TEST(SqlGateSkipNoise, StopsAtEverythingElse) {
  ExpectRests(SkipNoise, {
                             {"- a", "- a"},
                             {"-", "-"},
                             {"/ a", "/ a"},
                             {"/", "/"},
                             {"*/a", "*/a"},
                             {kNbsp + "a", kNbsp + "a"},
                             {"\x85x", "\x85x"},
                             {kBom + "a", kBom + "a"},
                             {"  \x1C", "\x1C"},
                         });
}

// ---------------------------------------------------------------------------
// next_token

TEST(SqlGateNextToken, StepsOverOneTokenAndTheNoiseAfterIt) {
  ExpectRests(NextToken, {
                             {"abc def", "def"},
                             {"  abc  def", "def"},
                             {"abc(def", "(def"},
                             {"a,b", ",b"},
                             {"a;b", ";b"},
                             {"a-b c", "c"},
                             {"a-", ""},
                             {"a--b\nc", "c"},
                             {"a/b", "/b"},
                             {"a/*x*/b", "b"},
                             {"a/*x", ""},
                             {" -- c\n abc /* c */ d", "d"},
                             {"abc  ", ""},
                             {"", ""},
                         });
}

TEST(SqlGateNextToken, QuotesBracketsAndHighBytesAreTokenCharacters) {
  ExpectRests(NextToken, {
                             {"'a b' c", "b' c"},
                             {"\"a b\" c", "b\" c"},
                             {"[a b] c", "b] c"},
                             {"a.b$c c", "c"},
                             {"a" + kNbsp + "b c", "c"},
                         });
}

TEST(SqlGateNextToken, NeverStepsOverADelimiter) {
  ExpectRests(NextToken, {
                             {"(abc", "(abc"},
                             {")x", ")x"},
                             {",x", ",x"},
                             {";x", ";x"},
                             {"/ x", "/ x"},
                             {"  (x", "(x"},
                         });
}

// ---------------------------------------------------------------------------
// kw_eq

struct KwCase {
  std::string text;
  const char* kw;
  int expected;
};

TEST(SqlGateKwEq, MatchesWholeWordsInAnyAsciiCase) {
  const std::vector<KwCase> cases = {
      {"SELECT", "select", 1},         {"SeLeCt x", "select", 1},   {"select(", "select", 1},
      {"select;", "select", 1},        {"select-", "select", 1},    {"select.", "select", 1},
      {"select\t", "select", 1},       {"select'", "select", 1},    {"select$", "select", 1},
      {"select\x80", "select", 1},     {"select\xA0", "select", 1}, {"select\xFF", "select", 1},
      {"EXPLAIN QUERY", "explain", 1},
  };
  for (const KwCase& c : cases) {
    EXPECT_EQ(kw_eq(c.text.c_str(), c.kw), c.expected) << Printable(c.text) << " / " << c.kw;
  }
}

TEST(SqlGateKwEq, RefusesLongerWordsShortTextsAndFoldedHighBytes) {
  const std::vector<KwCase> cases = {
      {"select_", "select", 0},
      {"select1", "select", 0},
      {"selectx", "select", 0},
      {"selectX", "select", 0},
      {"sel", "select", 0},
      {"selec", "select", 0},
      {"", "select", 0},
      {" select", "select", 0},
      {"\xD3" + std::string("ELECT"), "select", 0},
      {"\xF3" + std::string("elect"), "select", 0},  // 's' with the high bit set is not 's'
      {"[select]", "select", 0},
  };
  for (const KwCase& c : cases) {
    EXPECT_EQ(kw_eq(c.text.c_str(), c.kw), c.expected) << Printable(c.text) << " / " << c.kw;
  }
}

// ---------------------------------------------------------------------------
// sqlr_classify_sql

struct VerdictCase {
  std::string text;
  int verdict;
};

void ExpectVerdicts(const std::vector<VerdictCase>& cases) {
  for (const VerdictCase& c : cases) {
    const int got = sqlr_classify_sql(c.text.c_str());
    EXPECT_EQ(got, c.verdict) << Printable(c.text) << " gave " << sqlr_test::verdict_name(got)
                              << ", expected " << sqlr_test::verdict_name(c.verdict);
  }
}

const std::vector<VerdictCase>& PlainStatementCases() {
  static const std::vector<VerdictCase> cases = {
      {"", SQLR_SQL_REJECT},
      {"-- note", SQLR_SQL_REJECT},
      {"/* note */", SQLR_SQL_REJECT},
      {"/* unterminated", SQLR_SQL_REJECT},
      {" \t\n", SQLR_SQL_REJECT},
      {"  /* c */ -- c\n select * from t", SQLR_SQL_READ},
      {"sElEcT 1", SQLR_SQL_READ},
      {"SELECT", SQLR_SQL_READ},
      {"SELECT(1)", SQLR_SQL_READ},
      {"SELECT_1", SQLR_SQL_REJECT},
      {"SELECT1", SQLR_SQL_REJECT},
      {"selectx", SQLR_SQL_REJECT},
      {"VALUES (1),(2)", SQLR_SQL_READ},
      {"UPDATE t SET a = 1", SQLR_SQL_UPDATE},
      {"DELETE FROM t", SQLR_SQL_DELETE},
      {"delete", SQLR_SQL_DELETE},
      {"update_log", SQLR_SQL_REJECT},
      {"INSERT INTO t VALUES (1)", SQLR_SQL_REJECT},
      {"REPLACE INTO t VALUES (1)", SQLR_SQL_REJECT},
      {"PRAGMA table_info(t)", SQLR_SQL_REJECT},
      {"ATTACH DATABASE 'x' AS y", SQLR_SQL_REJECT},
      {"CREATE TABLE t(a)", SQLR_SQL_REJECT},
      {"DROP TABLE t", SQLR_SQL_REJECT},
      {"BEGIN", SQLR_SQL_REJECT},
      {"(SELECT 1)", SQLR_SQL_REJECT},
      {"'SELECT'", SQLR_SQL_REJECT},
      {"\xA0SELECT 1", SQLR_SQL_REJECT},
      {"SELECT\x80", SQLR_SQL_READ},
      {"SELECT\xFF 1", SQLR_SQL_READ},
  };
  return cases;
}

const std::vector<VerdictCase>& SecondStatementCases() {
  static const std::vector<VerdictCase> cases = {
      {"SELECT 1;", SQLR_SQL_READ},
      {"SELECT 1;  -- done", SQLR_SQL_READ},
      {"SELECT 1; /* unterminated", SQLR_SQL_READ},
      {"SELECT 1;;", SQLR_SQL_REJECT},
      {"SELECT 1; SELECT 2", SQLR_SQL_REJECT},
      {"SELECT 1;DELETE FROM t", SQLR_SQL_REJECT},
      {"SELECT ';' AS a", SQLR_SQL_READ},
      {"SELECT 'it''s; fine'", SQLR_SQL_READ},
      {"SELECT \"a;b\"", SQLR_SQL_READ},
      {"SELECT `a;b`", SQLR_SQL_READ},
      {"SELECT \"a\"\";b\"", SQLR_SQL_READ},
      {"SELECT 'a'';' ; DELETE FROM t", SQLR_SQL_REJECT},
      {"SELECT 1 -- ; DELETE FROM t", SQLR_SQL_READ},
      {"SELECT 1 -- c\n; DELETE FROM t", SQLR_SQL_REJECT},
      {"SELECT 1 /* ; DELETE FROM t */", SQLR_SQL_READ},
      {"SELECT 1 /* c */; DELETE FROM t", SQLR_SQL_REJECT},
      {"SELECT (1;2)", SQLR_SQL_READ},
      {"SELECT 1); DELETE FROM t", SQLR_SQL_REJECT},
      {"SELECT [a;b] FROM t", SQLR_SQL_REJECT},
      {"SELECT 'abc; DELETE FROM t", SQLR_SQL_READ},
      {"SELECT \"abc; DELETE FROM t", SQLR_SQL_READ},
      // The scan runs before any keyword is looked at, whatever the first
      // statement is.
      {"WITH x AS (SELECT 1) SELECT 1; DELETE FROM t", SQLR_SQL_REJECT},
      {"EXPLAIN SELECT 1; DELETE FROM t", SQLR_SQL_REJECT},
      {"DELETE FROM t; SELECT 1", SQLR_SQL_REJECT},
  };
  return cases;
}

const std::vector<VerdictCase>& ExplainCases() {
  static const std::vector<VerdictCase> cases = {
      {"EXPLAIN SELECT 1", SQLR_SQL_READ},
      {"EXPLAIN QUERY PLAN SELECT 1", SQLR_SQL_READ},
      {"EXPLAIN VALUES (1)", SQLR_SQL_READ},
      {"EXPLAIN /* c */ QUERY -- c\n PLAN SELECT 1", SQLR_SQL_READ},
      {"explain query plan with x as (select 1) select * from x", SQLR_SQL_READ},
      {"EXPLAIN WITH x AS (SELECT 1) DELETE FROM t", SQLR_SQL_READ},
      {"EXPLAIN QUERY SELECT 1", SQLR_SQL_READ},
      {"EXPLAIN UPDATE t SET a = 1", SQLR_SQL_REJECT},
      {"EXPLAIN DELETE FROM t", SQLR_SQL_REJECT},
      {"EXPLAIN QUERY PLAN UPDATE t SET a = 1", SQLR_SQL_REJECT},
      {"EXPLAIN PLAN SELECT 1", SQLR_SQL_REJECT},
      {"EXPLAIN", SQLR_SQL_REJECT},
      {"EXPLAIN EXPLAIN SELECT 1", SQLR_SQL_REJECT},
      {"EXPLAIN(SELECT 1)", SQLR_SQL_REJECT},
      {"EXPLAIN selectx", SQLR_SQL_REJECT},
  };
  return cases;
}

const std::vector<VerdictCase>& CommonTableCases() {
  static const std::vector<VerdictCase> cases = {
      {"WITH x AS (SELECT 1) SELECT * FROM x", SQLR_SQL_READ},
      {"WITH a AS (SELECT 1), b AS (SELECT 2) SELECT * FROM a, b", SQLR_SQL_READ},
      {"WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM c WHERE n<5) SELECT n FROM c",
       SQLR_SQL_READ},
      {"WITH x(a) AS (VALUES (1)) SELECT a FROM x", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) VALUES (1)", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) EXPLAIN SELECT 1", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1)SELECT 1", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) /* c */ SELECT 1", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) UPDATE t SET a = 1", SQLR_SQL_UPDATE},
      {"WITH x AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1)) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 'a)b') DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1) REPLACE INTO t SELECT * FROM x", SQLR_SQL_REJECT},
      {"WITH", SQLR_SQL_REJECT},
      {"WITH RECURSIVE", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1)", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1) PRAGMA foo", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1) selectx", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 'a) SELECT 1", SQLR_SQL_REJECT},
      {"WITH \"update\" AS (SELECT 1) SELECT * FROM \"update\"", SQLR_SQL_READ},
      {"WITH myselect AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x_delete AS (SELECT 1) INSERT INTO t SELECT * FROM x_delete", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1 -- it's\n) SELECT * FROM x", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1 /* ) SELECT */ ) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1 /* unterminated", SQLR_SQL_REJECT},
      {"with x as (select 1) delete from t", SQLR_SQL_DELETE},
  };
  return cases;
}

// Texts built so that something other than the main statement's keyword
// stands first at depth 0: a common-table name spelled like a keyword, a
// bracketed or otherwise quoted run that hides a parenthesis, a variable whose
// "(...)" suffix hides a parenthesis or a quote, a byte order mark. The
// verdict is the one SQLite's grammar implies; every row with a verdict other
// than REJECT is a text SQLite compiles, and the engine test below checks that
// it compiles to that kind of statement.
const std::vector<VerdictCase>& DisguisedStatementCases() {
  static const std::vector<VerdictCase> cases = {
      // Names spelled like keywords. EXPLAIN and REPLACE fall back to plain
      // names in SQLite; SELECT, UPDATE and the rest need quotes or brackets.
      {"WITH explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH ExPlAiN AS (SELECT 1) UPDATE t SET a = 1", SQLR_SQL_UPDATE},
      {"WITH replace AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH replace AS (SELECT 1) SELECT * FROM replace", SQLR_SQL_READ},
      {"WITH explain AS (SELECT 1) INSERT INTO t SELECT * FROM explain", SQLR_SQL_REJECT},
      {"WITH [select] AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH [update] AS (SELECT 1) INSERT INTO t VALUES (1)", SQLR_SQL_REJECT},
      {"WITH [delete] AS (SELECT 1) REPLACE INTO t VALUES (1)", SQLR_SQL_REJECT},
      {"WITH [a select] AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH \"a select\" AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH 'select' AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH `select` AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH `a``select` AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH \"a \"\" select\"\" \" AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      // Without a blank after WITH (or RECURSIVE) a token boundary falls inside
      // the quoted name; the walk must start right after the keyword.
      {"WITH\"a \"\" select\"\" \"AS(SELECT 1)DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH RECURSIVE\"a \"\" select\"\" \"AS(SELECT 1)DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH[a select]AS(SELECT 1)DELETE FROM t", SQLR_SQL_DELETE},
      // '$' and the bytes 0x80-0xFF are identifier characters to SQLite.
      {"WITH t$select AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH " + kEAcute + "select AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH select" + kEAcute + " AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1), " + kEAcute + "explain AS (SELECT 2) DELETE FROM t", SQLR_SQL_DELETE},
      // Noise between WITH, RECURSIVE and the name.
      {"WITH /* c */ explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH -- c\n explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH/**/explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH RECURSIVE explain(n) AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH RECURSIVE/* c */[select](n) AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"with recursive recursive AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      // A later common table named like a keyword.
      {"WITH a AS (SELECT 1), explain AS (SELECT 2) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH a AS (SELECT 1),[select] AS (SELECT 2) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH a AS (SELECT 1) , /* c */ explain AS (SELECT 2) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH a AS (SELECT 1), b AS (SELECT 2), explain AS (SELECT 3) UPDATE t SET a = 1",
       SQLR_SQL_UPDATE},
      {"WITH a AS (SELECT 1), 'delete' AS (SELECT 2) SELECT 1", SQLR_SQL_READ},
      {"WITH a AS (SELECT 1), \"x\"\"select\" AS (SELECT 2) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH a AS (SELECT 1), [values] AS (SELECT 2) INSERT INTO t SELECT 1", SQLR_SQL_REJECT},
      // MATERIALIZED hints and column lists.
      {"WITH a AS MATERIALIZED (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH a AS NOT MATERIALIZED (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH explain AS NOT MATERIALIZED (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x(explain) AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x([select], \"update\") AS (SELECT 1, 2) DELETE FROM t", SQLR_SQL_DELETE},
      // Square brackets hide parentheses, quotes and comment openers.
      {"WITH x AS (SELECT 1 AS [)select]) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1 AS [(]) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1 AS [a--]) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1 AS [a']) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT 1 AS [/*]) DELETE FROM t", SQLR_SQL_DELETE},
      // A variable's "(...)" suffix runs to the first ')' and hides what is in it.
      {"WITH x AS (SELECT $a(')) DELETE FROM t WHERE a = ')) select'", SQLR_SQL_DELETE},
      // ...and so does the statement scan: to SQLite the semicolon here ends
      // the DELETE at depth 0, and ")) SELECT 1" is a second statement.
      {"WITH x AS (SELECT :a(()) DELETE FROM t; )) SELECT 1", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT @a('x)) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT #a(\")) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT $a::b(()) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT $a, :b, @c, #d, ?1) DELETE FROM t", SQLR_SQL_DELETE},
      // SQLite refuses a suffix that meets whitespace; so does the walk.
      {"WITH x AS (SELECT $a(b c)) DELETE FROM t", SQLR_SQL_REJECT},
      // A byte order mark at a token start is whitespace to SQLite, so the
      // keyword after it stands at a word start.
      {"WITH a AS (SELECT 1)" + kBom + "DELETE FROM t AS explain", SQLR_SQL_DELETE},
      {"WITH " + kBom + "explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      {"WITH x AS (SELECT " + kBom + "$a(')) DELETE FROM t WHERE a = ')) select'", SQLR_SQL_DELETE},
      // Right after the letters of WITH a byte order mark continues the word,
      // which is then no keyword to SQLite.
      {"WITH" + kBom + "explain AS (SELECT 1) DELETE FROM t", SQLR_SQL_REJECT},
      {"WITH$x AS (SELECT 1) DELETE FROM t", SQLR_SQL_REJECT},
      // Unterminated runs inside the walk end it without a main statement.
      {"WITH [select AS (SELECT 1) SELECT 1", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1 AS [a) SELECT 1", SQLR_SQL_REJECT},
      {"WITH \"select AS (SELECT 1) SELECT 1", SQLR_SQL_REJECT},
      // A keyword glued to identifier bytes is a name, not the keyword.
      {"WITH x AS (SELECT 1) DELETE" + kEAcute + " FROM t", SQLR_SQL_REJECT},
      {"WITH x AS (SELECT 1) SELECT$a", SQLR_SQL_REJECT},
      // A comma followed by the main keyword: the walk takes the keyword for a
      // common-table name and finds no main statement (SQLite refuses the
      // text too).
      {"WITH a AS (SELECT 1), DELETE FROM t", SQLR_SQL_REJECT},
  };
  return cases;
}

// Texts whose verdict lets them through although they are no valid statement:
// the gate is no parser, and SQLite refuses each of them when it is prepared,
// so the verdict does no harm. The engine test checks that they stay refused.
const std::vector<VerdictCase>& RefusedByEngineCases() {
  static const std::vector<VerdictCase> cases = {
      {"WITH x(select) AS (SELECT 1) DELETE FROM t", SQLR_SQL_DELETE},
      // A qualified name is not a common-table name; the word after the dot
      // is taken for the main keyword.
      {"WITH a.select AS (SELECT 1) DELETE FROM t", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) PRAGMA select", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) EXPLAIN SELECT 1", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1) (DELETE FROM t) SELECT 1", SQLR_SQL_READ},
      {"SELECT (1;2)", SQLR_SQL_READ},
      {"SELECT 'abc; DELETE FROM t", SQLR_SQL_READ},
      {"EXPLAIN QUERY SELECT 1", SQLR_SQL_READ},
      {"EXPLAIN'a select' DELETE FROM t", SQLR_SQL_READ},
      // Rows of the tables above.
      {"SELECT", SQLR_SQL_READ},
      {"delete", SQLR_SQL_DELETE},
      {"SELECT\x80", SQLR_SQL_READ},
      {"SELECT\xFF 1", SQLR_SQL_READ},
      {"SELECT `a;b`", SQLR_SQL_READ},  // no such column
      {"SELECT \"abc; DELETE FROM t", SQLR_SQL_READ},
      {"WITH x AS (SELECT 1)) DELETE FROM t", SQLR_SQL_DELETE},
  };
  return cases;
}

TEST(SqlGateClassify, NullIsRejected) { EXPECT_EQ(sqlr_classify_sql(nullptr), SQLR_SQL_REJECT); }

TEST(SqlGateClassify, LeadingKeywords) { ExpectVerdicts(PlainStatementCases()); }

TEST(SqlGateClassify, SecondStatements) { ExpectVerdicts(SecondStatementCases()); }

TEST(SqlGateClassify, ExplainRule) { ExpectVerdicts(ExplainCases()); }

TEST(SqlGateClassify, CommonTableWalk) { ExpectVerdicts(CommonTableCases()); }

TEST(SqlGateClassify, DisguisedStatements) { ExpectVerdicts(DisguisedStatementCases()); }

TEST(SqlGateClassify, TextsTheEngineRefuses) { ExpectVerdicts(RefusedByEngineCases()); }

// sqlr_gate_verdict tells an EXPLAIN apart, from the same reading: exactly the
// read verdicts of texts that start with EXPLAIN become SQLR_SQL_EXPLAIN, and
// every other verdict is sqlr_classify_sql's.
TEST(SqlGateVerdict, TellsExplainApartAndOtherwiseAgreesWithClassify) {
  EXPECT_EQ(sqlr_gate_verdict(nullptr), SQLR_SQL_REJECT);
  for (const auto* cases :
       {&PlainStatementCases(), &SecondStatementCases(), &ExplainCases(), &CommonTableCases(),
        &DisguisedStatementCases(), &RefusedByEngineCases()}) {
    for (const VerdictCase& c : *cases) {
      const int classified = sqlr_classify_sql(c.text.c_str());
      const bool explain =
          classified == SQLR_SQL_READ && kw_eq(SkipNoise(c.text.c_str()), "explain");
      const int expected = explain ? SQLR_SQL_EXPLAIN : classified;
      const int got = sqlr_gate_verdict(c.text.c_str());
      EXPECT_EQ(got, expected) << Printable(c.text) << " gave " << sqlr_test::verdict_name(got)
                               << ", expected " << sqlr_test::verdict_name(expected);
    }
  }
  // Behind WITH, an EXPLAIN keyword is the main statement's, not a leading one.
  EXPECT_EQ(sqlr_gate_verdict("WITH x AS (SELECT 1) EXPLAIN SELECT 1"), SQLR_SQL_READ);
  EXPECT_EQ(sqlr_gate_verdict("  /* c */ explain query plan SELECT 1"), SQLR_SQL_EXPLAIN);
}

// ---------------------------------------------------------------------------
// Agreement with SQLite.

// What SQLite compiles the first statement of a text to, as a gate verdict:
// READ for a read-only statement or an EXPLAIN, UPDATE or DELETE for those
// writes, REJECT for anything else (an INSERT, another write). `prepared` is
// false when SQLite refuses the text.
struct EngineReading {
  bool prepared = false;
  int kind = SQLR_SQL_REJECT;
  std::string error;
};

class SqlGateEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t(a)", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_set_authorizer(db_, &SqlGateEngineTest::Authorize, &writes_), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }

  // Records the kinds of writes a statement makes while it is compiled.
  static int Authorize(void* arg, int action, const char*, const char*, const char*, const char*) {
    int* writes = static_cast<int*>(arg);
    if (action == SQLITE_INSERT) *writes |= 1;
    if (action == SQLITE_UPDATE) *writes |= 2;
    if (action == SQLITE_DELETE) *writes |= 4;
    return SQLITE_OK;
  }

  EngineReading Read(const std::string& sql) {
    EngineReading r;
    writes_ = 0;
    sqlite3_stmt* stmt = nullptr;
    // Like the library: the whole text, no tail asked for.
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK || stmt == nullptr) {
      r.error = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      return r;
    }
    r.prepared = true;
    if (sqlite3_stmt_isexplain(stmt) != 0) {
      r.kind = SQLR_SQL_READ;
    } else if (writes_ == 0 && sqlite3_stmt_readonly(stmt) != 0) {
      r.kind = SQLR_SQL_READ;
    } else if (writes_ == 2) {
      r.kind = SQLR_SQL_UPDATE;
    } else if (writes_ == 4) {
      r.kind = SQLR_SQL_DELETE;
    }
    sqlite3_finalize(stmt);
    return r;
  }

  sqlite3* db_ = nullptr;
  int writes_ = 0;
};

TEST_F(SqlGateEngineTest, AcceptedDisguisedTextsCompileToTheirVerdict) {
  for (const VerdictCase& c : DisguisedStatementCases()) {
    if (c.verdict == SQLR_SQL_REJECT) continue;
    const EngineReading r = Read(c.text);
    EXPECT_TRUE(r.prepared) << Printable(c.text) << ": " << r.error;
    if (r.prepared) {
      EXPECT_EQ(r.kind, c.verdict)
          << Printable(c.text) << " is " << sqlr_test::verdict_name(r.kind) << " to SQLite";
    }
  }
}

// Accepted texts of the plain tables either compile to their verdict or are
// among the texts the engine is known to refuse.
TEST_F(SqlGateEngineTest, AcceptedPlainTextsCompileToTheirVerdictOrAreRefused) {
  for (const auto* table :
       {&PlainStatementCases(), &SecondStatementCases(), &ExplainCases(), &CommonTableCases()}) {
    for (const VerdictCase& c : *table) {
      if (c.verdict == SQLR_SQL_REJECT) continue;
      const EngineReading r = Read(c.text);
      if (!r.prepared) {
        bool listed = false;
        for (const VerdictCase& refused : RefusedByEngineCases()) listed |= refused.text == c.text;
        EXPECT_TRUE(listed) << Printable(c.text) << ": " << r.error;
        continue;
      }
      EXPECT_EQ(r.kind, c.verdict)
          << Printable(c.text) << " is " << sqlr_test::verdict_name(r.kind) << " to SQLite";
    }
  }
}

TEST_F(SqlGateEngineTest, GenerousVerdictsOnlyForTextsTheEngineRefuses) {
  for (const VerdictCase& c : RefusedByEngineCases()) {
    EXPECT_FALSE(Read(c.text).prepared) << Printable(c.text);
  }
}

// ---------------------------------------------------------------------------
// No read past the terminating NUL.

#ifdef SQLR_TEST_HAS_GUARD_PAGE
// Places texts so that their NUL is the last readable byte before a page that
// may not be read: any look-ahead beyond the NUL ends the process.
class GuardedText {
 public:
  GuardedText() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* m = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    base_ = static_cast<char*>(m);
    if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
      munmap(base_, 2 * page_);
      base_ = nullptr;
    }
  }
  ~GuardedText() {
    if (base_ != nullptr) munmap(base_, 2 * page_);
  }
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;

  bool ok() const { return base_ != nullptr; }
  // A copy of `s` (no longer than a page) whose NUL ends the readable page.
  const char* place(const std::string& s) {
    char* p = base_ + page_ - s.size() - 1;
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
  }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
};

TEST(SqlGateBounds, EveryPrefixOfEveryTestTextStaysInsideTheText) {
  GuardedText guard;
  ASSERT_TRUE(guard.ok());
  std::vector<std::string> texts = {
      "--",   "-", "/",   "/*",   "/*/",  "/* *", "'",        "''",
      "'a''", "[", "$a(", "$a(b", ":a::", "\xEF", "\xEF\xBB", "WITH x AS (SELECT 1) DELETE"};
  for (const auto* table :
       {&PlainStatementCases(), &SecondStatementCases(), &ExplainCases(), &CommonTableCases(),
        &DisguisedStatementCases(), &RefusedByEngineCases()}) {
    for (const VerdictCase& c : *table) texts.push_back(c.text);
  }
  static const char* const kKeywords[] = {"explain", "query",   "plan",      "select",
                                          "with",    "values",  "recursive", "update",
                                          "insert",  "replace", "delete"};
  // Every substring of every text, placed so that its NUL ends the page: the
  // start varies what the helpers see first, the length where they must stop.
  for (const std::string& text : texts) {
    for (size_t n = 0; n <= text.size(); ++n) {
      const std::string prefix = text.substr(0, n);
      for (size_t from = 0; from <= n; ++from) {
        const char* p = guard.place(prefix.substr(from));
        const char* end = p + (n - from);
        // Only that the calls return and stay inside the text; the values
        // are checked by the tables above.
        const int verdict = sqlr_classify_sql(p);
        const char* s = sqlr_skip_noise(p);
        const char* t = next_token(p);
        int matches = 0;
        for (const char* kw : kKeywords) matches += kw_eq(p, kw);
        const bool inside = verdict >= SQLR_SQL_REJECT && verdict <= SQLR_SQL_DELETE && s >= p &&
                            s <= end && t >= s && t <= end && matches <= 1;
        ASSERT_TRUE(inside) << Printable(prefix.substr(from));
      }
    }
  }
}
#endif

}  // namespace
