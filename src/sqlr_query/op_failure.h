// How an operation on a handle reports a statement that would not compile or
// ended other than as expected. Every message is "<prefix>: <SQLite's message>",
// except the deadline's.
#ifndef KESTROVA_SQLR_SQLR_QUERY_OP_FAILURE_H_
#define KESTROVA_SQLR_SQLR_QUERY_OP_FAILURE_H_

#include <sqlite3.h>

#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/stmt.h"

// Compiles `sql` into `stmt`. On failure clears the operation's stamp, reports
// "<prefix>: <SQLite's message>" and returns false; there is nothing to
// finalise then.
inline bool sqlr_prepare_or_report(Stmt& stmt, OpStamp& stamp, sqlite3* db, const char* sql,
                                   const char* prefix) noexcept {
  if (stmt.prepare(db, sql) == SQLITE_OK) return true;
  stamp.clear();
  sqlr_set_error("%s: %s", prefix, sqlite3_errmsg(db));
  return false;
}

// Reports the step result `rc` of an operation's statement: the deadline's
// message for SQLITE_INTERRUPT, else "<prefix>: <SQLite's message>". Call it
// after the statement has been finalised, so the message is the one the failed
// step left on the connection.
inline void sqlr_report_step_failure(sqlite3* db, int rc, const char* prefix) noexcept {
  if (rc == SQLITE_INTERRUPT) {
    sqlr_set_timeout_error();
  } else {
    sqlr_set_error("%s: %s", prefix, sqlite3_errmsg(db));
  }
}

#endif  // KESTROVA_SQLR_SQLR_QUERY_OP_FAILURE_H_
