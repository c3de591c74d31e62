// instr() and replace() with the engine's own results but a search that is
// linear in the length of its arguments. The engine's built-ins compare the
// needle at every position of the haystack, so one call over values of
// hundreds of megabytes runs for days, and a deadline cannot stop a single
// function call.
#ifndef KESTROVA_SQLR_LINEAR_FUNCTIONS_H_
#define KESTROVA_SQLR_LINEAR_FUNCTIONS_H_

struct sqlite3;

namespace kestrova::sqlr {

// Registers instr(X,Y) and replace(X,Y,Z) on `db`, in place of the built-ins.
// Returns SQLite's result code (SQLITE_OK once both are registered).
int sqlr_linear_functions_register(sqlite3* db) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_LINEAR_FUNCTIONS_H_
