// Builds the rows of one result page into a JSON document.
#ifndef KESTROVA_SQLR_SQLR_QUERY_PAGE_BUILDER_H_
#define KESTROVA_SQLR_SQLR_QUERY_PAGE_BUILDER_H_

#include <sqlite3.h>
#include <yyjson.h>

#include <cstddef>

// How building a page goes.
enum class PageOutcome {
  kDone,       // the step's work is in the document
  kRowFailed,  // a row could not be built (memory ran out)
  kNoMemory,   // any other addition to the document failed
  kTooLarge,   // the page's text would pass the 100 MB cap
};

// Turns the rows of a running statement into the "columns" and "rows" of a
// page. Each row is written to JSON text by yyjson's writer as soon as it is
// read, from value nodes that point straight into SQLite's buffers, and kept in
// the document as that text: the document then costs little more than the
// text it will become, and the page's bytes are the ones the writer would
// have produced for the whole document.
//
// A running lower bound of the page's text length (keys and strings count
// their bytes and quotes, every number at least one byte, a null four) is kept
// so that a page over the cap is refused while it is being built, before its
// memory is spent. A lower bound never refuses a page that would have fitted.
class PageBuilder {
 public:
  // `doc` and `stmt` outlive the builder.
  PageBuilder(yyjson_mut_doc* doc, sqlite3_stmt* stmt) noexcept : doc_(doc), stmt_(stmt) {}
  ~PageBuilder();
  PageBuilder(const PageBuilder&) = delete;
  PageBuilder& operator=(const PageBuilder&) = delete;

  // Copies the statement's column names into the document and `columns`.
  PageOutcome add_columns(yyjson_mut_val* columns) noexcept;

  // Adds the statement's current row to `rows`. A row that JSON cannot hold
  // (a text that is not UTF-8, an infinite real) is not added; unserialisable()
  // reports it once the page is complete.
  PageOutcome add_row(yyjson_mut_val* rows) noexcept;

  // True when a row could not be written as JSON.
  bool unserialisable() const noexcept { return unserialisable_; }

 private:
  // The writer's output buffer for one row, reused from row to row.
  struct RowBuffer {
    char* data = nullptr;
    size_t cap = 0;
    bool in_use = false;
  };
  static void* buffer_malloc(void* ctx, size_t size) noexcept;
  static void* buffer_realloc(void* ctx, void* ptr, size_t old_size, size_t size) noexcept;
  static void buffer_free(void* ctx, void* ptr) noexcept;

  PageOutcome set_value(int c, yyjson_mut_val* value) noexcept;
  bool fits(size_t n) noexcept;
  void release_row_blobs() noexcept;

  yyjson_mut_doc* doc_;
  sqlite3_stmt* stmt_;
  int ncols_ = 0;
  // Owned, one allocation: the row object, then ncols_ keys (pointing at the
  // names copied into the document), then ncols_ values. Reused for every row.
  yyjson_mut_val* nodes_ = nullptr;
  char** blobs_ = nullptr;  // owned; the Base64 texts of the current row
  RowBuffer buffer_;
  size_t bound_ = 0;
  bool unserialisable_ = false;
};

#endif  // KESTROVA_SQLR_SQLR_QUERY_PAGE_BUILDER_H_
