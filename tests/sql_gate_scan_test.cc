// The statement scan against a plain reading of its rules. The gate's scan
// keeps facts about the text ahead (a bracket that never closes, a variable
// name and suffix already found refused) so that it reads each byte a bounded
// number of times; the reading here searches afresh from every place, as the
// rules are written, and is quadratic on hostile texts. On texts generated from
// the pieces that matter to those facts, both must agree on every text.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kestrova_sqlr/guard_gate.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

// SQLite's identifier characters: letters, digits, '_', '$' and 0x80-0xFF.
bool IsIdent(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
         u == '$' || u >= 0x80;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where the variable at `i` ('$', '@', ':' or '#') ends, or npos when SQLite
// refuses it: its "(...)" suffix meets whitespace or the end first.
size_t PlainVariableEnd(const std::string& s, size_t i) {
  size_t j = i + 1;
  int name_chars = 0;
  for (;;) {
    if (IsIdent(s[j])) {
      ++name_chars;
      ++j;
    } else if (s[j] == '(' && name_chars > 0) {
      size_t k = j + 1;
      while (k < s.size() && s[k] != ')' && !IsSpace(s[k])) ++k;
      return k < s.size() && s[k] == ')' ? k + 1 : std::string::npos;
    } else if (s[j] == ':' && s[j + 1] == ':') {
      j += 2;
    } else {
      return j;
    }
  }
}

// True when `s` holds at most one statement, by the scan's rules read plainly.
bool PlainSingleStatement(const std::string& s) {
  unsigned depth = 0;
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\'' || c == '"' || c == '`') {
      size_t j = i + 1;
      for (;;) {
        j = s.find(c, j);
        if (j == std::string::npos) return true;  // the run holds the rest
        if (s[j + 1] != c) break;
        j += 2;
      }
      i = j + 1;
    } else if (c == '(') {
      ++depth;
      ++i;
    } else if (c == ')') {
      if (depth > 0) --depth;
      ++i;
    } else if (c == '-' && s[i + 1] == '-') {
      i = s.find('\n', i + 2);
      if (i == std::string::npos) return true;
    } else if (c == '/' && s[i + 1] == '*') {
      i = s.find("*/", i + 2);
      if (i == std::string::npos) return true;
      i += 2;
    } else if (c == ';' && depth == 0) {
      return *sqlr_skip_noise(s.c_str() + i + 1) == '\0';
    } else if (c == '[') {
      const size_t close = s.find(']', i + 1);
      if (close == std::string::npos) {
        ++i;
      } else if (s.find(';', i) < close) {
        return false;
      } else {
        i = close + 1;
      }
    } else if ((c == '$' && !(i > 0 && IsIdent(s[i - 1]))) || c == '@' || c == ':' || c == '#') {
      const size_t end = PlainVariableEnd(s, i);
      i = end == std::string::npos ? i + 1 : end;
    } else {
      ++i;
    }
  }
  return true;
}

// The scan's answer through the classifier: behind SELECT the verdict is READ
// exactly when the scan finds one statement.
bool GateSingleStatement(const std::string& s) {
  return sqlr_classify_sql(s.c_str()) == SQLR_SQL_READ;
}

// Pieces for generated texts: refused and whole variables of every form,
// "::" steps, brackets, parentheses, quotes, comment openers and closers,
// semicolons, whitespace and identifier bytes.
const std::vector<std::string>& Pieces() {
  static const std::vector<std::string> pieces = {
      "$a(", ":a(",
      "@b(", "#c(",
      "$a",  ":b",
      "::",  ":",
      "$",   "@",
      "#",   "a",
      "1",   "\xC3\xA9",
      "(",   ")",
      "[",   "]",
      ";",   " ",
      "\n",  "'",
      "\"",  "`",
      "''",  "--",
      "/*",  "*/",
      "-",   "/",
      "*",   "x)",
      ";x",  ";DELETE FROM t",
  };
  return pieces;
}

TEST(SqlGateScan, AgreesWithAPlainReadingOnGeneratedTexts) {
  std::mt19937 random(20261210);  // fixed, so that a failure repeats
  const std::vector<std::string>& pieces = Pieces();
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> count(0, 24);
  int disagreements = 0;
  for (int n = 0; n < 200000 && disagreements < 10; ++n) {
    std::string text = "SELECT ";
    for (int k = count(random); k > 0; --k) text += pieces[pick(random)];
    const bool plain = PlainSingleStatement(text);
    if (GateSingleStatement(text) != plain) {
      ++disagreements;
      ADD_FAILURE() << "the plain reading finds " << (plain ? "one statement" : "two statements")
                    << " in: " << text;
    }
  }
}

// Texts where a fact learnt early must not decide a later place wrongly.
TEST(SqlGateScan, AgreesWithAPlainReadingWhereFactsAreReused) {
  const std::vector<std::string> texts = {
      // A refused suffix, then the same stretch read byte by byte: its
      // parentheses count and a semicolon after them separates.
      "SELECT $a(b c) ; DELETE FROM t",
      "SELECT $a($a($a( )));DELETE FROM t",
      "SELECT $a($a($a( ));DELETE FROM t",
      // A refused suffix ends at whitespace; a later suffix may close.
      "SELECT :a(b :c(;) ; DELETE FROM t",
      "SELECT :a(b :c(x);DELETE FROM t",
      // Steps of a refused "::" name, misaligned and aligned.
      "SELECT :a::b::c(x ) ;DELETE FROM t",
      "SELECT :a:::b(x ) ;DELETE FROM t",
      "SELECT :a::::b(x) ;DELETE FROM t",
      "SELECT $a::b$c(x ) ;DELETE FROM t",
      "SELECT ::::a(x ) ;DELETE FROM t",
      // A name that only joins a refused one at its '(' has no name bytes.
      "SELECT :a::(x ) ;DELETE FROM t",
      // Quotes inside a refused suffix start runs once it is read again.
      "SELECT $a(';DELETE FROM t",
      "SELECT $a(' ';DELETE FROM t",
      "SELECT $a(')';DELETE FROM t",
      // Brackets: once one never closes, none after it does.
      "SELECT [a [b ; DELETE FROM t",
      "SELECT [a] [b ; DELETE FROM t",
      "SELECT [a;b] [c",
      "SELECT [a [b;c]",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(GateSingleStatement(text), PlainSingleStatement(text)) << text;
  }
}

}  // namespace
