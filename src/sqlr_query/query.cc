// sqlr_query: one read statement, one page of its rows as a JSON document.
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/base64.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/sql_gate.h"
#include "kestrova_sqlr/stmt.h"
#include "sqlr_query/op_failure.h"
#include "sqlr_query/read_guard.h"

namespace {

constexpr int32_t SQLR_MAX_ROWS = 100000;

constexpr char kRejected[] = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";
constexpr char kTooLarge[] = "JSON result exceeds 100MB limit";
constexpr char kRowFailed[] = "failed to build JSON row";
constexpr char kOutOfMemory[] = "failed to serialize JSON";

// The shortest text of the document's frame, `{"columns":[],"rows":[],
// "offset":0,"limit":0,"returned":0}`, less the two separators that the
// per-name and per-row counts below take once too often.
constexpr size_t kFrameBytes = 58 - 2;

// How a page is being built.
enum class Outcome {
  kDone,       // every row of the page added
  kStepError,  // a step gave neither a row nor SQLITE_DONE
  kRowFailed,  // a row object could not be built
  kNoMemory,   // any other addition to the document failed
  kTooLarge,   // the text would pass SQLR_JSON_MAX_BYTES
};

// One result column's name, copied once into the document; every row's key
// shares that copy (the names cannot change while the statement runs).
struct ColumnName {
  const char* str;
  size_t len;
};

// Builds one page into `doc`. Keeps a running lower bound of the serialised
// text's length (keys and strings count their bytes and quotes, every number
// at least one byte, a null four), so that a page over the cap is refused
// while it is being built rather than after gigabytes have been allocated.
// A lower bound never refuses a page that would have fitted.
class PageBuilder {
 public:
  PageBuilder(yyjson_mut_doc* doc, sqlite3_stmt* stmt) noexcept : doc_(doc), stmt_(stmt) {}
  ~PageBuilder() { std::free(names_); }
  PageBuilder(const PageBuilder&) = delete;
  PageBuilder& operator=(const PageBuilder&) = delete;

  // Copies the column names into the document and the "columns" array.
  Outcome add_columns(yyjson_mut_val* columns) noexcept {
    ncols_ = sqlite3_column_count(stmt_);
    bound_ = kFrameBytes;
    if (ncols_ == 0) return Outcome::kDone;
    names_ = static_cast<ColumnName*>(std::malloc(sizeof(ColumnName) * ncols_));
    if (names_ == nullptr) return Outcome::kNoMemory;
    for (int c = 0; c < ncols_; ++c) {
      const char* name = sqlite3_column_name(stmt_, c);
      if (name == nullptr) name = "";
      yyjson_mut_val* v = yyjson_mut_strcpy(doc_, name);
      if (v == nullptr || !yyjson_mut_arr_append(columns, v)) return Outcome::kNoMemory;
      names_[c] = {yyjson_mut_get_str(v), yyjson_mut_get_len(v)};
      bound_ += names_[c].len + 3;
    }
    return bound_ > SQLR_JSON_MAX_BYTES ? Outcome::kTooLarge : Outcome::kDone;
  }

  // Adds the statement's current row to `rows`.
  Outcome add_row(yyjson_mut_val* rows) noexcept {
    yyjson_mut_val* row = yyjson_mut_obj(doc_);
    if (row == nullptr) return Outcome::kRowFailed;
    bound_ += 2;
    for (int c = 0; c < ncols_; ++c) {
      bound_ += names_[c].len + 4;
      yyjson_mut_val* value = nullptr;
      const Outcome made = make_value(c, &value);
      if (made != Outcome::kDone) return made;
      yyjson_mut_val* key = yyjson_mut_strn(doc_, names_[c].str, names_[c].len);
      if (value == nullptr || key == nullptr || !yyjson_mut_obj_add(row, key, value)) {
        return Outcome::kRowFailed;
      }
    }
    return yyjson_mut_arr_append(rows, row) ? Outcome::kDone : Outcome::kNoMemory;
  }

 private:
  // Counts `n` more bytes of text; true while the page still fits the cap.
  bool fits(size_t n) noexcept {
    bound_ += n;
    return bound_ <= SQLR_JSON_MAX_BYTES;
  }

  // Makes the JSON value of column `c` by its storage class in this row. The
  // cap is tested before a large value is copied. *value stays null when the
  // value cannot be made.
  Outcome make_value(int c, yyjson_mut_val** value) noexcept {
    switch (sqlite3_column_type(stmt_, c)) {
      case SQLITE_INTEGER:
        *value = yyjson_mut_sint(doc_, sqlite3_column_int64(stmt_, c));
        return fits(1) ? Outcome::kDone : Outcome::kTooLarge;
      case SQLITE_FLOAT:
        *value = yyjson_mut_real(doc_, sqlite3_column_double(stmt_, c));
        return fits(1) ? Outcome::kDone : Outcome::kTooLarge;
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, c));
        size_t n = static_cast<size_t>(sqlite3_column_bytes(stmt_, c));
        if (text == nullptr) {
          // No text: empty, unless SQLite ran out of memory converting it.
          if (sqlite3_errcode(sqlite3_db_handle(stmt_)) == SQLITE_NOMEM) return Outcome::kRowFailed;
          text = "";
          n = 0;
        }
        // A value is returned up to its first NUL byte.
        if (const void* nul = std::memchr(text, '\0', n)) n = static_cast<const char*>(nul) - text;
        if (!fits(n + 2)) return Outcome::kTooLarge;
        *value = yyjson_mut_strncpy(doc_, text, n);
        return Outcome::kDone;
      }
      case SQLITE_BLOB: {
        const void* blob = sqlite3_column_blob(stmt_, c);
        const int n = sqlite3_column_bytes(stmt_, c);
        const size_t encoded = (static_cast<size_t>(n) + 2) / 3 * 4;
        if (!fits(encoded + 2)) return Outcome::kTooLarge;
        // The encoder fails only when memory runs out; a null in place of the
        // bytes would be data silently lost, so the row fails instead.
        char* b64 = sqlr_b64_encode(blob, n);
        if (b64 == nullptr) return Outcome::kRowFailed;
        *value = yyjson_mut_strncpy(doc_, b64, encoded);
        std::free(b64);
        return Outcome::kDone;
      }
      default:
        *value = yyjson_mut_null(doc_);
        return fits(4) ? Outcome::kDone : Outcome::kTooLarge;
    }
  }

  yyjson_mut_doc* doc_;
  sqlite3_stmt* stmt_;
  int ncols_ = 0;
  ColumnName* names_ = nullptr;  // owned; ncols_ entries
  size_t bound_ = 0;
};

