// The guard's third layer, the compiled check (see guard_layers.h): whatever
// the gate let through, a compiled statement runs under sqlr_query only when
// SQLite says it cannot write.
#ifndef KESTROVA_SQLR_GUARD_COMPILED_H_
#define KESTROVA_SQLR_GUARD_COMPILED_H_

#include <sqlite3.h>

namespace kestrova::sqlr {

// True when the compiled `stmt` (not null) is an EXPLAIN, which only describes
// its statement and never runs it, or is read-only to SQLite and has result
// columns (BEGIN, COMMIT, ATTACH and DETACH count as read-only but have none).
bool sqlr_stmt_is_read(sqlite3_stmt* stmt) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_GUARD_COMPILED_H_
