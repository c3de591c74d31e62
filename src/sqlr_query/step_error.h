// How an operation reports a statement that ended other than as expected.
#ifndef KESTROVA_SQLR_SQLR_QUERY_STEP_ERROR_H_
#define KESTROVA_SQLR_SQLR_QUERY_STEP_ERROR_H_

#include <sqlite3.h>

#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"

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

#endif  // KESTROVA_SQLR_SQLR_QUERY_STEP_ERROR_H_
