// The library keeps no cursor: each page runs the statement from its start and
// passes over `offset` rows, so the loop only moves the offset on.
#include "cli/all_rows.h"

#include "cli/progress.h"
#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {

// See all_rows.h.
bool write_all_rows(int32_t handle, const std::string& sql, int32_t offset, int32_t page_size,
                    std::FILE* out, bool progress, std::string* error) {
  Progress meter(progress);
  long long written = 0;
  int64_t next = offset;
  for (;;) {
    if (next > INT32_MAX) {
      *error = "more rows than an offset can reach (2147483647); the rest cannot be paged";
      return false;
    }
    const Result page(sqlr_query(handle, sql.c_str(), static_cast<int32_t>(next), page_size));
    if (page == nullptr) {
      const std::string why = last_error();
      if (why == SQLR_MSG_RESULT_TOO_LARGE && page_size > 1) {
        page_size /= 2;
        continue;
      }
      *error = why;
      return false;
    }
    // Numbers as raw text and the library's own writer flags: each row comes
    // out byte for byte as the library wrote it.
    std::string bad;
    const ParsedDoc doc = read_json(page.get(), YYJSON_READ_NUMBER_AS_RAW, &bad);
    yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows");
    if (!yyjson_is_arr(rows)) {
      *error = "unexpected page from the library: " + (bad.empty() ? "no rows" : bad);
      return false;
    }
    size_t i, n;
    yyjson_val* row;
    std::string text;
    yyjson_arr_foreach(rows, i, n, row) {
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
    const auto returned = static_cast<int64_t>(yyjson_arr_size(rows));
    written += returned;
    next += returned;
    meter.update(written);
    if (returned < page_size) return true;
  }
}

}  // namespace kestrova::tools::cli
