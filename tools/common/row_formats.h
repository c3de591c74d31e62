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
#include <cstdint>
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

  // Appends one row of the library's compact page text, read at `*at` (its
  // "{"), as row() writes it from a document: `width` values, then `words`
  // members of BLOB marks (Page::blob_bits), which go to `marks` rather than
  // the line. Strings are decoded straight into the field, numbers copied as
  // written. With a null `out` the row is only read. False (at unmoved)
  // when the text is not a row of that shape, so that the caller can read
  // the page into a document instead; the text is never guessed at.
  // `keys`, when given, are the members' keys as the text spells them
  // (read_text_columns), compared as bytes before a key is decoded.
  bool text_row(std::string_view text, size_t* at, size_t width, size_t words, uint64_t* marks,
                const std::vector<std::string_view>* keys, std::string* out);

  // The first column (from 0) that `marks` (a row's words) say holds a BLOB
  // the header did not mark, or npos.
  size_t unmarked_blob(const uint64_t* marks, size_t words) const;

  static constexpr size_t npos = static_cast<size_t>(-1);

 private:
  // Appends one field, in quotes when it needs them.
  void append_field(std::string_view field, std::string* out) const;

  char delimiter_;
  bool special_[256] = {};
  std::vector<bool> marked_;
  std::string scratch_;  // a decoded string that held escapes, reused
};

// The start of the library's compact page text `text` that DelimitedRows::
// text_row reads rows after: {"columns":[names],"rows":[ . Sets `columns`
// (all names, marks included), `spelled` to each name's JSON text in `text`
// (its quotes included) and `*rows_at` to the first row's "{" (or the end of
// the rows); false when the text does not start so.
bool read_text_columns(std::string_view text, std::vector<std::string>* columns,
                       std::vector<std::string_view>* spelled, size_t* rows_at);

// Decodes the JSON string at `*at` (its opening quote) of `text` as yyjson
// reads it: a view into `text` when it holds no escape, else into `scratch`;
// `*at` moves past the closing quote. False on anything yyjson would refuse
// or that is not plainly valid (bad escapes, lone surrogates, control
// characters, ill-formed UTF-8).
bool read_json_string(std::string_view text, size_t* at, std::string_view* value,
                      std::string* scratch);

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
