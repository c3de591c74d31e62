// The text formats a page of rows can be printed in, each written row by row
// so that --all streams: CSV, TSV, Markdown, `column = value` lines, JSON
// Lines, and the aligned table.
#ifndef KESTROVA_SQLR_TOOLS_CLI_FORMATS_H_
#define KESTROVA_SQLR_TOOLS_CLI_FORMATS_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "common/pager.h"

namespace kestrova::tools::cli {

// The storage class of one value, as SQLite reported it.
enum class ValueKind { kNull, kInteger, kReal, kText, kBlob };

// One value of a row. `text` points into the page's document: a number as the
// library wrote it (exact: big integers keep every digit), a TEXT value's
// bytes, a BLOB's Base64 form; empty for NULL.
struct Value {
  ValueKind kind = ValueKind::kNull;
  std::string_view text;
};

// The value `v` of a library row; a string is TEXT unless `type` is 'b'
// (a BLOB, as Page::is_blob says).
Value value_of(yyjson_val* v, char type);

// The values of row `i` of `page` in column order, into `values`.
void row_values(const Page& page, size_t i, std::vector<Value>* values);

// The number of bytes that the Base64 text `b64` stands for.
size_t base64_size(std::string_view b64);

// Writes the rows of one result to a stream in one format. Output is kept in
// a buffer and written out by flush() (and whenever the buffer grows large).
class RowWriter {
 public:
  virtual ~RowWriter() = default;

  // Called once, before any row, with the first page (which may hold none).
  virtual void begin(const Page& first) = 0;
  // Writes row `i` of `page`.
  virtual void row(const Page& page, size_t i) = 0;
  // Writes the whole text page `page` (Pager::read_typed_text, no document),
  // as begin() (for the first page) and row() would write its rows. False,
  // with nothing written, when this writer takes no text or the text is not
  // as expected: then read the page into a document and write it row by row.
  virtual bool text_page(const Page& /*page*/, bool /*first*/) { return false; }
  // Called once after the last row.
  virtual void end() {}

  // Writes out what is buffered; false when the stream failed.
  bool flush();

 protected:
  explicit RowWriter(std::FILE* out) : out_(out) {}
  // Appends `text`, writing the buffer out once it is large.
  void put(std::string_view text);

  std::string buffer_;

 private:
  static constexpr size_t kFlushBytes = 1 << 20;
  std::FILE* out_;
};

// A writer of `format` (not json or pretty, which print the library's
// documents) to `out`. Table cells are cut to `max_width` code points.
std::unique_ptr<RowWriter> make_row_writer(Format format, std::FILE* out, size_t max_width);

// Whether `format` shows BLOBs apart from text (and so needs typed pages:
// Pager::for_typed_statement).
bool format_needs_types(Format format);

// How a value is shown to people (table, markdown and line formats): NULL as
// NULL, a BLOB as "<blob N bytes>", numbers as written, and text as it is,
// unless it could be taken for one of those marks ("NULL", "<blob ...",
// anything starting with a double quote): then in double quotes, inner ones
// doubled.
std::string shown_value(const Value& value);

// `field` as one CSV (`delimiter` ',') or TSV ('\t') field, the way Python's
// csv module writes it: in double quotes, inner ones doubled, when it holds
// the delimiter, a double quote, CR or LF; as it is otherwise.
std::string delimited_field(std::string_view field, char delimiter);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_FORMATS_H_