// The members of the top-level object, in order; false when one cannot be
// added.
bool add_frame(yyjson_mut_doc* d, yyjson_mut_val* root, yyjson_mut_val* columns,
               yyjson_mut_val* rows, int32_t offset, int32_t limit) noexcept {
  return yyjson_mut_obj_add(root, yyjson_mut_str(d, "columns"), columns) &&
         yyjson_mut_obj_add(root, yyjson_mut_str(d, "rows"), rows) &&
         yyjson_mut_obj_add(root, yyjson_mut_str(d, "offset"), yyjson_mut_sint(d, offset)) &&
         yyjson_mut_obj_add(root, yyjson_mut_str(d, "limit"), yyjson_mut_sint(d, limit));
}

}  // namespace

// Runs the one read statement in `sql` and returns the page of `limit` rows
// after the first `offset` as {"columns","rows","offset","limit","returned"};
// null with the reason in the last-error text. Never returns part of a page.
extern "C" SQLR_API char* sqlr_query(int32_t handle, const char* sql, int32_t offset,
                                     int32_t limit) noexcept {
  sqlr_clear_error();
  if (sql == nullptr || sql[0] == '\0') {
    sqlr_set_error("sql is required");
    return nullptr;
  }
  if (sqlr_classify_sql(sql) != SQLR_SQL_READ) {
    sqlr_set_error("%s", kRejected);
    return nullptr;
  }
  const int32_t eff_limit = limit >= 0 && limit <= SQLR_MAX_ROWS ? limit : SQLR_MAX_ROWS;
  sqlr_conn* slot = sqlr_resolve_handle(handle);
  if (slot == nullptr) return nullptr;
  sqlite3* db = slot->db;

  OpStamp stamp(slot);
  Stmt stmt;
  if (!sqlr_prepare_or_report(stmt, stamp, db, sql, "prepare failed")) return nullptr;
  // The gate reads text; this asks the compiled statement itself. A statement
  // that could write is never stepped.
  if (!sqlr_stmt_is_read(stmt.get())) {
    stmt.finalize();
    stamp.clear();
    sqlr_set_error("%s", kRejected);
    return nullptr;
  }
  const int32_t eff_offset = offset > 0 ? offset : 0;

  JsonDoc doc;
  yyjson_mut_doc* d = doc.get();
  if (d == nullptr) {
    stmt.finalize();
    stamp.clear();
    sqlr_set_error("null JSON document");
    return nullptr;
  }
  yyjson_mut_val* root = yyjson_mut_obj(d);
  yyjson_mut_val* columns = yyjson_mut_arr(d);
  yyjson_mut_val* rows = yyjson_mut_arr(d);
  PageBuilder page(d, stmt.get());
  Outcome outcome = Outcome::kNoMemory;
  if (root != nullptr && columns != nullptr && rows != nullptr &&
      add_frame(d, root, columns, rows, eff_offset, eff_limit)) {
    yyjson_mut_doc_set_root(d, root);
    outcome = page.add_columns(columns);
  }

  int rc = SQLITE_DONE;
  int32_t skipped = 0;
  int32_t returned = 0;
  while (outcome == Outcome::kDone) {
    rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) {
      if (rc != SQLITE_DONE) outcome = Outcome::kStepError;
      break;
    }
    if (skipped < eff_offset) {  // passed over without reading a column
      ++skipped;
      continue;
    }
    if (returned >= eff_limit) break;  // one step past the page, never more
    outcome = page.add_row(rows);
    if (outcome == Outcome::kDone) ++returned;
  }
  if (outcome == Outcome::kDone &&
      !yyjson_mut_obj_add(root, yyjson_mut_str(d, "returned"), yyjson_mut_sint(d, returned))) {
    outcome = Outcome::kNoMemory;
  }
  stmt.finalize();
  stamp.clear();  // serialisation lies outside the deadline

  switch (outcome) {
    case Outcome::kDone:
      return sqlr_strdup_json(d);
    case Outcome::kStepError:
      sqlr_report_step_failure(db, rc, "query failed");
      return nullptr;
    case Outcome::kRowFailed:
      sqlr_set_error("%s", kRowFailed);
      return nullptr;
    case Outcome::kTooLarge:
      sqlr_set_error("%s", kTooLarge);
      return nullptr;
    case Outcome::kNoMemory:
      sqlr_set_error("%s", kOutOfMemory);
      return nullptr;
  }
  return nullptr;
}
