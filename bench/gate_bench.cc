// Throughput of the statement gate on large texts: one SELECT dense with
// quoted runs, comments and nested parentheses (the statement scan), one
// WITH statement with many common tables (scan plus common-table walk), and
// hostile shapes at 1, 16 and 64 MB, where the figure must not fall as the
// text grows: each byte is read a bounded number of times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestrova_sqlr/guard_gate.h"

// The library's internals.
using namespace kestrova::sqlr;

namespace {

constexpr size_t kTextBytes = 1 << 20;

// A SELECT of about kTextBytes whose body is made of every construct the scan
// must pass over: all three quote kinds with doubled quotes, line and block
// comments holding semicolons and quotes, nested parentheses, a semicolon
// inside parentheses.
std::string MakeDenseSelect() {
  static const char kChunk[] =
      "f(('it''s; a value', \"col\"\"name\", `x``y`), (1 + (2 * (3 - 4)))) /* block; 'not "
      "quoted' ( */ + g('a', \"b\", `c`) -- line; comment 'x\n"
      "+ h((((((1;2)))))) - 'long string with (parens) and ;semicolons; and more text' || "
      "\"quoted identifier with spaces\" /**/ + 1, ";
  std::string text = "SELECT ";
  while (text.size() + sizeof(kChunk) < kTextBytes) text += kChunk;
  text += "1";
  return text;
}

// A WITH statement of about kTextBytes: many common tables, some with column
// lists and MATERIALIZED hints, bodies with quotes, brackets, comments and
// nested queries, and a DELETE as the main statement at the very end.
std::string MakeLongWith() {
  std::string text = "WITH RECURSIVE ";
  for (int i = 0; text.size() < kTextBytes - 512; ++i) {
    const std::string n = std::to_string(i);
    if (i > 0) text += ",\n  ";
    text += "cte_" + n;
    if (i % 3 == 0) text += "(a, [b c])";
    text += i % 4 == 1 ? " AS MATERIALIZED (" : " AS (";
    text += "SELECT 'it''s ' || \"col\" AS [x y], (SELECT max(a) FROM t WHERE a IN (1, 2, (3))) ";
    text += "/* select; 'c' */ FROM t -- delete ( \n WHERE a <> '" + n + ")' AND b = `z`)";
  }
  text += "\nDELETE FROM t WHERE a IN (SELECT a FROM cte_0)";
  return text;
}

// Classifies `text` once per iteration and fails the run on a wrong verdict.
void ClassifyLoop(benchmark::State& state, const std::string& text, int expected) {
  if (sqlr_classify_sql(text.c_str()) != expected) {
    state.SkipWithError("unexpected verdict");
    return;
  }
  for (auto _ : state) {
    const char* sql = text.c_str();
    benchmark::DoNotOptimize(sql);
    int verdict = sqlr_classify_sql(sql);
    benchmark::DoNotOptimize(verdict);
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(text.size());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  // Decimal megabytes, the unit the gate's figures are given in.
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

void BM_ClassifyDenseSelect(benchmark::State& state) {
  static const std::string text = MakeDenseSelect();
  ClassifyLoop(state, text, SQLR_SQL_READ);
}
BENCHMARK(BM_ClassifyDenseSelect)->Unit(benchmark::kMicrosecond);

void BM_ClassifyLongWith(benchmark::State& state) {
  static const std::string text = MakeLongWith();
  ClassifyLoop(state, text, SQLR_SQL_DELETE);
}
BENCHMARK(BM_ClassifyLongWith)->Unit(benchmark::kMicrosecond);

// Hostile shapes: texts built so that a scan which searches ahead from each
// of many places (for the end of a run that never ends, or through a long
// list) would read the text once per place.

// `unit` repeated after `head` until the text holds at least `bytes`.
std::string Repeat(std::string head, const std::string& unit, size_t bytes) {
  head.reserve(bytes + unit.size());
  while (head.size() < bytes) head += unit;
  return head;
}

// Variables whose "(...)" suffix never closes: each one's suffix would run to
// the end of the text.
std::string MakeDollarSuffixes(size_t bytes) { return Repeat("SELECT ", "$a(", bytes); }
std::string MakeColonSuffixes(size_t bytes) { return Repeat("SELECT ", ":a(", bytes); }

// One variable with a long name of "::" steps and an unclosed suffix: after
// it is refused, every step of the name starts a variable of the same name.
std::string MakeColonPairName(size_t bytes) { return Repeat("SELECT :a", "::a", bytes) + "("; }

// Square brackets that never close.
std::string MakeOpenBrackets(size_t bytes) { return Repeat("SELECT ", "[", bytes); }

// Many tokens inside a common table, then a quote or a comment that never
// ends: both the statement scan and the common-table walk read to the end.
std::string MakeQuoteAfterTokens(size_t bytes) {
  return Repeat("WITH t AS (SELECT ", "a1, ", bytes) + "'x";
}
std::string MakeCommentAfterTokens(size_t bytes) {
  return Repeat("WITH t AS (SELECT ", "a1, ", bytes) + "/* x";
}

// A common table nested in parentheses half the text deep.
std::string MakeDeepParentheses(size_t bytes) {
  const size_t depth = bytes / 2;
  return "WITH t AS " + std::string(depth, '(') + "SELECT 1" + std::string(depth, ')') +
         " DELETE FROM t";
}

// A long WITH list whose common tables have bracketed names like keywords.
std::string MakeBracketedNames(size_t bytes) {
  std::string text = "WITH [select 0] AS (SELECT 1)";
  text.reserve(bytes + 64);
  for (int i = 1; text.size() < bytes; ++i) {
    text += ", [select " + std::to_string(i) + "] AS (SELECT 1)";
  }
  return text + " DELETE FROM t";
}

struct HostileShape {
  const char* name;
  std::string (*make)(size_t bytes);
  int verdict;
};

constexpr HostileShape kHostileShapes[] = {
    {"DollarSuffixes", MakeDollarSuffixes, SQLR_SQL_READ},
    {"ColonSuffixes", MakeColonSuffixes, SQLR_SQL_READ},
    {"ColonPairName", MakeColonPairName, SQLR_SQL_READ},
    {"OpenBrackets", MakeOpenBrackets, SQLR_SQL_READ},
    {"QuoteAfterTokens", MakeQuoteAfterTokens, SQLR_SQL_REJECT},
    {"CommentAfterTokens", MakeCommentAfterTokens, SQLR_SQL_REJECT},
    {"DeepParentheses", MakeDeepParentheses, SQLR_SQL_DELETE},
    {"BracketedNames", MakeBracketedNames, SQLR_SQL_DELETE},
};

constexpr size_t kMegabyte = 1000 * 1000;

// The text of one shape at one size. The benchmark library calls a benchmark
// more than once; only the last text is kept, so that at most one 64 MB text
// is alive.
const std::string& HostileText(const HostileShape& shape, size_t bytes) {
  static const HostileShape* built_shape = nullptr;
  static size_t built_bytes = 0;
  static std::string text;
  if (built_shape != &shape || built_bytes != bytes) {
    text = std::string();
    text = shape.make(bytes);
    built_shape = &shape;
    built_bytes = bytes;
  }
  return text;
}

void BM_ClassifyHostile(benchmark::State& state, const HostileShape* shape, size_t megabytes) {
  ClassifyLoop(state, HostileText(*shape, megabytes * kMegabyte), shape->verdict);
}

}  // namespace

int main(int argc, char** argv) {
  for (const HostileShape& shape : kHostileShapes) {
    for (size_t megabytes : {1, 16, 64}) {
      const std::string name =
          std::string("BM_ClassifyHostile/") + shape.name + "/" + std::to_string(megabytes) + "MB";
      benchmark::RegisterBenchmark(name.c_str(), BM_ClassifyHostile, &shape, megabytes)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
