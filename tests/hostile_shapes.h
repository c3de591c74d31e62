// SQL texts whose compile cost grows faster than their length, shared by the
// hostile-cost test and bench/hostile_bench.
#ifndef KESTROVA_SQLR_TESTS_HOSTILE_SHAPES_H_
#define KESTROVA_SQLR_TESTS_HOSTILE_SHAPES_H_

#include <string>

namespace sqlr_test {

// A CASE of `arms` integer arms, 4 x arms + 6 tokens, answering 1: compiles in
// time that grows with the square of its arms (200000 of them took minutes).
inline std::string case_arms(int arms) {
  std::string sql = "SELECT CASE 1";
  for (int i = 0; i < arms; ++i) sql += " WHEN " + std::to_string(i) + " THEN 1";
  return sql + " END AS n";
}

// A chain of `tables` common tables, each reading the one before, answering 1:
// 9 x tables + 5 tokens, and the costliest shape per token found.
inline std::string chain(int tables) {
  std::string sql = "WITH t0 AS (SELECT 1 AS x)";
  for (int i = 1; i < tables; ++i) {
    sql += ", t" + std::to_string(i) + " AS (SELECT x FROM t" + std::to_string(i - 1) + ")";
  }
  return sql + " SELECT x AS n FROM t" + std::to_string(tables - 1);
}

// Common tables each joining the one before with itself: a short text whose
// expansion doubles at each table, until the engine's memory runs out.
inline std::string doubling(int tables) {
  std::string sql = "WITH t0 AS (SELECT 1 AS x)";
  for (int i = 1; i < tables; ++i) {
    const std::string before = "t" + std::to_string(i - 1);
    sql += ", t" + std::to_string(i) + " AS (SELECT a.x FROM " + before + " a, " + before +
           " b LIMIT 1)";
  }
  return sql + " SELECT x AS n FROM t" + std::to_string(tables - 1);
}

}  // namespace sqlr_test

#endif  // KESTROVA_SQLR_TESTS_HOSTILE_SHAPES_H_
