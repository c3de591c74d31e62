#include "sqlr_query/page_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrova_sqlr/base64.h"
#include "kestrova_sqlr/json_result.h"
#include "sqlr_query/json_length.h"

namespace kestrova::sqlr {

namespace {

constexpr char kHead[] = "{\"columns\":";
constexpr char kRowsOpen[] = ",\"rows\":[";
// Texts up to this length are written without being counted first: what they
// can cost beyond their lower bound is small, and counting would slow every
// row. The exact length of the written row is tested all the same.
constexpr size_t kShortText = 512;
// A row's Base64 scratch larger than this goes back to the heap after the
// row, rather than sit beside the page.
constexpr size_t kKeptScratch = 1 << 20;
// Room for the writer to write a row without a call to the heap; the writer
// asks for six bytes per byte of text, the most that escaping can take.
constexpr size_t kRowScratch = 64 << 10;

// Decimal digits of a non-negative count, as the writer prints integers.
size_t digits(int32_t n) noexcept {
  size_t d = 1;
  for (; n >= 10; n /= 10) ++d;
  return d;
}

}  // namespace

PageWriter::PageWriter(sqlite3_stmt* stmt, int32_t offset, int32_t limit) noexcept
    : stmt_(stmt), page_(SQLR_JSON_MAX_BYTES + 1), scratch_(kRowScratch) {
  const int n = std::snprintf(tail_, sizeof tail_, "],\"offset\":%d,\"limit\":%d,\"returned\":",
                              static_cast<int>(offset), static_cast<int>(limit));
  tail_len_ = n > 0 ? static_cast<size_t>(n) : 0;
}

PageWriter::~PageWriter() {
  std::free(nodes_);
  std::free(encoded_);
}

size_t PageWriter::tail_bytes(int32_t returned) const noexcept {
  return tail_len_ + digits(returned) + 1;
}

PageOutcome PageWriter::begin() noexcept {
  yyjson_mut_doc* d = doc_.get();
  if (d == nullptr) return PageOutcome::kNoMemory;
  ncols_ = sqlite3_column_count(stmt_);
  const size_t n = static_cast<size_t>(ncols_);

  // The names are counted before anything is copied: a name can be as long
  // as the statement's text.
  size_t names_bytes = 0;
  for (int c = 0; c < ncols_; ++c) {
    const char* name = sqlite3_column_name(stmt_, c);
    const size_t len = name != nullptr ? std::strlen(name) : 0;
    size_t cut = 0;
    names_bytes += name != nullptr ? sqlr_json_string_bytes(name, len, SIZE_MAX, &cut) : 2;
  }
  const size_t commas = n > 0 ? n - 1 : 0;
  const size_t columns_bytes = 2 + names_bytes + commas;
  keys_bytes_ = 2 + names_bytes + n + commas;  // each key is followed by ':'
  if (sizeof kHead - 1 + columns_bytes + sizeof kRowsOpen - 1 + tail_bytes(0) >
      SQLR_JSON_MAX_BYTES) {
    return PageOutcome::kTooLarge;
  }

  nodes_ = static_cast<yyjson_mut_val**>(std::malloc(sizeof(yyjson_mut_val*) * (2 * n + 1)));
  encoded_ = static_cast<Encoded*>(std::malloc(sizeof(Encoded) * (n + 1)));
  yyjson_mut_val* columns = yyjson_mut_arr(d);
  row_ = yyjson_mut_obj(d);
  if (nodes_ == nullptr || encoded_ == nullptr || columns == nullptr || row_ == nullptr) {
    return PageOutcome::kNoMemory;
  }
  for (int c = 0; c < ncols_; ++c) {
    const char* name = sqlite3_column_name(stmt_, c);
    if (name == nullptr) name = "";
    // One copy of each name backs "columns" and every row's key: the names
    // cannot change while the statement runs.
    yyjson_mut_val* v = yyjson_mut_strcpy(d, name);
    yyjson_mut_val* key =
        v != nullptr ? yyjson_mut_strn(d, yyjson_mut_get_str(v), yyjson_mut_get_len(v)) : nullptr;
    yyjson_mut_val* value = yyjson_mut_null(d);
    // The row object is linked once: each row only sets its values.
    if (key == nullptr || value == nullptr || !yyjson_mut_arr_append(columns, v) ||
        !yyjson_mut_obj_add(row_, key, value)) {
      return PageOutcome::kNoMemory;
    }
    nodes_[c] = key;
    nodes_[n + c] = value;
  }

  size_t len = 0;
  yyjson_write_err err{};
  char* text = yyjson_mut_val_write_opts(columns, 0, nullptr, &len, &err);
  if (text == nullptr) {
    if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) return PageOutcome::kNoMemory;
    unserialisable_ = true;  // a name that is not UTF-8; reported at the end
    uncounted_ = columns_bytes;
    len = 0;
  }
  const bool ok = page_.reserve(sizeof kHead - 1 + len + sizeof kRowsOpen - 1) &&
                  page_.append(kHead, sizeof kHead - 1) && page_.append(text, len) &&
                  page_.append(kRowsOpen, sizeof kRowsOpen - 1);
  std::free(text);
  return ok ? PageOutcome::kDone : PageOutcome::kNoMemory;
}

