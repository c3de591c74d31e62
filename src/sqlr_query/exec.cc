// sqlr_exec: one UPDATE or DELETE on a handle opened for writing.
#include <sqlite3.h>

#include <utility>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/guard_layers.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/operation.h"
#include "kestrova_sqlr/registry.h"

// Runs the one UPDATE or DELETE in `sql` and returns the number of rows it
// changed; -1 with the reason in the last-error text. While it compiles and
// runs, the guard allows row changes only (the statement's own and its
// triggers'), never a schema change, ANALYZE, ATTACH or a pragma that sets.
extern "C" SQLR_API int32_t sqlr_exec(int32_t handle, const char* sql) noexcept {
  using namespace kestrova::sqlr;
  sqlr_clear_error();
  if (sql == nullptr || sql[0] == '\0') {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kSqlRequired));
    return -1;
  }
  const int kind = sqlr_classify_sql(sql);
  if (kind != SQLR_SQL_UPDATE && kind != SQLR_SQL_DELETE) {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kExecRejected));
    return -1;
  }
  int32_t writable = 0;
  SlotUse slot = sqlr_resolve_handle(handle, &writable);
  if (slot == nullptr) {
    sqlr_report(sqlr_invalid_handle_status());
    return -1;
  }
  if (writable == 0) {
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kNotWritable));
    return -1;
  }

  const int write_kind = kind == SQLR_SQL_UPDATE ? SQLITE_UPDATE : SQLITE_DELETE;
  Operation op(std::move(slot), Operation::Kind::kWrite, write_kind);
  const sqlite3_int64 changed_before = sqlite3_total_changes64(op.db());
  if (Status prepared = op.prepare(sql, msg::kPrepareFailed, msg::kExecRejected); !prepared.ok()) {
    // Also a trigger of the file that would change one is refused so.
    if (op.refused_own_table()) {
      prepared = Status::error(Status::Code::kRejected, "%s", msg::kOwnTableRejected);
    }
    sqlr_report(prepared);
    return -1;
  }
  // The gate read the text; this asks what SQLite compiled. Its own top-level
  // change must be the one the gate saw.
  if (op.top_level_write() != write_kind) {
    sqlr_report(op.fail(Status::Code::kRejected, "%s", msg::kExecRejected));
    return -1;
  }
  // UPDATE ... RETURNING makes all its changes on the first step and commits
  // them when finalised, so it is refused before it is ever stepped.
  if (sqlite3_column_count(op.stmt()) > 0) {
    sqlr_report(op.fail(Status::Code::kRejected, "%s", msg::kReturningUnsupported));
    return -1;
  }
  // One step runs the whole statement, triggers included, as one statement
  // transaction: a denial while it runs undoes every change it made.
  const int rc = sqlite3_step(op.stmt());
  if (rc != SQLITE_DONE) {
    sqlr_report(op.fail_step(rc, msg::kExecFailed));
    return -1;
  }
  const int changes = sqlite3_changes(op.db());  // before finalising
  if (sqlite3_total_changes64(op.db()) != changed_before) sqlr_guard_note_write(op.db());
  op.finish();
  return changes;
}
