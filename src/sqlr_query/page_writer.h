// Writes one result page straight into the string that the host receives.
#ifndef KESTROVA_SQLR_SQLR_QUERY_PAGE_WRITER_H_
#define KESTROVA_SQLR_SQLR_QUERY_PAGE_WRITER_H_

#include <sqlite3.h>
#include <yyjson.h>

#include <cstddef>
#include <cstdint>

#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/text_buffer.h"
#include "sqlr_query/scratch_allocator.h"

namespace kestrova::sqlr {

// How writing a page goes.
enum class PageOutcome {
  kDone,       // the step's work is in the page
  kRowFailed,  // a row could not be built (memory ran out)
  kNoMemory,   // any other part of the page could not be made
  kTooLarge,   // the page's text would pass the 100 MB cap
};

// Turns the rows of a running statement into the text
// {"columns":[...],"rows":[...],"offset":O,"limit":L,"returned":R}, held in
// one growing buffer on the C heap that finish() hands over as the result.
// The column names and every row are written by yyjson's writer: a row is one
// reused object of value nodes that point straight into SQLite's buffers,
// written into the writer's own allocation (a reusable scratch block) and
// appended. So the text is exactly what the writer makes of a document of row
// objects, and it is made once.
//
// The page's length is known exactly as it grows, and the cap is tested
// against the text that the page would be if the row at hand were its last.
// Before a row is written, its length is bounded from below (exactly for the
// keys, long texts and BLOBs, which are counted before they are read or
// encoded), so that a value that cannot fit is refused without being built: a
// BLOB is sized without being expanded, and a long text is counted only as far
// as the room left.
//
// Memory beside SQLite's row: the page, at most the cap; a row longer than
// the page so far takes the page in front of it rather than being copied, so
// the page and one row's text never pass 1.5 times the cap; a long BLOB's
// Base64 text exists once more while its row is written.
class PageWriter {
 public:
  // `stmt` outlives the writer; `offset` and `limit` are the effective ones.
  // The caller holds the statement's connection (an Operation) for as long
  // as rows are added, so that values read from it stay valid.
  PageWriter(sqlite3_stmt* stmt, int32_t offset, int32_t limit) noexcept;
  ~PageWriter();
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;

  // Writes the frame up to the first row: the column names of the statement.
  PageOutcome begin() noexcept;

  // Adds the statement's current row. A row that JSON cannot hold (a text
  // that is not UTF-8, an infinite real) is counted but not written;
  // unserialisable() reports it once the page is complete.
  PageOutcome add_row() noexcept;

  // True when a row or a column name could not be written as JSON.
  bool unserialisable() const noexcept { return unserialisable_; }

  // Closes the page with `returned`, the number of rows added. Returns the
  // text, a new string from the C heap that the caller owns, with kDone in
  // `*outcome`; or null with kTooLarge or kNoMemory.
  char* finish(int32_t returned, PageOutcome* outcome) noexcept;

 private:
  struct Encoded {  // where a BLOB's Base64 text lies in b64_
    int column;
    size_t at;
    size_t len;
  };
  PageOutcome set_value(int c, size_t budget, size_t* need) noexcept;
  // The length of the tail after the last row, for `returned` rows.
  size_t tail_bytes(int32_t returned) const noexcept;

  sqlite3_stmt* stmt_;
  JsonDoc doc_;  // the column names and the nodes of the reused row object
  int ncols_ = 0;
  yyjson_mut_val* row_ = nullptr;
  yyjson_mut_val** nodes_ = nullptr;  // owned: ncols_ keys, then ncols_ values
  Encoded* encoded_ = nullptr;        // owned: room for one per column
  size_t blobs_ = 0;                  // BLOBs of the current row in encoded_
  size_t keys_bytes_ = 0;             // "{}", every key with its ':' and the ','s
  TextBuffer page_;                   // the page so far
  TextBuffer b64_;                    // the Base64 texts of the current row
  ScratchAllocator scratch_;          // where the writer writes each row
  size_t uncounted_ = 0;              // lower bounds of rows that were not written
  int32_t rows_ = 0;
  char tail_[64];  // ],"offset":O,"limit":L,"returned":
  size_t tail_len_ = 0;
  bool unserialisable_ = false;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_SQLR_QUERY_PAGE_WRITER_H_
