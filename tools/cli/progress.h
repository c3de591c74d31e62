// A count of rows on stderr while a long export runs.
#ifndef KESTROVA_SQLR_TOOLS_CLI_PROGRESS_H_
#define KESTROVA_SQLR_TOOLS_CLI_PROGRESS_H_

#include <chrono>
#include <cstdio>

namespace kestrova::tools::cli {

// A "N rows" line on stderr, shown once the work has taken a second and
// refreshed at most five times a second.
class Progress {
 public:
  using Clock = std::chrono::steady_clock;

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

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_PROGRESS_H_
