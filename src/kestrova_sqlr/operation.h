// One operation on an open handle (the table list, a schema, a query, an
// UPDATE or DELETE), from the moment it holds its connection until its
// statement is finalised.
//
// An operation holds the connection's own mutex (SQLite's, recursive) for its
// whole life, so a second operation on the same handle waits and then gets a
// deadline of its own: the stamp always belongs to the operation that runs.
// Inside the hold it stamps the deadline, switches the guard for its kind,
// compiles and steps its statement; leaving, it finalises the statement,
// clears the stamp, puts the guard back for reading, releases the
// connection and last ends its use of the slot, in that order, on every path.
// Until that use ends, a close of the handle waits, so neither the slot nor
// the connection can go away under the operation.
//
// Never take the registry lock while an Operation is alive.
#ifndef KESTROVA_SQLR_OPERATION_H_
#define KESTROVA_SQLR_OPERATION_H_

#include <sqlite3.h>

#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/status.h"
#include "kestrova_sqlr/stmt.h"
#include "kestrova_sqlr/temp_files.h"

namespace kestrova::sqlr {

class Operation {
 public:
  // kRead: the connection stays query-only and the guard allows reading
  // only. kExplain: as kRead, but the statement is an EXPLAIN, which may
  // describe row changes it never makes. kWrite(kind): while the statement
  // compiles and runs, the guard allows the row changes of one statement of
  // `kind` (SQLITE_UPDATE or SQLITE_DELETE) and of the file's own triggers.
  enum class Kind { kRead, kExplain, kWrite };

  // Takes over `use`, a use of a live slot from handle resolution (not
  // empty), holds the slot's connection (waiting for another operation on it
  // to end), then stamps the deadline. The use ends with the operation.
  Operation(SlotUse&& use, Kind kind, int write_kind = 0) noexcept;
  ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  sqlite3* db() const noexcept { return db_; }
  sqlite3_stmt* stmt() const noexcept { return stmt_.get(); }

  // Switches the guard for the operation's kind and compiles the first
  // statement of `sql` (replacing any earlier one). On failure finalises and
  // returns the failure: `rejected` when the guard refused the statement
  // while it compiled (null: treat it as any other failure), else "<prefix>:
  // <SQLite's message>". Sets no error text.
  Status prepare(const char* sql, const char* prefix, const char* rejected = nullptr) noexcept;

  // For a write: the kind of the statement's own top-level change as SQLite
  // compiled it (SQLITE_UPDATE, SQLITE_DELETE), or 0.
  int top_level_write() const noexcept { return slot_->guard.top_level_write; }

  // True when the last prepare was refused because the statement, or a
  // trigger it fires, would change one of SQLite's own tables.
  bool refused_own_table() const noexcept { return slot_->guard.own_table_write; }

  // Ends the statement work now: finalises the statement and clears the
  // stamp, so what follows (serialising a result) lies outside the deadline.
  // The connection stays held until the operation is destroyed.
  void finish() noexcept;

  // Ends a step that ended in `rc` (anything but SQLITE_DONE): finalises,
  // then returns the deadline's failure for SQLITE_INTERRUPT, else "<prefix>:
  // <SQLite's message>" as the failed step left it, and clears the stamp.
  Status fail_step(int rc, const char* prefix) noexcept;

  // Ends the operation's work on a failure of the library's own (not
  // SQLite's): finalises, clears the stamp and returns the failure of `code`
  // with the printf-formatted message.
  Status fail(Status::Code code, const char* fmt, ...) noexcept
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;

 private:
  bool switch_guard() noexcept;
  // Compiles `sql` under the guard as it stands; true on success.
  bool compile(const char* sql) noexcept;
  // Reads the list of shadow tables afresh; true when it loaded.
  bool load_shadow_tables() noexcept;
  // Loads it only when the schema cookie moved since it was last loaded.
  bool update_shadow_tables() noexcept;

  SlotUse use_;  // declared first: ends after everything else
  sqlr_conn* slot_;
  sqlite3* db_;
  sqlite3_mutex* mutex_;
  Kind kind_;
  int write_kind_;
  bool shadow_tables_loaded_ = false;
  TempScope temp_scope_;  // the temporary files of the operation's statements
  OpStamp stamp_;         // declared after the hold, so taken inside it
  Stmt stmt_;             // declared last: finalised before the stamp is cleared
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_OPERATION_H_
