// Measures sqlr_query against the floor of what SQLite itself costs.
//
//   query_bench [ROWS]     (default 1000000 rows in a generated table)
//
// Prints, each the median of several runs of CPU time (user + system, which
// waiting for a core on a busy machine does not inflate; wall-clock time is
// printed beside it):
//   - a 100000-row page through sqlr_query against a loop that steps the same
//     statement and reads every column without building JSON;
//   - a 100-row page at offset 900000 against a bare stepping loop over the
//     same number of steps;
//   - the peak memory growth of the 100000-row page as a multiple of its text.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "tests/peak_memory.h"

namespace {

constexpr int kRuns = 15;
constexpr char kPageSql[] = "SELECT id, score, tag, note, data, maybe FROM big";

// Median CPU and wall-clock seconds of one piece of work.
struct Timing {
  double cpu = 0;
  double wall = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs `a` and `b` in turn kRuns times, so that both meet the same load.
std::pair<Timing, Timing> median_pair(const std::function<void()>& a,
                                      const std::function<void()>& b) {
  std::vector<double> cpu[2], wall[2];
  for (int i = 0; i < kRuns; ++i) {
    int k = 0;
    for (const auto* fn : {&a, &b}) {
      const std::clock_t c0 = std::clock();
      const auto w0 = std::chrono::steady_clock::now();
      (*fn)();
      wall[k].push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
      cpu[k].push_back(static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
      ++k;
    }
  }
  return {{median(cpu[0]), median(wall[0])}, {median(cpu[1]), median(wall[1])}};
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// A table of `rows` rows with six mixed columns: integer, real, short text,
// longer text, a small BLOB, and a column that is NULL every third row.
void generate(const std::string& path, int rows) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  const std::string sql =
      "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;"
      "CREATE TABLE big(id INTEGER PRIMARY KEY, score REAL, tag TEXT, note TEXT, data BLOB, maybe);"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
      std::to_string(rows) +
      ")"
      " INSERT INTO big SELECT x, x * 0.25, 'tag' || (x % 97),"
      " 'a longer note about row ' || x || ' with \"quotes\" and more text to copy',"
      " randomblob(12), CASE WHEN x % 3 = 0 THEN NULL ELSE x % 1000 END FROM c;";
  check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, "generate");
  sqlite3_close(db);
}

// Steps `sql` `steps` times at most, reading every column of the rows from
// `first_read` on the way a JSON builder would; returns a checksum.
long long floor_loop(sqlite3* db, const char* sql, int steps, int first_read) {
  sqlite3_stmt* stmt = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db, "prepare");
  const int ncols = sqlite3_column_count(stmt);
  long long sum = 0;
  for (int i = 0; i < steps && sqlite3_step(stmt) == SQLITE_ROW; ++i) {
    if (i < first_read) continue;
    for (int c = 0; c < ncols; ++c) {
      sum += static_cast<long long>(std::strlen(sqlite3_column_name(stmt, c)));
      switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
          sum += sqlite3_column_int64(stmt, c);
          break;
        case SQLITE_FLOAT:
          sum += static_cast<long long>(sqlite3_column_double(stmt, c));
          break;
        case SQLITE_TEXT:
          sum += sqlite3_column_text(stmt, c)[0] + sqlite3_column_bytes(stmt, c);
          break;
        case SQLITE_BLOB:
          sum += static_cast<const unsigned char*>(sqlite3_column_blob(stmt, c))[0] +
                 sqlite3_column_bytes(stmt, c);
          break;
        default:
          break;
      }
    }
  }
  sqlite3_finalize(stmt);
  return sum;
}

size_t page_bytes(int handle, const char* sql, int offset, int limit) {
  char* page = sqlr_query(handle, sql, offset, limit);
  if (page == nullptr) {
    std::fprintf(stderr, "sqlr_query: %s\n", sqlr_last_error());
    std::exit(1);
  }
  const size_t n = std::strlen(page);
  sqlr_free_string(page);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const auto dir = std::filesystem::temp_directory_path() / "sqlr-query-bench";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / ("big-" + std::to_string(rows) + ".db")).string();
  if (!std::filesystem::exists(path)) {
    std::printf("generating %d rows in %s ...\n", rows, path.c_str());
    generate(path + ".tmp", rows);
    std::filesystem::rename(path + ".tmp", path);
  }
  const int handle = sqlr_open(path.c_str(), 0);
  sqlite3* db = nullptr;
  check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");

  // Memory first, while the process's peak is still that of the set-up.
  const long long rss_before = sqlr_test::peak_rss_bytes();
  const size_t text = page_bytes(handle, kPageSql, 0, 100000);
  const long long rss_growth = sqlr_test::peak_rss_bytes() - rss_before;

  volatile long long sink = 0;
  const auto [lib_page, floor_page] =
      median_pair([&] { page_bytes(handle, kPageSql, 0, 100000); },
                  [&] { sink = sink + floor_loop(db, kPageSql, 100001, 0); });
  const int offset = std::min(900000, std::max(0, rows - 100));
  const auto [lib_offset, bare_steps] =
      median_pair([&] { page_bytes(handle, kPageSql, offset, 100); },
                  [&] { sink = sink + floor_loop(db, kPageSql, offset + 101, offset); });

  std::printf("table: %d rows, 6 columns; page text %.1f MB; median of %d runs, CPU time\n", rows,
              text / 1e6, kRuns);
  std::printf("%-44s %9.1f ms  floor %9.1f ms  ratio %.3f (target <= 1.05; wall %.3f)\n",
              "100000-row page vs reading every column", lib_page.cpu * 1e3, floor_page.cpu * 1e3,
              lib_page.cpu / floor_page.cpu, lib_page.wall / floor_page.wall);
  std::printf("%-44s %9.1f ms  floor %9.1f ms  ratio %.3f (target <= 1.1; wall %.3f)\n",
              ("100-row page at offset " + std::to_string(offset) + " vs stepping").c_str(),
              lib_offset.cpu * 1e3, bare_steps.cpu * 1e3, lib_offset.cpu / bare_steps.cpu,
              lib_offset.wall / bare_steps.wall);
  if (rss_before >= 0) {
    std::printf("%-44s %9.1f MB  text %9.1f MB  ratio %.2f (target <= 1.2)\n",
                "peak memory growth of the 100000-row page", rss_growth / 1e6, text / 1e6,
                static_cast<double>(rss_growth) / static_cast<double>(text));
  }
  sqlite3_close(db);
  sqlr_close(handle);
  return 0;
}
