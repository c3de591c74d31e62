// sqlr_query: one read statement, one page of its rows as a JSON document.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/operation.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/sql_gate.h"
#include "sqlr_query/page_builder.h"
#include "sqlr_query/read_guard.h"

namespace {

constexpr int32_t SQLR_MAX_ROWS = 100000;

constexpr char kRejected[] = "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed";
constexpr char kTooLarge[] = "JSON result exceeds 100MB limit";
constexpr char kRowFailed[] = "failed to build JSON row";
// Memory running out while the document is built, and values JSON cannot
// hold, are reported as the writer reports them.
constexpr char kSerializeFailed[] = "failed to serialize JSON";

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

  // The connection is query-only and the guard allows reading alone, from
  // compiling to finalising: also what the statement starts while it runs
  // (a pragma function, a view stored in the file) cannot write.
  const bool explain = sqlr_scan::kw_eq(sqlr_skip_noise(sql), "explain") != 0;
  Operation op(slot, explain ? Operation::Kind::kExplain : Operation::Kind::kRead);
  if (!op.prepare(sql, "prepare failed", kRejected)) return nullptr;
  // The gate reads text; this asks the compiled statement itself. A statement
  // that could write is never stepped.
  if (!sqlr_stmt_is_read(op.stmt())) {
    op.fail("%s", kRejected);
    return nullptr;
  }
  const int32_t eff_offset = offset > 0 ? offset : 0;

  JsonDoc doc;
  yyjson_mut_doc* d = doc.get();
  if (d == nullptr) {
    op.fail("null JSON document");
    return nullptr;
  }
  yyjson_mut_val* root = yyjson_mut_obj(d);
  yyjson_mut_val* columns = yyjson_mut_arr(d);
  yyjson_mut_val* rows = yyjson_mut_arr(d);
  PageBuilder page(d, op.stmt());
  PageOutcome outcome = PageOutcome::kNoMemory;
  if (root != nullptr && columns != nullptr && rows != nullptr &&
      add_frame(d, root, columns, rows, eff_offset, eff_limit)) {
    yyjson_mut_doc_set_root(d, root);
    outcome = page.add_columns(columns);
  }

  int rc = SQLITE_DONE;
  int32_t skipped = 0;
  int32_t returned = 0;
  while (outcome == PageOutcome::kDone) {
    rc = sqlite3_step(op.stmt());
    if (rc != SQLITE_ROW) break;
    if (skipped < eff_offset) {  // passed over without reading a column
      ++skipped;
      continue;
    }
    if (returned >= eff_limit) {  // one step past the page, never more
      rc = SQLITE_DONE;
      break;
    }
    outcome = page.add_row();
    if (outcome == PageOutcome::kDone) ++returned;
  }
  if (outcome == PageOutcome::kDone && rc == SQLITE_DONE &&
      (!page.finish_rows(rows) ||
       !yyjson_mut_obj_add(root, yyjson_mut_str(d, "returned"), yyjson_mut_sint(d, returned)))) {
    outcome = PageOutcome::kNoMemory;
  }
  // Serialisation lies outside the deadline. A failed step's message is read
  // after finalising, still inside the hold, so no other operation's can
  // take its place.
  if (outcome == PageOutcome::kDone && rc != SQLITE_DONE) {
    op.fail_step(rc, "query failed");
    return nullptr;
  }
  op.finish();

  switch (outcome) {
    case PageOutcome::kDone:
      break;
    case PageOutcome::kRowFailed:
      sqlr_set_error("%s", kRowFailed);
      return nullptr;
    case PageOutcome::kTooLarge:
      sqlr_set_error("%s", kTooLarge);
      return nullptr;
    case PageOutcome::kNoMemory:
      sqlr_set_error("%s", kSerializeFailed);
      return nullptr;
  }
  if (page.unserialisable()) {
    sqlr_set_error("%s", kSerializeFailed);
    return nullptr;
  }
  return sqlr_strdup_json(d);
}
