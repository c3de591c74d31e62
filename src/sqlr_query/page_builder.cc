#include "sqlr_query/page_builder.h"

#include <cstdlib>
#include <cstring>

#include "kestrova_sqlr/base64.h"
#include "kestrova_sqlr/error.h"

namespace {

// The shortest text of the page's frame, `{"columns":[],"rows":[],
// "offset":0,"limit":0,"returned":0}`, less the two separators that the
// per-name and per-row counts take once too often.
constexpr size_t kFrameBytes = 58 - 2;

// Holds a statement's connection mutex for its own lifetime. While it is held
// the row's values may be read through sqlite3_value_* calls, which take no
// lock of their own, instead of sqlite3_column_* calls, which take one each.
class ConnectionLock {
 public:
  explicit ConnectionLock(sqlite3_stmt* stmt) noexcept
      : mutex_(sqlite3_db_mutex(sqlite3_db_handle(stmt))) {
    sqlite3_mutex_enter(mutex_);
  }
  ~ConnectionLock() { sqlite3_mutex_leave(mutex_); }
  ConnectionLock(const ConnectionLock&) = delete;
  ConnectionLock& operator=(const ConnectionLock&) = delete;

 private:
  sqlite3_mutex* mutex_;
};

}  // namespace

PageBuilder::~PageBuilder() {
  release_row_blobs();
  std::free(blobs_);
  std::free(nodes_);
  std::free(text_.data);
}

// Grows the text to hold `need` bytes; false when memory runs out.
bool PageBuilder::RowsText::reserve(size_t need) noexcept {
  if (need <= cap) return true;
  size_t bigger = cap < 4096 ? 4096 : cap * 2;
  if (bigger < need) bigger = need;
  char* moved = static_cast<char*>(std::realloc(data, bigger));
  if (moved == nullptr) return false;
  data = moved;
  cap = bigger;
  return true;
}

// The writer makes one allocation per row and grows it; that one is the tail
// of the text, from `start`. Anything beyond it (not expected) gets memory of
// its own.
void* PageBuilder::text_malloc(void* ctx, size_t size) noexcept {
  auto* t = static_cast<RowsText*>(ctx);
  if (t->writing) return std::malloc(size);
  if (!t->reserve(t->start + size)) return nullptr;
  t->writing = true;
  return t->data + t->start;
}

void* PageBuilder::text_realloc(void* ctx, void* ptr, size_t, size_t size) noexcept {
  auto* t = static_cast<RowsText*>(ctx);
  if (!t->writing || ptr != t->data + t->start) return std::realloc(ptr, size);
  if (!t->reserve(t->start + size)) return nullptr;
  return t->data + t->start;
}

void PageBuilder::text_free(void* ctx, void* ptr) noexcept {
  auto* t = static_cast<RowsText*>(ctx);
  if (t->writing && ptr == t->data + t->start) {
    t->writing = false;  // nothing is committed
  } else {
    std::free(ptr);
  }
}

PageOutcome PageBuilder::add_columns(yyjson_mut_val* columns) noexcept {
  ncols_ = sqlite3_column_count(stmt_);
  bound_ = kFrameBytes;
  const size_t n = static_cast<size_t>(ncols_);
  nodes_ = static_cast<yyjson_mut_val*>(std::malloc(sizeof(yyjson_mut_val) * (1 + 2 * n)));
  blobs_ = static_cast<char**>(std::calloc(n + 1, sizeof(char*)));
  if (nodes_ == nullptr || blobs_ == nullptr || !text_.reserve(4096)) return PageOutcome::kNoMemory;
  text_.data[0] = '[';
  text_.used = 1;
  yyjson_mut_val* keys = nodes_ + 1;
  for (int c = 0; c < ncols_; ++c) {
    const char* name = sqlite3_column_name(stmt_, c);
    if (name == nullptr) name = "";
    // One copy of each name in the document backs "columns" and every row's
    // key: the names cannot change while the statement runs.
    yyjson_mut_val* v = yyjson_mut_strcpy(doc_, name);
    if (v == nullptr || !yyjson_mut_arr_append(columns, v)) return PageOutcome::kNoMemory;
    yyjson_mut_set_strn(&keys[c], yyjson_mut_get_str(v), yyjson_mut_get_len(v));
    bound_ += yyjson_mut_get_len(v) + 3;
  }
  return bound_ > SQLR_JSON_MAX_BYTES ? PageOutcome::kTooLarge : PageOutcome::kDone;
}

