// Prints the rows of a read statement in the chosen format: one page (saying
// on stderr when more rows follow it) or, with --all, every row page by page.
#ifndef KESTROVA_SQLR_TOOLS_CLI_PRINT_ROWS_H_
#define KESTROVA_SQLR_TOOLS_CLI_PRINT_ROWS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace kestrova::tools::cli {

// Prints the rows of `sql` on `handle` as `opts` asks (format, offset, limit,
// all, page size, max width) to stdout. A page after which rows follow is
// said so: in the table format by its count line, in the others on stderr with
// the offset of the next page. False with the reason in `error`; the rows of
// earlier pages may have been written by then.
bool print_rows(int32_t handle, const std::string& sql, const Options& opts, std::string* error);

// Prints a whole page document `json` in the library's shape (made by the
// tool itself, e.g. grep's) in `opts.format`.
bool print_page_document(std::string_view json, const Options& opts, std::string* error);

// The stderr line that says where the next page starts.
void say_more_rows(int64_t next_offset);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_PRINT_ROWS_H_
