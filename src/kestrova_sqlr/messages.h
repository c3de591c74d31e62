// Every message the library leaves in the last-error text, in one place. The
// ones a host may match come from the public header's SQLR_MSG_* macros; the
// others are formats or prefixes that the failing step fills in. A message
// that changes here changes for every host, so none does lightly.
#ifndef KESTROVA_SQLR_MESSAGES_H_
#define KESTROVA_SQLR_MESSAGES_H_

#include "kestrova_sqlite_reader.h"

namespace kestrova::sqlr::msg {

// Matched by hosts: exactly the public header's texts.
constexpr char kInvalidHandle[] = SQLR_MSG_INVALID_HANDLE;
constexpr char kTimedOut[] = SQLR_MSG_TIMED_OUT;
constexpr char kResultTooLarge[] = SQLR_MSG_RESULT_TOO_LARGE;
constexpr char kQueryRejected[] = SQLR_MSG_QUERY_REJECTED;
constexpr char kExecRejected[] = SQLR_MSG_EXEC_REJECTED;
constexpr char kNotWritable[] = SQLR_MSG_NOT_WRITABLE;

// The deadline's message as a format of its number of seconds; with 30 it is
// kTimedOut.
constexpr char kTimedOutFormat[] = "operation timed out after %d seconds";

// Arguments.
constexpr char kPathRequired[] = "path is required";
constexpr char kSqlRequired[] = "sql is required";
constexpr char kInvalidTableName[] = SQLR_MSG_INVALID_TABLE_NAME;

// Opening: the path, then SQLite's (or the library's) reason.
constexpr char kCannotOpen[] = "cannot open database: %s (%s)";
constexpr char kNotARegularFile[] = "cannot open database: %s (not a regular file)";
constexpr char kUnknownReason[] = "unknown";
constexpr char kCorrupt[] = "database appears corrupt or unreadable: %s";
constexpr char kTooManyOpen[] = "too many open databases (max %d)";

// Prefixes put before SQLite's message as "<prefix>: <message>".
constexpr char kPrepareFailed[] = "prepare failed";
constexpr char kQueryFailed[] = "query failed";
constexpr char kExecFailed[] = "exec failed";
constexpr char kTables[] = "tables";
constexpr char kTablesStepFailed[] = "tables step failed";
constexpr char kSchema[] = "schema";
constexpr char kSchemaStepFailed[] = "schema step failed";

// The library's own failures.
constexpr char kTooManyTokens[] = "%s: too many tokens in the statement (at most %d)";
constexpr char kOwnTableRejected[] =
    "exec rejected: SQLite's own tables (sqlite_*) cannot be changed";
constexpr char kReturningUnsupported[] = "exec failed: RETURNING is not supported";
constexpr char kNotAnExplain[] = "statement is not an EXPLAIN";
constexpr char kTableNotFound[] = SQLR_MSG_TABLE_NOT_FOUND ": %s";
constexpr char kNullDocument[] = "null JSON document";
constexpr char kSerializeFailed[] = "failed to serialize JSON";
constexpr char kRowFailed[] = "failed to build JSON row";

}  // namespace kestrova::sqlr::msg

#endif  // KESTROVA_SQLR_MESSAGES_H_
