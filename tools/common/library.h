// Owning wrappers over the library's handles and result strings, so that every
// path of the tool closes what it opened and frees what it was given.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_LIBRARY_H_
#define KESTROVA_SQLR_TOOLS_COMMON_LIBRARY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "kestrova_sqlite_reader.h"

namespace kestrova::tools {

// Releases a result string with sqlr_free_string.
struct FreeResult {
  void operator()(char* s) const noexcept { sqlr_free_string(s); }
};

// A result string of sqlr_tables, sqlr_schema or sqlr_query; null on failure.
using Result = std::unique_ptr<char, FreeResult>;

// An open database; closed when the object goes. A failed open holds -1.
class Database {
 public:
  // Opens `path` (read-only unless `writable`); ok() tells whether it worked.
  Database(const std::string& path, bool writable) noexcept
      : handle_(sqlr_open(path.c_str(), writable ? 1 : 0)) {}
  ~Database() { sqlr_close(handle_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool ok() const noexcept { return handle_ >= 0; }
  int32_t handle() const noexcept { return handle_; }

 private:
  int32_t handle_;
};

// The library's last-error text, copied.
inline std::string last_error() { return sqlr_last_error(); }

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_LIBRARY_H_
