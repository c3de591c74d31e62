// The shared pager on a table of 10,000,000 rows: the first and the last page
// of 100 rows, by key (WHERE rowid > last) and by offset. Prints milliseconds
// per page, the median of five reads each.
//
//   build/tools/pager_bench [DB]   (DB is made when it does not exist)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/library.h"
#include "common/pager.h"

namespace {

using kestrova::tools::Database;
using kestrova::tools::Page;
using kestrova::tools::Pager;

constexpr int64_t kRows = 10000000;
constexpr int32_t kPage = 100;
constexpr int kRuns = 5;

// Writes the table with SQLite directly: ids 1..kRows and a short text.
bool make_table(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  const std::string sql =
      "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;"
      "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);"
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
      std::to_string(kRows) + ") INSERT INTO t SELECT x, 'row ' || x FROM c;";
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) std::fprintf(stderr, "pager_bench: %s\n", message);
  sqlite3_free(message);
  sqlite3_close(db);
  return rc == SQLITE_OK;
}

// The median milliseconds of kRuns reads of the page at `offset` / `key`.
double median_ms(Pager* pager, int64_t offset, const std::string& key) {
  std::vector<double> times;
  for (int run = 0; run < kRuns; ++run) {
    Page page;
    std::string why;
    const auto start = std::chrono::steady_clock::now();
    if (!pager->read(offset, key, kPage, &page, &why)) {
      std::fprintf(stderr, "pager_bench: %s\n", why.c_str());
      return -1;
    }
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    times.push_back(took.count());
  }
  std::sort(times.begin(), times.end());
  return times[kRuns / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path =
      argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "pager_bench.db").string();
  if (!std::filesystem::exists(path)) {
    std::printf("writing %lld rows to %s\n", static_cast<long long>(kRows), path.c_str());
    if (!make_table(path)) return 1;
  }
  const Database db(path, false);
  if (!db.ok()) {
    std::fprintf(stderr, "pager_bench: %s\n", kestrova::tools::last_error().c_str());
    return 1;
  }
  const int64_t last = kRows - kPage;
  Pager by_offset = Pager::for_statement(db.handle(), "SELECT * FROM t ORDER BY id");
  Pager by_key = Pager::for_table(db.handle(), "t");
  // The cursor of the page before the last, as a host holds it from that page.
  Page before;
  std::string why;
  if (!by_key.read(last - kPage, "", kPage, &before, &why) || before.next_key.empty()) {
    std::fprintf(stderr, "pager_bench: no cursor: %s\n", why.c_str());
    return 1;
  }
  std::printf("pages of %d rows of a %lld-row table, median of %d reads (ms)\n", kPage,
              static_cast<long long>(kRows), kRuns);
  std::printf("  first page by offset  %10.3f\n", median_ms(&by_offset, 0, ""));
  std::printf("  first page by key     %10.3f\n", median_ms(&by_key, 0, ""));
  std::printf("  last page by offset   %10.3f\n", median_ms(&by_offset, last, ""));
  std::printf("  last page by key      %10.3f\n", median_ms(&by_key, last, before.next_key));
  return 0;
}
