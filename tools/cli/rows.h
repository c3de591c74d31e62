// Pages of a read statement's rows, with each value's storage class: the
// command line's way to the library's sqlr_query for the text formats, which
// must tell a BLOB (Base64 text in the library's JSON) from a TEXT value.
#ifndef KESTROVA_SQLR_TOOLS_CLI_ROWS_H_
#define KESTROVA_SQLR_TOOLS_CLI_ROWS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

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

// One page of rows. Everything points into `doc`.
struct RowPage {
  ParsedDoc doc;
  std::vector<std::string> columns;
  std::vector<yyjson_val*> objects;  // each row as the library wrote it (JSON Lines)
  std::vector<Value> values;         // row i's values at [i * columns.size(), ...)
  int64_t offset = 0;                // the position of the first row in the result
  bool more = false;                 // a row follows the page (asked for, not guessed)
  int64_t next_offset = 0;           // offset + rows()
  size_t returned = 0;               // rows the library gave (one beyond the page, maybe)

  size_t rows() const { return objects.size(); }
  const Value* row(size_t i) const { return values.data() + i * columns.size(); }
};

// Reads one read statement page by page through sqlr_query. With `typed`, the
// statement runs inside one that also reports which of each row's values are
// BLOBs (one more column of '0' and '1' characters, left out of the page);
// a statement that cannot be put inside another (EXPLAIN) runs as it is, its
// strings all taken for TEXT. Without `typed`, every string is TEXT.
class RowSource {
 public:
  RowSource(int32_t handle, std::string sql, bool typed);

  // Reads at most `limit` rows (0..100000) from `offset` into `page`. With
  // `ask_more`, also learns whether a row follows, by asking for one row beyond
  // the page (a second call for a page of 100000). False with the library's
  // message in `error`.
  bool read(int64_t offset, int32_t limit, bool ask_more, RowPage* page, std::string* error);

 private:
  // Learns the column names, and whether the typed form compiles.
  bool prepare(std::string* error);

  int32_t handle_;
  std::string sql_;
  std::string typed_sql_;  // empty: untyped
  bool prepared_ = false;
  std::vector<std::string> columns_;
};

// Reads a document in the library's page shape (`json`: {"columns","rows",
// ...}) into `page`, every string taken for TEXT; offset 0, no more rows.
// False with the reason in `error`.
bool page_from_json(std::string_view json, RowPage* page, std::string* error);

// Whether statement `sql` has a row at position `offset` (0..2147483647), in
// `*follows`. Asked of "SELECT 1 FROM (sql)", whose rows SQLite counts without
// computing their columns (the statement itself when SQLite refuses that
// form). False with the library's message in `error`.
bool row_follows(int32_t handle, const std::string& sql, int32_t offset, bool* follows,
                 std::string* error);

// The number of bytes that the Base64 text `b64` stands for.
size_t base64_size(std::string_view b64);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_ROWS_H_
