// The one database a tool server serves. It is opened at start when it can
// be; a file that cannot be opened yet (another program holds it locked, say)
// is tried again at each request that needs it, so that the server can answer
// and say why instead of ending.
#ifndef KESTROVA_SQLR_TOOLS_MCP_DATABASE_H_
#define KESTROVA_SQLR_TOOLS_MCP_DATABASE_H_

#include <cstdint>
#include <string>
#include <utility>

#include "common/catalogue.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::mcp {

class McpDatabase {
 public:
  // Remembers `path` (UTF-8) and `writable`; opens nothing yet.
  McpDatabase(std::string path, bool writable) : path_(std::move(path)), writable_(writable) {}
  ~McpDatabase() { sqlr_close(handle_); }
  McpDatabase(const McpDatabase&) = delete;
  McpDatabase& operator=(const McpDatabase&) = delete;

  // The open handle, opening the file first if it is not open yet; -1 with
  // the library's message in `error` while it cannot be opened. Never
  // creates the file (the library does not).
  int32_t handle(std::string* error) {
    if (handle_ < 0) {
      handle_ = sqlr_open(path_.c_str(), writable_ ? 1 : 0);
      if (handle_ < 0) {
        *error = sqlr_last_error();
      } else {
        catalogue_ = Catalogue(handle_);
      }
    }
    return handle_;
  }

  // The catalogue of the open database, opening the file first if need be;
  // null with the reason in `error`.
  Catalogue* catalogue(std::string* error) { return handle(error) >= 0 ? &catalogue_ : nullptr; }

  bool writable() const { return writable_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool writable_;
  int32_t handle_ = -1;
  Catalogue catalogue_{-1};
};

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_DATABASE_H_