PageOutcome PageBuilder::add_row() noexcept {
  ConnectionLock lock(stmt_);  // until the row's text is written
  yyjson_mut_val* row = nodes_;
  yyjson_mut_val* keys = nodes_ + 1;
  yyjson_mut_val* values = keys + ncols_;
  yyjson_mut_set_obj(row);
  const size_t bound_before = bound_;
  bound_ += 2;
  for (int c = 0; c < ncols_; ++c) {
    bound_ += yyjson_mut_get_len(&keys[c]) + 4;
    const PageOutcome made = set_value(c, &values[c]);
    if (made != PageOutcome::kDone) {
      release_row_blobs();
      return made;
    }
    yyjson_mut_obj_add(row, &keys[c], &values[c]);
  }

  // The row is written after the separator, straight into the text.
  const size_t separator = rows_ > 0 ? 1 : 0;
  text_.start = text_.used + separator;
  const yyjson_alc alc = {text_malloc, text_realloc, text_free, &text_};
  size_t len = 0;
  yyjson_write_err err{};
  char* written = yyjson_mut_val_write_opts(row, 0, &alc, &len, &err);
  release_row_blobs();
  if (written == nullptr) {
    if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) return PageOutcome::kRowFailed;
    unserialisable_ = true;  // reported once the page is complete
    return PageOutcome::kDone;
  }
  if (written != text_.data + text_.start) {  // not in place after all: copy it
    const bool copied = text_.reserve(text_.start + len);
    if (copied) std::memcpy(text_.data + text_.start, written, len);
    text_free(&text_, written);
    if (!copied) return PageOutcome::kRowFailed;
  }
  text_.writing = false;
  if (separator != 0) text_.data[text_.used] = ',';
  text_.used = text_.start + len;
  ++rows_;
  // The row's exact length replaces its estimate, plus the separator.
  bound_ = bound_before + len + 1;
  return PageOutcome::kDone;
}

bool PageBuilder::finish_rows(yyjson_mut_val* rows) noexcept {
  if (!text_.reserve(text_.used + 1)) return false;
  text_.data[text_.used++] = ']';
  return yyjson_mut_set_raw(rows, text_.data, text_.used);
}

// Counts `n` more bytes of text; true while the page still fits the cap.
bool PageBuilder::fits(size_t n) noexcept {
  bound_ += n;
  return bound_ <= SQLR_JSON_MAX_BYTES;
}

// Sets `value` to column `c` of the current row by its storage class. Text
// and BLOB values are not copied: the row is written before the next step.
// The cap is tested before a large value is encoded or written. The caller
// holds the connection's mutex.
PageOutcome PageBuilder::set_value(int c, yyjson_mut_val* value) noexcept {
  sqlite3_value* v = sqlite3_column_value(stmt_, c);
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      yyjson_mut_set_sint(value, sqlite3_value_int64(v));
      return fits(1) ? PageOutcome::kDone : PageOutcome::kTooLarge;
    case SQLITE_FLOAT:
      yyjson_mut_set_real(value, sqlite3_value_double(v));
      return fits(1) ? PageOutcome::kDone : PageOutcome::kTooLarge;
    case SQLITE_TEXT: {
      // UTF-8 text is read as its stored bytes, which spares SQLite copying
      // each value only to give it a terminator; other encodings convert.
      const bool utf8 = sqlite3_value_encoding(v) == SQLITE_UTF8;
      const auto* text = static_cast<const char*>(
          utf8 ? sqlite3_value_blob(v) : static_cast<const void*>(sqlite3_value_text(v)));
      size_t n = static_cast<size_t>(sqlite3_value_bytes(v));
      if (text == nullptr) {
        // No text: empty, unless SQLite ran out of memory converting it.
        if (n != 0 || sqlite3_errcode(sqlite3_db_handle(stmt_)) == SQLITE_NOMEM) {
          return PageOutcome::kRowFailed;
        }
        text = "";
      }
      // A value is returned up to its first NUL byte.
      if (const void* nul = std::memchr(text, '\0', n)) n = static_cast<const char*>(nul) - text;
      if (!fits(n + 2)) return PageOutcome::kTooLarge;
      yyjson_mut_set_strn(value, text, n);
      return PageOutcome::kDone;
    }
    case SQLITE_BLOB: {
      const void* blob = sqlite3_value_blob(v);
      const int n = sqlite3_value_bytes(v);
      const size_t encoded = (static_cast<size_t>(n) + 2) / 3 * 4;
      if (!fits(encoded + 2)) return PageOutcome::kTooLarge;
      // The encoder fails only when memory runs out; a null in place of the
      // bytes would be data silently lost, so the row fails instead.
      char* b64 = sqlr_b64_encode(blob, n);
      if (b64 == nullptr) return PageOutcome::kRowFailed;
      blobs_[c] = b64;
      yyjson_mut_set_strn(value, b64, encoded);
      return PageOutcome::kDone;
    }
    default:
      yyjson_mut_set_null(value);
      return fits(4) ? PageOutcome::kDone : PageOutcome::kTooLarge;
  }
}

void PageBuilder::release_row_blobs() noexcept {
  if (blobs_ == nullptr) return;
  for (int c = 0; c < ncols_; ++c) {
    std::free(blobs_[c]);
    blobs_[c] = nullptr;
  }
}
