// Throughput of the statement gate on large texts: one SELECT dense with
// quoted runs, comments and nested parentheses (the statement scan), and one
// WITH statement with many common tables (scan plus common-table walk).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestrova_sqlr/sql_gate.h"

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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
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

}  // namespace

BENCHMARK_MAIN();
