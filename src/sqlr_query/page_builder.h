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
// read, from value nodes that point straight into SQLite's buffers, straight
// into one growing text of the whole "rows" array; the document holds that
// text as one raw value. The page then costs little more than twice its text
// (the rows here, the serialised document), and its bytes are the ones the
// writer would have produced for a document of row objects.
//
// A running lower bound of the page's text length (keys and strings count
// their bytes and quotes, every number at least one byte, a null four) is kept
// so that a page over the cap is refused while it is being built, before its
// memory is spent. A lower bound never refuses a page that would have fitted.
class PageBuilder {
 public:
  // `doc` and `stmt` outlive the builder; the builder outlives the document's
  // serialisation (the "rows" value points into it).
  PageBuilder(yyjson_mut_doc* doc, sqlite3_stmt* stmt) noexcept : doc_(doc), stmt_(stmt) {}
  ~PageBuilder();
  PageBuilder(const PageBuilder&) = delete;
  PageBuilder& operator=(const PageBuilder&) = delete;

  // Copies the statement's column names into the document and `columns`.
  PageOutcome add_columns(yyjson_mut_val* columns) noexcept;

  // Adds the statement's current row. A row that JSON cannot hold (a text
  // that is not UTF-8, an infinite real) is not added; unserialisable()
  // reports it once the page is complete.
  PageOutcome add_row() noexcept;

  // Makes `rows` the raw text of the rows added; false when memory ran out.
  bool finish_rows(yyjson_mut_val* rows) noexcept;

  // True when a row could not be written as JSON.
  bool unserialisable() const noexcept { return unserialisable_; }

 private:
  // The text of the "rows" array. The writer's one allocation per row is
  // served from its tail, so each row is written in place.
  struct RowsText {
    char* data = nullptr;
    size_t used = 0;   // committed bytes: '[' and the rows so far
    size_t start = 0;  // where the row being written begins
    size_t cap = 0;
    bool writing = false;
    bool reserve(size_t need) noexcept;
  };
  static void* text_malloc(void* ctx, size_t size) noexcept;
  static void* text_realloc(void* ctx, void* ptr, size_t old_size, size_t size) noexcept;
  static void text_free(void* ctx, void* ptr) noexcept;

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
  RowsText text_;
  size_t rows_ = 0;
  size_t bound_ = 0;
  bool unserialisable_ = false;
};

#endif  // KESTROVA_SQLR_SQLR_QUERY_PAGE_BUILDER_H_
