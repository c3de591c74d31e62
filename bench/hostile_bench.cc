// Time and memory of statements built to cost gigabytes or minutes, each run
// in a process of its own so that its peak memory is its own.
//
//   hostile_bench [--slow] [--before]
//
// Prints, per statement, the wall-clock time, the growth of the process's
// peak resident memory and the outcome (the start of the result, or the
// message). --slow adds the statements that compile for minutes; --before
// leaves out those that would take more than a few GB without the library's
// bounds (for a run against an older build of the library). Also prints the
// longest single calls of instr, replace, LIKE and GLOB, and what they grow
// to over the longest values allowed.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "tests/hostile_shapes.h"
#include "tests/peak_memory.h"

namespace {

struct Case {
  const char* what;
  std::string sql;
  int handles;  // run at once, each on a handle of its own
  bool slow;    // compiles for minutes
  bool huge;    // takes more than a few GB without the bounds
};

std::string repeat_case(int arms, size_t pad) {
  std::string sql = "SELECT CASE 'a'";
  const std::string filler(pad, 'x');
  for (int i = 0; i < arms; ++i) {
    sql += " WHEN '";
    sql += pad > 0 ? filler + std::to_string(i) : std::to_string(i);
    sql += "' THEN 1";
  }
  return sql + " END AS c";
}

std::string in_list(int n) {
  std::string sql = "SELECT 5 IN (0";
  for (int i = 1; i < n; ++i) sql += "," + std::to_string(i);
  return sql + ") AS m";
}

const std::string kBlobs900 =
    "SELECT length(a) + length(b) + length(c) AS n FROM (SELECT randomblob(900000000) a,"
    " randomblob(900000000) b, randomblob(900000000) c)";

std::vector<Case> cases() {
  return {
      {"3 x randomblob(900000000)", kBlobs900, 1, false, true},
      {"3 x randomblob(900000000), 4 handles at once", kBlobs900, 4, false, true},
      {"hex(zeroblob(450000000))", "SELECT length(hex(zeroblob(450000000))) AS n", 1, false, false},
      {"hex(zeroblob(450000000)), 4 handles at once",
       "SELECT length(hex(zeroblob(450000000))) AS n", 4, false, true},
      {"group_concat of 900 x zeroblob(1000000)",
       "SELECT length(group_concat(b)) AS n FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL"
       " SELECT x + 1 FROM c WHERE x < 900) SELECT zeroblob(1000000) AS b FROM c)",
       1, false, false},
      {"4 x randomblob(300000000)",
       "SELECT length(a) + length(b) + length(c) + length(d) AS n FROM (SELECT"
       " randomblob(300000000) a, randomblob(300000000) b, randomblob(300000000) c,"
       " randomblob(300000000) d)",
       1, false, false},
      {"LIKE: 2000000 bytes against a 49991-byte pattern",
       "SELECT printf('%.*c', 2000000, 'a') LIKE '%' || printf('%.*c', 49990, 'a') || 'b' AS m", 1,
       true, false},
      {"IN list of 1000000 integers (6.9 MB)", in_list(1000000), 1, false, false},
      {"WITH of 5000 chained tables (160 kB)", sqlr_test::chain(5000), 1, false, false},
      {"WITH of 11110 chained tables (99995 tokens, the most)", sqlr_test::chain(11110), 1, false,
       false},
      {"WITH of 40 tables, each doubling the one before (2.6 kB)", sqlr_test::doubling(40), 1,
       false, true},
      {"CASE of 200000 integer arms (3.7 MB)", sqlr_test::case_arms(200000), 1, true, false},
      {"CASE of 95000 string arms (59 MB)", repeat_case(95000, 600), 1, true, false},
  };
}

// Runs `c` and prints one line; meant for a child process of its own.
void run_case(const Case& c, const std::string& path) {
  const long long before = sqlr_test::peak_rss_bytes();
  std::vector<std::string> outcome(static_cast<size_t>(c.handles));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < c.handles; ++i) {
    threads.emplace_back([&, i] {
      const int32_t h = sqlr_open(path.c_str(), 0);
      char* r = h >= 0 ? sqlr_query(h, c.sql.c_str(), 0, -1) : nullptr;
      outcome[static_cast<size_t>(i)] =
          r != nullptr ? std::string(r).substr(0, 60) : "error: " + std::string(sqlr_last_error());
      sqlr_free_string(r);
      if (h >= 0) sqlr_close(h);
    });
  }
  for (std::thread& t : threads) t.join();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long grew = sqlr_test::peak_rss_bytes() - before;
  std::printf("%-50s %9.2f s %8lld MB  %s\n", c.what, secs, grew >> 20, outcome[0].c_str());
  std::fflush(stdout);
}

