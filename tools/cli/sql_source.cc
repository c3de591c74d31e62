// Plain C stdio over a file opened by its UTF-8 name (console_io.h).
#include "cli/sql_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/console_io.h"

namespace kestrova::tools::cli {

// See sql_source.h.
bool read_sql(const std::string& path, std::string* sql, std::string* error) {
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? "standard input" : path;
  std::FILE* in = from_stdin ? stdin : open_for_reading(path);
  if (in == nullptr) {
    *error = "cannot open " + name + ": " + std::strerror(errno);
    return false;
  }
  sql->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) sql->append(buf, n);
  const bool failed = std::ferror(in) != 0;
  const int saved = errno;
  if (!from_stdin) std::fclose(in);
  if (failed) {
    *error = "cannot read " + name + ": " + std::strerror(saved);
    return false;
  }
  if (sql->compare(0, 3, "\xEF\xBB\xBF") == 0) sql->erase(0, 3);
  if (sql->find('\0') != std::string::npos) {
    *error = "the SQL in " + name + " holds a NUL byte";
    return false;
  }
  return true;
}

}  // namespace kestrova::tools::cli
