// SQL given by file or on standard input rather than as an argument: long
// statements, and no shell quoting (which on Windows differs by shell).
#ifndef KESTROVA_SQLR_TOOLS_CLI_SQL_SOURCE_H_
#define KESTROVA_SQLR_TOOLS_CLI_SQL_SOURCE_H_

#include <string>

namespace kestrova::tools::cli {

// Reads the whole of file `path` ("-": standard input) into `sql`. A UTF-8
// byte-order mark at the start is dropped (editors on Windows write one). Text
// holding a NUL byte is refused, since the library would read only up to it.
// False with the reason in `error`.
bool read_sql(const std::string& path, std::string* sql, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_SQL_SOURCE_H_
