// Pages of a statement or a table that know whether more rows follow: one row
// is asked beyond the page, a page the library refuses at its 100 MB cap is
// asked again at half its size, and a table read in its own order pages by
// key (WHERE rowid > last), so that its last page costs what its first does.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_PAGER_H_
#define KESTROVA_SQLR_TOOLS_COMMON_PAGER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/catalogue.h"
#include "common/json.h"
#include "common/library.h"
#include "yyjson.h"

namespace kestrova::tools {

// One page of rows, as the library wrote them (numbers kept as written). The
// document may hold more than the page (the row beyond it, a key page's key
// columns): write the rows one by one, or the page with write_page_json.
struct Page {
  ParsedDoc doc;  // owns everything below
  std::vector<std::string> columns;
  std::vector<yyjson_val*> rows;  // JSON objects in column order (duplicate names kept)
  int64_t offset = 0;             // position of the first row in the whole result
  bool more = false;              // at least one row follows this page
  int64_t next_offset = 0;        // offset + the page's rows
  std::string next_key;           // key paging: a cursor for the row after the page, else ""
  // The library's text of the page and, when known, where the page's rows end
  // in it (at the "]" or "," after the last one; 0: not known), so that the
  // page can be written without writing each row again.
  Result text;
  size_t rows_end = 0;
  // Typed pages only: which values are BLOBs (the JSON writes them as
  // Base64 text, like text), `blob_words` words per row, bit c % 62 of word
  // c / 62 for column c; empty when the pager is not typed or its statement
  // could not carry them.
  static constexpr size_t kBlobsPerWord = 62;
  std::vector<uint64_t> blob_bits;
  size_t blob_words = 0;

  // Whether value `column` of row `row` is a BLOB (false on untyped pages).
  bool is_blob(size_t row, size_t column) const {
    const size_t word = column / kBlobsPerWord;
    return word < blob_words && row * blob_words + word < blob_bits.size() &&
           (blob_bits[row * blob_words + word] >> (column % kBlobsPerWord) & 1) != 0;
  }
};

// What to read of one table or view.
struct TableRead {
  std::string name;    // any name the catalogue lists
  std::string select;  // the select list, "" = *
  std::string where;   // extra WHERE text, already safe SQL; "" = every row
  std::string order;   // ORDER BY text; "" = the table's own order
};

// Pages one statement or one table.
class Pager {
 public:
  // A read statement paged by offset (any SELECT/VALUES/WITH/EXPLAIN).
  static Pager for_statement(int32_t handle, std::string sql);

  // As for_statement, with each page's BLOB marks (Page::is_blob): the JSON
  // of a page does not tell a BLOB (Base64 text) from text, so the statement
  // runs inside one that adds an integer of BLOB bits per 62 columns as more
  // members of each row, which the pager takes off again. A statement that cannot stand inside
  // another (EXPLAIN, PRAGMA, too many columns) pages untyped.
  static Pager for_typed_statement(int32_t handle, std::string sql);

  // Every row of table or view `name`, optionally filtered by `where` and in
  // `order`. In its own order a rowid table pages by rowid and a WITHOUT ROWID
  // table by its primary key; views, virtual tables and other orders page by
  // offset.
  static Pager for_table(int32_t handle, std::string name, std::string where = "",
                         std::string order = "");

  // As above with a select list, looking the table up in `catalogue` (which
  // must outlive the pager) rather than in one of its own.
  static Pager for_table(Catalogue* catalogue, int32_t handle, TableRead read);

  // Reads the page that starts at `offset`, or (key paging) after `key`, a
  // next_key of an earlier page; with a key, `offset` only numbers the page's
  // first row. At most `limit` rows (0..100000). A page refused for passing
  // the library's 100 MB cap is asked again at half its size, down to one
  // row, which then fails with the library's message; later pages then ask
  // for that many rows at most (and say `more` exactly). False with the
  // library's message (or why a key is unusable) in `error`.
  bool read(int64_t offset, const std::string& key, int32_t limit, Page* page, std::string* error);