PageOutcome PageWriter::add_row() noexcept {
  // Room for the row: the cap less the page so far, its separator and the
  // tail the page would end with if this row were its last.
  const size_t separator = rows_ > 0 ? 1 : 0;
  const size_t fixed = page_.size() + uncounted_ + separator + tail_bytes(rows_ + 1);
  if (fixed > SQLR_JSON_MAX_BYTES) return PageOutcome::kTooLarge;
  const size_t budget = SQLR_JSON_MAX_BYTES - fixed;
  size_t need = keys_bytes_;
  if (need > budget) return PageOutcome::kTooLarge;

  b64_.resize(0);
  blobs_ = 0;
  for (int c = 0; c < ncols_; ++c) {
    const PageOutcome made = set_value(c, budget, &need);
    if (made != PageOutcome::kDone) return made;
  }
  // The Base64 scratch has stopped moving: the BLOB values can point into it.
  for (size_t i = 0; i < blobs_; ++i) {
    const Encoded& e = encoded_[i];
    yyjson_mut_set_strn(nodes_[ncols_ + e.column], e.len > 0 ? b64_.data() + e.at : "", e.len);
  }

  size_t len = 0;
  yyjson_write_err err{};
  scratch_.reset();  // the previous row's text was freed
  const yyjson_alc* alc = scratch_.alc();
  char* text = yyjson_mut_val_write_opts(row_, 0, alc, &len, &err);
  if (b64_.capacity() > kKeptScratch) b64_.release();
  if (text == nullptr) {
    if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) return PageOutcome::kRowFailed;
    unserialisable_ = true;  // reported once the page is complete
    uncounted_ += separator + need;
    ++rows_;
    return PageOutcome::kDone;
  }
  if (len > budget) {
    alc->free(alc->ctx, text);
    return PageOutcome::kTooLarge;
  }
  // A row longer than the page so far (one long value) keeps its block, and
  // the page moves in front of it: a copy of the row would need its length
  // twice over.
  if (len > page_.size() && !scratch_.owns(text) && page_.append(",", separator)) {
    if (page_.append_block(text, len)) {
      ++rows_;
      return PageOutcome::kDone;
    }
    page_.resize(page_.size() - separator);
  }
  PageOutcome outcome = PageOutcome::kRowFailed;
  if (page_.reserve(page_.size() + separator + len)) {
    page_.append(",", separator);
    page_.append(text, len);
    ++rows_;
    outcome = PageOutcome::kDone;
  }
  alc->free(alc->ctx, text);
  return outcome;
}