// The wall-clock seconds of one statement on `h`.
double timed(int32_t h, const std::string& sql) {
  const auto start = std::chrono::steady_clock::now();
  char* r = sqlr_query(h, sql.c_str(), 0, -1);
  sqlr_free_string(r);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The slowest single calls. instr and replace: a text of `big` bytes searched
// for one of half its length that matches everywhere but in its last byte,
// the shape that costs a search comparing at every position the square of the
// length; the library's are linear. With --before the text has n bytes, so
// that an older build finishes, and its figure over the longest value, scaled
// linearly, is then far too low. LIKE and GLOB: a text of n bytes and a
// pattern of the longest allowed length, which cost their product.
void single_calls(const std::string& path, bool before) {
  const int32_t h = sqlr_open(path.c_str(), 0);
  if (h < 0) return;
  const long long n = 200000;
  const long long big = before ? n : 50000000;
  const std::string text = "printf('%.*c', " + std::to_string(n) + ", 'a')";
  const std::string big_text = "printf('%.*c', " + std::to_string(big) + ", 'a')";
  const std::string needle = "printf('%.*c', " + std::to_string(big / 2 - 1) + ", 'a') || 'b'";
#if defined(SQLR_MAX_LIKE_PATTERN_BYTES)
  const long long pattern = SQLR_MAX_LIKE_PATTERN_BYTES - 2;
#else
  const long long pattern = 49990;
#endif
  const std::string filler = "printf('%.*c', " + std::to_string(pattern) + ", 'a')";
#if defined(SQLR_MAX_VALUE_BYTES)
  const double longest = SQLR_MAX_VALUE_BYTES;
#else
  const double longest = 1000000000;
#endif
  struct Call {
    const char* what;
    std::string sql;
    long long length;  // of the text
  };
  const Call calls[] = {
      {"instr", "SELECT instr(" + big_text + ", " + needle + ") AS r", big},
      {"replace", "SELECT length(replace(" + big_text + ", " + needle + ", 'x')) AS r", big},
      {"LIKE", "SELECT " + text + " LIKE '%' || " + filler + " || 'b' AS r", n},
      {"GLOB", "SELECT " + text + " GLOB '*' || " + filler + " || 'b' AS r", n},
  };
  std::printf("\nOne call (the longest value: %.0f bytes):\n", longest);
  for (const Call& c : calls) {
    const double secs = timed(h, c.sql);
    // Each grows with the text's length (LIKE and GLOB times the pattern's,
    // which is bounded).
    std::printf("%-8s text of %9lld bytes %9.3f s; over the longest value about %.3g s\n", c.what,
                c.length, secs, secs * longest / static_cast<double>(c.length));
  }
  sqlr_close(h);
}

}  // namespace

int main(int argc, char** argv) {
  bool slow = false, before = false;
  for (int i = 1; i < argc; ++i) {
    slow = slow || std::strcmp(argv[i], "--slow") == 0;
    before = before || std::strcmp(argv[i], "--before") == 0;
  }
  // An empty file is an empty database.
  const std::string path =
      (std::filesystem::temp_directory_path() / ("hostile-bench-" + std::to_string(getpid())))
          .string();
  std::fclose(std::fopen(path.c_str(), "wb"));
  std::printf("%-50s %11s %11s  %s\n", "statement", "time", "peak growth", "outcome");
  for (const Case& c : cases()) {
    if ((c.slow && !slow) || (c.huge && before)) continue;
    std::fflush(stdout);  // the child must not print what is buffered again
    const pid_t child = fork();
    if (child == 0) {
      run_case(c, path);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
  }
  single_calls(path, before);
  std::filesystem::remove(path);
  return 0;
}
