// Helpers shared by the tests: temporary folders and fixture databases.
#ifndef KESTROVA_SQLR_TESTS_TEST_UTIL_H_
#define KESTROVA_SQLR_TESTS_TEST_UTIL_H_

#include <memory>
#include <string>

#include "kestrova_sqlite_reader.h"
#include "peak_memory.h"

namespace sqlr_test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `name` inside the folder.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Creates (or opens) the database at `path` with SQLite directly and runs
// `sql` on it; fails the current test on any error.
void make_db(const std::string& path, const std::string& sql);

// Writes `bytes` to `path` as a plain file.
void write_file(const std::string& path, const std::string& bytes);

bool file_exists(const std::string& path);

// The library's last-error text as a std::string.
inline std::string last_error() { return sqlr_last_error(); }

// A result string owned by the test; freed with sqlr_free_string.
struct ResultDeleter {
  void operator()(char* s) const { sqlr_free_string(s); }
};
using Result = std::unique_ptr<char, ResultDeleter>;

// The text of a result, or "<null>" for a null result.
inline std::string text(const Result& r) { return r ? std::string(r.get()) : "<null>"; }

// The number of file descriptors this process has open, or -1 where the
// platform does not tell.
int open_descriptors();

// AddressSanitizer keeps freed blocks in quarantine and shadows every byte,
// so resident memory tells nothing about the library's under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The number of registry slots in use (claimed or live).
int slots_in_use();

// Opens `path` and closes it when the object goes; handle() is -1 when the
// open failed.
class OpenDb {
 public:
  OpenDb(const std::string& path, int writable) : handle_(sqlr_open(path.c_str(), writable)) {}
  ~OpenDb() {
    if (handle_ >= 0) sqlr_close(handle_);
  }
  OpenDb(const OpenDb&) = delete;
  OpenDb& operator=(const OpenDb&) = delete;
  int handle() const { return handle_; }

 private:
  int handle_;
};

}  // namespace sqlr_test

#endif  // KESTROVA_SQLR_TESTS_TEST_UTIL_H_