// Points value node `c` at column `c` of the current row and adds the least it
// can be written in to `*need`, which is at most `budget` on entry. Texts are
// not copied: the row is written before the next step. The operation holds
// the connection's mutex, so the row's values are read through
// sqlite3_value_* calls, which take no lock of their own.
PageOutcome PageWriter::set_value(int c, size_t budget, size_t* need) noexcept {
  sqlite3_value* v = sqlite3_column_value(stmt_, c);
  yyjson_mut_val* value = nodes_[ncols_ + c];
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      yyjson_mut_set_sint(value, sqlite3_value_int64(v));
      *need += 1;
      break;
    case SQLITE_FLOAT:
      yyjson_mut_set_real(value, sqlite3_value_double(v));
      *need += 1;
      break;
    case SQLITE_TEXT: {
      // UTF-8 text is read as its stored bytes, which spares SQLite copying
      // each value only to give it a terminator; other encodings convert.
      const bool utf8 = sqlite3_value_encoding(v) == SQLITE_UTF8;
      const auto* text = static_cast<const char*>(
          utf8 ? sqlite3_value_blob(v) : static_cast<const void*>(sqlite3_value_text(v)));
      const size_t n = static_cast<size_t>(sqlite3_value_bytes(v));
      if (text == nullptr) {
        // No text: empty, unless SQLite ran out of memory converting it.
        if (n != 0 || sqlite3_errcode(sqlite3_db_handle(stmt_)) == SQLITE_NOMEM) {
          return PageOutcome::kRowFailed;
        }
        text = "";
      }
      // A value is returned up to its first NUL byte.
      size_t cut = n;
      if (n <= kShortText) {
        if (const void* nul = std::memchr(text, '\0', n))
          cut = static_cast<const char*>(nul) - text;
        *need += cut + 2;
      } else {
        *need += sqlr_json_string_bytes(text, n, budget - *need, &cut);
      }
      if (*need > budget) return PageOutcome::kTooLarge;
      yyjson_mut_set_strn(value, text, cut);
      break;
    }
    case SQLITE_BLOB: {
      // Sized before its bytes are asked for: a zero BLOB over the cap is
      // never expanded.
      const int bytes = sqlite3_value_bytes(v);
      const uint32_t n = bytes > 0 ? static_cast<uint32_t>(bytes) : 0;
      const size_t chars = (static_cast<size_t>(n) + 2) / 3 * 4;
      *need += chars + 2;
      if (*need > budget) return PageOutcome::kTooLarge;
      const void* blob = sqlite3_value_blob(v);
      // Without its bytes (memory ran out) the value would be silently lost,
      // so the row fails instead.
      if (blob == nullptr && n > 0) return PageOutcome::kRowFailed;
      const size_t at = b64_.size();
      if (!b64_.reserve(at + chars)) return PageOutcome::kRowFailed;
      sqlr_b64_encode_to(blob, n, b64_.data() + at);
      b64_.resize(at + chars);
      encoded_[blobs_++] = {c, at, chars};
      break;
    }
    default:
      yyjson_mut_set_null(value);
      *need += 4;
      break;
  }
  return *need > budget ? PageOutcome::kTooLarge : PageOutcome::kDone;
}

char* PageWriter::finish(int32_t returned, PageOutcome* outcome) noexcept {
  const size_t total = page_.size() + uncounted_ + tail_bytes(returned);
  if (total > SQLR_JSON_MAX_BYTES) {
    *outcome = PageOutcome::kTooLarge;
    return nullptr;
  }
  char count[16];
  const int n = std::snprintf(count, sizeof count, "%d}", static_cast<int>(returned));
  char* text = nullptr;
  if (n > 0 && page_.reserve(total + 1)) {
    page_.append(tail_, tail_len_);
    page_.append(count, static_cast<size_t>(n));
    text = page_.take_string();
  }
  *outcome = text != nullptr ? PageOutcome::kDone : PageOutcome::kNoMemory;
  return text;
}

}  // namespace kestrova::sqlr
