// sqlr_exec: one UPDATE or DELETE on a handle opened for writing.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/sql_gate.h"
#include "kestrova_sqlr/stmt.h"
#include "sqlr_query/op_failure.h"

// Runs the one UPDATE or DELETE in `sql` and returns the number of rows it
// changed; -1 with the reason in the last-error text.
extern "C" SQLR_API int32_t sqlr_exec(int32_t handle, const char* sql) noexcept {
  sqlr_clear_error();
  if (sql == nullptr || sql[0] == '\0') {
    sqlr_set_error("sql is required");
    return -1;
  }
  const int kind = sqlr_classify_sql(sql);
  if (kind != SQLR_SQL_UPDATE && kind != SQLR_SQL_DELETE) {
    sqlr_set_error("exec rejected: only UPDATE/DELETE allowed");
    return -1;
  }
  int32_t writable = 0;
  sqlr_conn* slot = sqlr_resolve_handle(handle, &writable);
  if (slot == nullptr) return -1;
  if (writable == 0) {
    sqlr_set_error("database opened read-only; reopen with writable=1 for UPDATE/DELETE");
    return -1;
  }
  sqlite3* db = slot->db;

  OpStamp stamp(slot);
  Stmt stmt;
  if (!sqlr_prepare_or_report(stmt, stamp, db, sql, "prepare failed")) return -1;
  // UPDATE ... RETURNING makes all its changes on the first step and commits
  // them when finalised, so it is refused before it is ever stepped.
  if (sqlite3_column_count(stmt.get()) > 0) {
    stmt.finalize();
    stamp.clear();
    sqlr_set_error("exec failed: RETURNING is not supported");
    return -1;
  }
  const int rc = sqlite3_step(stmt.get());
  const int changes = rc == SQLITE_DONE ? sqlite3_changes(db) : 0;  // before finalising
  stmt.finalize();
  stamp.clear();
  if (rc != SQLITE_DONE) {
    sqlr_report_step_failure(db, rc, "exec failed");
    return -1;
  }
  return changes;
}