  // As read() for a statement pager, the page left as the library's text
  // alone (page->text, page->rows_end, never read into a document: a host
  // that prints it as it comes pays for no parse): the row asked beyond the
  // page is cut from the text. page->rows, columns and doc stay empty. Write
  // it as text[0, rows_end) then page_json_ending(). A table pager fails.
  bool read_text(int64_t offset, int32_t limit, Page* page, std::string* error);

  // As read_text() with the BLOB marks of for_typed_statement: the text's
  // rows end in `blob_words` more members each, the marks, which a reader of
  // the text takes off itself (its columns too). A statement that pages
  // untyped is read as read() reads it, into a document (page->doc set).
  bool read_typed_text(int64_t offset, int32_t limit, Page* page, std::string* error);

  // Whether pages of this pager go by key (known after the first read).
  bool by_key() const { return !key_columns_.empty(); }

 private:
  Pager(int32_t handle, std::string sql) : handle_(handle), sql_(std::move(sql)) {}

  // Works out the statement of a table read (once): false when the table is
  // not there.
  bool plan(std::string* error);

  // The statement for the rows after cursor `key` ("" = from the start).
  bool statement_after(const std::string& key, std::string* sql, std::string* error) const;

  // Works out the typed statement (once); without one the pager runs untyped.
  bool plan_types(std::string* error);

  // How many rows to ask for a page of `limit`: `want` kept, `ask` asked
  // (one beyond when it can be).
  void page_size(int32_t limit, int32_t* want, int32_t* ask) const;

  // Whether a row follows the `got` rows read at `at` of `sql` after a
  // full page that could not ask one beyond (LIMIT 1 at the next offset).
  bool probe(const std::string& sql, const Page& page, int64_t at, int64_t got, bool* more,
             std::string* error) const;

  // The rest of a text page in page->text, asked as `ask` rows for a page of
  // `want` at `offset` (fetch_text's `halved` and `asked`): `more`, rows_end
  // with the row beyond cut, and the page's numbering.
  bool finish_text_page(int64_t offset, int32_t want, int32_t ask, bool halved, int32_t asked,
                        Page* page, std::string* error);

  // Asks the library for `ask` rows at `offset` of `sql`, halving at the cap,
  // into `text` only.
  bool fetch_text(const std::string& sql, int64_t offset, int32_t ask, Result* text, bool* halved,
                  int32_t* asked, std::string* error) const;

  // Asks the library for `ask` rows at `offset` of `sql`, halving at the cap;
  // `halved` says whether it had to and `asked` how many rows it asked last.
  bool fetch(const std::string& sql, int64_t offset, int32_t ask, Page* page, bool* halved,
             int32_t* asked, std::string* error) const;

  int32_t handle_;
  std::string sql_;  // the statement, or once planned the table's
  // Rows the library last returned after halving (0: never halved). Later
  // pages ask no more, so that a long read is not refused page after page.
  int32_t fits_ = 0;

  // Typed statements only: the statement with its storage classes, once
  // planned ("" when it cannot carry them).
  bool typed_planned_ = true;
  std::string typed_sql_;
  size_t typed_words_ = 0;  // the members of BLOB bits it adds

  // Table reads only.
  Catalogue own_catalogue_{-1};
  Catalogue* catalogue_ = nullptr;
  TableRead table_;
  bool planned_ = true;
  std::vector<std::string> key_columns_;  // quoted key expressions, in key order
};

// Writes `page` as the library writes a page of `limit` rows:
// {"columns":[..],"rows":[..],"offset":O,"limit":L,"returned":N}, each row
// byte for byte as the library wrote it.
bool write_page_json(const Page* page, int64_t limit, std::string* out, std::string* error);

// What follows a page's last row in the library's shape:
// ],"offset":O,"limit":L,"returned":N}
std::string page_json_ending(const Page& page, int64_t limit);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_PAGER_H_
