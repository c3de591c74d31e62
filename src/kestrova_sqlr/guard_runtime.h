// The guard's second layer, at run time (see guard_layers.h). The gate judges
// text and the compiled check judges the compiled statement; this layer judges
// every action SQLite is about to compile, including the statements that
// SQLite compiles on a statement's behalf while it runs (a pragma function, a
// view stored in the file, a trigger), so a promise made for the text also
// holds for what it starts.
//
// Two mechanisms, both installed when a connection is opened:
//  - the connection's query-only mode, on except while sqlr_exec runs: SQLite
//    then refuses to begin any write to any database of the connection,
//    whatever statement asks for it;
//  - an authorizer that allows reading, and while sqlr_exec runs, row changes;
//    never a schema change, ANALYZE, ATTACH, DETACH, a transaction, or a
//    pragma other than the ones that only report.
#ifndef KESTROVA_SQLR_GUARD_RUNTIME_H_
#define KESTROVA_SQLR_GUARD_RUNTIME_H_

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
};

// Installs the guard on a newly opened connection: query-only mode on, and
// the authorizer with `guard` (zeroed by the caller, outliving the connection)
// as its state. Returns SQLite's result code; on failure the connection's
// message says why.
int sqlr_guard_install(sqlite3* db, sqlr_guard* guard) noexcept;

// Switches the connection's query-only mode. Returns SQLite's result code;
// guard->query_only is true only when the mode is known to be on.
int sqlr_guard_set_query_only(sqlite3* db, sqlr_guard* guard, bool on) noexcept;

// The authorizer callback (sqlite3_set_authorizer), `arg` being the
// connection's sqlr_guard. Returns SQLITE_OK or SQLITE_DENY.
int sqlr_guard_authorize(void* arg, int action, const char* arg1, const char* arg2,
                         const char* schema, const char* inner) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_GUARD_RUNTIME_H_
