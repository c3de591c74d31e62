// Opening and closing databases: sqlr_open and sqlr_close.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/engine.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/guard_layers.h"
#include "kestrova_sqlr/linear_functions.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/platform.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/status.h"
#include "kestrova_sqlr/stmt.h"

namespace kestrova::sqlr {

namespace {

// Frees a slot claimed by an open that failed.
void release_claimed(int32_t handle) noexcept {
  RegistryLock lock;
  sqlr_release_handle(handle);
}

// Ok when `path` names an existing regular file; otherwise why not. Looked
// at before SQLite is asked, so that a FIFO never blocks the open, a device or
// directory never opens as an empty database, and a name SQLite would read
// specially (":memory:") fails as any missing file does.
Status regular_file(const char* path) noexcept {
  switch (platform::path_kind(path)) {
    case platform::PathKind::kRegular:
      return Status();
    case platform::PathKind::kMissing:
      return Status::error(Status::Code::kSqlite, msg::kCannotOpen, path,
                           sqlite3_errstr(SQLITE_CANTOPEN));
    case platform::PathKind::kOther:
      break;
  }
  return Status::error(Status::Code::kRejected, msg::kNotARegularFile, path);
}

// Opens, probes and guards the connection for a claimed slot into `*db`; on
// failure returns the reason and leaves no connection behind (`*db` null).
// The slot is not touched here, except for the guard state the connection
// will use.
Status open_connection(const char* path, int flags, sqlr_guard* guard, sqlite3** out) noexcept {
  *out = nullptr;
  sqlite3* db = nullptr;
  int rc = sqlr_engine_setup();
  if (rc == SQLITE_OK) rc = sqlite3_open_v2(path, &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const char* why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (why == nullptr || why[0] == '\0') why = msg::kUnknownReason;
    Status failed = Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, why);
    if (db != nullptr) sqlite3_close(db);
    return failed;
  }
  sqlr_engine_limit(db);
  if (sqlr_linear_functions_register(db) != SQLITE_OK) {
    Status failed =
        Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, sqlite3_errmsg(db));
    sqlite3_close(db);
    return failed;
  }
  // Compiling the probe needs no catalogue, so a file that holds no database
  // still opens; the first operation that reads the catalogue reports it.
  Stmt probe;
  if (probe.prepare(db, "SELECT 1") != SQLITE_OK) {
    Status failed = Status::error(Status::Code::kSqlite, msg::kCorrupt, sqlite3_errmsg(db));
    probe.finalize();
    sqlite3_close(db);
    return failed;
  }
  probe.finalize();
  if (sqlr_guard_install(db, guard) != SQLITE_OK) {
    Status failed =
        Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, sqlite3_errmsg(db));
    sqlite3_close(db);
    return failed;
  }
  *out = db;
  return Status();
}

}  // namespace

}  // namespace kestrova::sqlr

// Opens the existing file at `path` read-only (writable == 0) or read-write and
// returns its handle, or -1 with the reason in the last-error text. No file is
// ever created and the path is never read as a URI.
extern "C" SQLR_API int32_t sqlr_open(const char* path, int32_t writable) noexcept {
  using namespace kestrova::sqlr;
  sqlr_clear_error();
  if (path == nullptr || path[0] == '\0') {
    sqlr_set_error("%s", msg::kPathRequired);
    return -1;
  }
  const int flags = writable != 0 ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;

  int32_t handle;
  sqlr_conn* slot;
  {
    RegistryLock lock;
    handle = sqlr_alloc_handle();
    slot = handle >= 0 ? sqlr_conn_get(handle) : nullptr;
  }
  if (slot == nullptr) {
    sqlr_set_error(msg::kTooManyOpen, SQLR_MAX_CONNS);
    return -1;
  }

  // Opening runs outside the lock; until the slot is filled its number
  // resolves to "invalid handle". The path is looked at only now, so that a
  // full table is reported as such whatever the path names.
  sqlite3* db = nullptr;
  Status opened = regular_file(path);
  if (opened.ok()) opened = open_connection(path, flags, &slot->guard, &db);
  if (!opened.ok()) {
    release_claimed(handle);
    sqlr_report(opened);
    return -1;
  }
  sqlite3_progress_handler(db, SQLR_PROGRESS_OPS, sqlr_progress_cb, slot);

  RegistryLock lock;
  slot->op_started.store(0, std::memory_order_relaxed);
  slot->db = db;
  slot->writable = writable != 0 ? 1 : 0;
  return handle;
}

// Closes `handle`; a handle that is not open is passed over, also one whose
// slot an open still running has claimed (that open owns it) and one that
// another close is closing. Never touches the last-error text. Operations that
// are running on the connection are waited for; new ones fail with "invalid
// handle" from the moment the close begins.
extern "C" SQLR_API void sqlr_close(int32_t handle) noexcept {
  using namespace kestrova::sqlr;
  sqlite3* db = sqlr_retire_handle(handle);
  if (db == nullptr) return;
  // The connection is closed outside the lock: no SQLite call is made under
  // it. The slot stays claimed until then, so its number is not given out
  // while the connection still holds the file.
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  sqlite3_close(db);
  RegistryLock lock;
  sqlr_release_handle(handle);
}
