// The delimited (CSV, TSV) and JSON row formats that the command line prints
// and the data browser exports, written from a page's rows into a buffer, so
// that both hosts give the same bytes. Decisions a reader of the output relies
// on: CSV and TSV lines end in CRLF (RFC 4180, and what Python's excel and
// excel-tab dialects write); NULL is an empty field; a field is quoted only
// when it holds the delimiter, a double quote, CR or LF; a BLOB is its Base64
// text, under a header that says "(base64)" when the first page held one in
// that column. A JSON row is the object as the library wrote it.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_ROW_FORMATS_H_
#define KESTROVA_SQLR_TOOLS_COMMON_ROW_FORMATS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/pager.h"
#include "yyjson.h"

namespace kestrova::tools {

// Writes rows as delimited lines (',' for CSV, '\t' for TSV).
class DelimitedRows {
 public:
  explicit DelimitedRows(char delimiter);

  // Appends the header line of `columns` to `out`; a column whose entry in
  // `blob_columns` is set is marked " (base64)". Call once.
  void header(const std::vector<std::string>& columns, const std::vector<bool>& blob_columns,
              std::string* out);

  // Appends the first `width` members of the row object `row` as one line.
  // `blob_columns` is the header's marking; returns the first column (from 0)
  // that holds a BLOB (by `is_blob(c)`) that the header did not mark, or
  // `npos`, so that the caller can say so once.
  template <typename IsBlob>
  size_t row(yyjson_val* row, size_t width, const IsBlob& is_blob, std::string* out);

  static constexpr size_t npos = static_cast<size_t>(-1);

 private:
  // Appends one field, in quotes when it needs them.
  void append_field(std::string_view field, std::string* out) const;

  char delimiter_;
  bool special_[256] = {};
  std::vector<bool> marked_;
};

// The columns of the typed page `first` (Page::is_blob) that hold a BLOB in
// any of its rows, for DelimitedRows::header; each row's marks read a word at
// a time rather than a value at a time.
std::vector<bool> page_blob_columns(const Page& first, size_t width);

// Appends the row object `row` as the library wrote it, its first `width`
// members only (all of them when `width` is npos). False with the reason in
// `error` when it cannot be written.
bool append_json_row(yyjson_val* row, size_t width, std::string* out, std::string* error);

template <typename IsBlob>
size_t DelimitedRows::row(yyjson_val* row, size_t width, const IsBlob& is_blob, std::string* out) {
  size_t unmarked = npos;
  // A line of one empty field is written "" so that it is not an empty line.
  bool empty_line = width == 1;
  yyjson_obj_iter it = yyjson_obj_iter_with(row);
  size_t c = 0;
  for (yyjson_val* key = yyjson_obj_iter_next(&it); key != nullptr && c < width;
       key = yyjson_obj_iter_next(&it), ++c) {
    yyjson_val* v = yyjson_obj_iter_get_val(key);
    if (c > 0) out->push_back(delimiter_);
    if (yyjson_is_raw(v)) {
      out->append(yyjson_get_raw(v), yyjson_get_len(v));
      empty_line = false;
    } else if (yyjson_is_str(v)) {
      const size_t len = yyjson_get_len(v);
      if (unmarked == npos && (c >= marked_.size() || !marked_[c]) && is_blob(c)) unmarked = c;
      append_field(std::string_view(yyjson_get_str(v), len), out);
      empty_line = empty_line && len == 0;
    }
  }
  if (empty_line) out->append("\"\"");
  out->append("\r\n");
  return unmarked;
}

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_ROW_FORMATS_H_
