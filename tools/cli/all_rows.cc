// The shared pager reads each page with one row beyond it, so the loop ends on
// the page that says no more follow, and halves a page at the library's cap.
#include "cli/all_rows.h"

#include <chrono>
#include <climits>

#include "common/json.h"
#include "common/pager.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A "N rows" line on stderr, shown once the work has taken a second and
// refreshed at most five times a second.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled), start_(Clock::now()) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Reports `rows` written so far.
  void update(long long rows) {
    const auto now = Clock::now();
    if (!enabled_ || now - start_ < std::chrono::seconds(1) ||
        (shown_ && now - last_ < std::chrono::milliseconds(200))) {
      return;
    }
    const int n = std::fprintf(stderr, "\rkestrova-sqlr: %lld rows", rows);
    if (n > 0 && static_cast<size_t>(n) > width_) width_ = static_cast<size_t>(n);
    std::fflush(stderr);
    shown_ = true;
    last_ = now;
  }

 private:
  bool enabled_;
  bool shown_ = false;
  size_t width_ = 0;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace

// See all_rows.h.
bool write_all_rows(int32_t handle, const std::string& sql, int32_t offset, int32_t page_size,
                    std::FILE* out, bool progress, std::string* error) {
  Progress meter(progress);
  Pager pager = Pager::for_statement(handle, sql);
  long long written = 0;
  int64_t next = offset;
  for (;;) {
    Page page;
    if (!pager.read(next, "", page_size, &page, error)) {
      if (next > INT32_MAX) {
        *error = "more rows than an offset can reach (2147483647); the rest cannot be paged";
      }
      return false;
    }
    std::string text;
    for (yyjson_val* row : page.rows) {
      std::string bad;
      // Numbers as raw text and the library's own writer flags: each row
      // comes out byte for byte as the library wrote it.
      if (!write_json(row, YYJSON_WRITE_NOFLAG, &text, &bad)) {
        *error = "cannot write a row: " + bad;
        return false;
      }
      text.push_back('\n');
      std::fwrite(text.data(), 1, text.size(), out);
    }
    std::fflush(out);  // rows as they come, also into a pipe
    if (std::ferror(out)) {
      *error = "cannot write the output";
      return false;
    }
    written += static_cast<long long>(page.rows.size());
    next = page.next_offset;
    meter.update(written);
    if (!page.more) return true;
  }
}

}  // namespace kestrova::tools::cli
