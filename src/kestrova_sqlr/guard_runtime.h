// The guard's second layer, at run time (see guard_layers.h). The gate judges
// text and the compiled check judges the compiled statement; this layer judges
// every action SQLite is about to compile, including the statements that
// SQLite compiles on a statement's behalf while it runs (a pragma function, a
// view stored in the file, a trigger), so a promise made for the text also
// holds for what it starts.
//
// Three mechanisms, all installed when a connection is opened:
//  - the connection's query-only mode, on except while sqlr_exec runs: SQLite
//    then refuses to begin any write to any database of the connection,
//    whatever statement asks for it;
//  - SQLite's defensive mode: ordinary SQL cannot write the shadow tables in
//    which a virtual table (full-text, R*Tree) keeps its data, nor corrupt the
//    file on purpose; only the virtual table itself writes them;
//  - an authorizer that allows reading, and while sqlr_exec runs, row changes;
//    never a schema change, ANALYZE, ATTACH, DETACH, a transaction, a change
//    to one of SQLite's own tables (sqlite_sequence, sqlite_stat1, ...), or a
//    pragma other than the ones that only report.
//
// A virtual table prepares statements of its own, writes to its shadow tables
// among them, when it connects (while the statement that names it compiles,
// also for a read) and when it is first used (while a statement runs). The
// authorizer leaves a shadow table's row changes to the two SQLite mechanisms
// above, which tell a virtual table's own statements from any other, and
// takes a statement's own change from the tables that are not shadows. So
// that a virtual table's first use never meets an incomplete list, whatever
// statement touches it first (a pragma function connects one while it runs),
// every operation makes sure of the list before it compiles anything: read
// again whenever the schema cookie moved.
#ifndef KESTROVA_SQLR_GUARD_RUNTIME_H_
#define KESTROVA_SQLR_GUARD_RUNTIME_H_

#include <cstdint>

struct sqlite3;

namespace kestrova::sqlr {

// The guard's state for one connection. Read by the authorizer and written by
// the library only while the connection is held (SQLite calls the authorizer
// under the same connection mutex), so it needs no lock of its own.
struct sqlr_guard {
  // 0 while reading; SQLITE_UPDATE or SQLITE_DELETE, the kind the gate gave,
  // while sqlr_exec compiles and runs its statement.
  int write_kind;
  // The first UPDATE or DELETE action SQLite reported outside any trigger
  // while the write statement compiled: the statement's own kind. 0 if none.
  int top_level_write;
  // True while an EXPLAIN compiles. It describes the statement it names and
  // never runs it, so the row changes of an explained UPDATE or DELETE may be
  // compiled; every other action is judged as usual (some pragmas act while
  // they compile).
  bool explaining;
  // True while the library runs a statement of its own (the query-only
  // switch), which the authorizer passes.
  bool internal;
  // True when the connection's query-only mode is known to be on.
  bool query_only;
  // The names of the main schema's shadow tables, each ended by a NUL, the
  // list by an empty name; null until first loaded. Owned by the connection
  // (freed when it closes or the list is loaded again).
  const char* shadow_tables;
  // The schema cookie (pragma_schema_version) the list was read under: the
  // list holds while the cookie does.
  int64_t shadow_schema_version;
  // Set when the authorizer refused a row change to a table that the list of
  // shadow tables does not name: the list may be older than the schema.
  bool unlisted_write;
  // Set when the authorizer refused a change to one of SQLite's own tables.
  bool own_table_write;
};

// Installs the guard on a newly opened connection: defensive mode, the rest
// of the connection's configuration (see guard_runtime.cc), query-only mode on, and
// the authorizer with `guard` (zeroed by the caller, outliving the connection)
// as its state. Returns SQLite's result code; on failure the connection's
// message says why.
int sqlr_guard_install(sqlite3* db, sqlr_guard* guard) noexcept;

// Reads the names of the main schema's shadow tables afresh into
// guard->shadow_tables. Called while the connection is held. Returns SQLite's
// result code; on failure the list is left as it was and the connection's
// message says why.
int sqlr_guard_load_shadow_tables(sqlite3* db, sqlr_guard* guard) noexcept;

// Makes guard->shadow_tables follow the schema: reads the schema cookie (one
// small statement) and loads the list afresh only when it was never loaded or
// the cookie moved since. Listing the shadow tables asks every virtual table
// of the file, so that a file of many tables would pay for each of them on
// every operation. Returns SQLite's result code as the load does.
int sqlr_guard_update_shadow_tables(sqlite3* db, sqlr_guard* guard) noexcept;

// Records that the connection has changed rows: from now on it leaves the
// file as a writer does when it closes (see guard_runtime.cc).
void sqlr_guard_note_write(sqlite3* db) noexcept;

// Switches the connection's query-only mode. Returns SQLite's result code;
// guard->query_only is true only when the mode is known to be on.
int sqlr_guard_set_query_only(sqlite3* db, sqlr_guard* guard, bool on) noexcept;

// The authorizer callback (sqlite3_set_authorizer), `arg` being the
// connection's sqlr_guard. Returns SQLITE_OK or SQLITE_DENY.
int sqlr_guard_authorize(void* arg, int action, const char* arg1, const char* arg2,
                         const char* schema, const char* inner) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_GUARD_RUNTIME_H_
