// query --all: every row of a statement, fetched page by page.
#ifndef KESTROVA_SQLR_TOOLS_CLI_ALL_ROWS_H_
#define KESTROVA_SQLR_TOOLS_CLI_ALL_ROWS_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrova::tools::cli {

// Writes every row of `sql` on `handle` from row `offset` on to `out`, one
// row object per line exactly as the library wrote it, `page_size` rows at a
// time through the shared pager (which halves a page at the library's 100 MB
// cap) until a page says no more rows follow. When
// `progress` is set and the work lasts more than a second, a count of rows is
// kept up to date on stderr and erased at the end. Returns false with the
// reason (the library's message, or why the rows could not be read) in `error`;
// the rows of earlier pages have been written by then.
bool write_all_rows(int32_t handle, const std::string& sql, int32_t offset, int32_t page_size,
                    std::FILE* out, bool progress, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_ALL_ROWS_H_
