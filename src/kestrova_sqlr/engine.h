// The library's own copy of SQLite, set up for hostile files and statements:
// bounds on the memory of the whole engine and of every value, on the size and
// shape of the statements it compiles, and a file layer that opens nothing but
// regular files. The figures are the public header's SQLR_MAX_* constants.
#ifndef KESTROVA_SQLR_ENGINE_H_
#define KESTROVA_SQLR_ENGINE_H_

struct sqlite3;

namespace kestrova::sqlr {

// Sets up the process-wide part, once, whichever thread comes first; every
// later call returns at once. Called before the library's first open. Touches
// only the SQLite compiled into the library, never one the host has. Returns
// SQLite's result code of the setup (SQLITE_OK once it has succeeded).
int sqlr_engine_setup() noexcept;

// Applies the per-connection limits to a newly opened connection.
void sqlr_engine_limit(sqlite3* db) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_ENGINE_H_
