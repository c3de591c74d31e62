// Proof that the database file is what it was: its size and SHA-256 when the
// server started and, when asked, as it is now. Hashing reads the whole file,
// so it never delays the start: each fingerprint is taken on a thread of its
// own, one at start and at most one "now" at a time.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_FILE_CHECK_H_
#define KESTROVA_SQLR_TOOLS_SERVE_FILE_CHECK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kestrova::tools::serve {

// Bytes read at a time while hashing.
constexpr size_t kHashChunkBytes = size_t{1} << 20;
// How long a write waits for the fingerprint at start before it is refused.
constexpr std::chrono::milliseconds kWriteWaitsForFingerprint{10000};

// One fingerprint, as far as it has got.
struct Fingerprint {
  bool done = false;
  uint64_t hashed = 0;  // bytes read so far; the size once done
  std::string sha256;   // 64 hex digits once done without error
  std::string error;    // why there is no digest, once done
};

class FileCheck {
 public:
  // Records the file's size at once and starts hashing it as it is.
  // `path` is UTF-8; `name` is how messages call the file.
  FileCheck(std::string path, std::string name);
  // Stops any hashing under way and waits for it.
  ~FileCheck();
  FileCheck(const FileCheck&) = delete;
  FileCheck& operator=(const FileCheck&) = delete;

  // {"name":..,"size_at_start":N,"start":FP,"now":FP or null,"unchanged":
  // true, false or null}, where FP is {"done","hashed","sha256","error"}.
  // With `check_now`, a fingerprint of the file as it is now is begun
  // unless one is under way.
  std::string status_json(bool check_now);

  // Waits up to `limit` for the fingerprint at start; whether it is
  // complete. Writes wait for it, so that it shows the file before them.
  bool wait_for_start(std::chrono::milliseconds limit);

  // Waits for the fingerprint at start, takes one now on this thread, and
  // returns the line that says whether the file is unchanged.
  std::string exit_report();

 private:
  struct Job {
    std::atomic<uint64_t> hashed{0};
    mutable std::mutex mu;
    Fingerprint result;  // under mu once done
    std::atomic<bool> done{false};
    std::condition_variable finished;  // with mu, when done
    std::thread thread;
    Fingerprint snapshot() const;
  };
  // Hashes the file into `job`; at start also checks that the file did not
  // change while it was read.
  void hash_into(Job* job, bool at_start);

  std::string path_;
  std::string name_;
  uint64_t size_at_start_ = 0;
  bool size_known_ = false;
  std::atomic<bool> cancel_{false};
  std::unique_ptr<Job> start_;
  std::mutex now_mu_;
  std::unique_ptr<Job> now_;  // the latest "now", under now_mu_
};

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_FILE_CHECK_H_
