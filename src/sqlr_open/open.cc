// Opening and closing databases: sqlr_open and sqlr_close.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/guard_layers.h"
#include "kestrova_sqlr/platform.h"
#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/stmt.h"

namespace kestrova::sqlr {

namespace {

// Frees a slot claimed by an open that failed.
void release_claimed(int32_t handle) noexcept {
  RegistryLock lock;
  sqlr_release_handle(handle);
}

// True when `path` names an existing regular file; otherwise reports why not.
// Looked at before SQLite is asked, so that a FIFO never blocks the open, a
// device or directory never opens as an empty database, and a name SQLite
// would read specially (":memory:") fails as any missing file does.
bool regular_file(const char* path) noexcept {
  switch (platform::path_kind(path)) {
    case platform::PathKind::kRegular:
      return true;
    case platform::PathKind::kMissing:
      sqlr_set_error("cannot open database: %s (%s)", path, sqlite3_errstr(SQLITE_CANTOPEN));
      return false;
    case platform::PathKind::kOther:
      break;
  }
  sqlr_set_error("cannot open database: %s (not a regular file)", path);
  return false;
}

// Opens, probes and guards the connection for a claimed slot; on failure
// reports the reason, leaves no connection behind and returns null. The slot
// is not touched here, except for the guard state the connection will use.
sqlite3* open_connection(const char* path, int flags, sqlr_guard* guard) noexcept {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path, &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const char* why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (why == nullptr || why[0] == '\0') why = "unknown";
    sqlr_set_error("cannot open database: %s (%s)", path, why);
    if (db != nullptr) sqlite3_close(db);
    return nullptr;
  }
  // Compiling the probe needs no catalogue, so a file that holds no database
  // still opens; the first operation that reads the catalogue reports it.
  Stmt probe;
  if (probe.prepare(db, "SELECT 1") != SQLITE_OK) {
    sqlr_set_error("database appears corrupt or unreadable: %s", sqlite3_errmsg(db));
    probe.finalize();
    sqlite3_close(db);
    return nullptr;
  }
  probe.finalize();
  if (sqlr_guard_install(db, guard) != SQLITE_OK) {
    sqlr_set_error("cannot open database: %s (%s)", path, sqlite3_errmsg(db));
    sqlite3_close(db);
    return nullptr;
  }
  return db;
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
    sqlr_set_error("path is required");
    return -1;
  }
  if (!regular_file(path)) return -1;
  const int flags = writable != 0 ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;

  int32_t handle;
  sqlr_conn* slot;
  {
    RegistryLock lock;
    handle = sqlr_alloc_handle();
    slot = handle >= 0 ? sqlr_conn_get(handle) : nullptr;
  }
  if (slot == nullptr) {
    sqlr_set_error("too many open databases (max %d)", SQLR_MAX_CONNS);
    return -1;
  }

  // Opening runs outside the lock; until the slot is filled its number
  // resolves to "invalid handle".
  sqlite3* db = open_connection(path, flags, &slot->guard);
  if (db == nullptr) {
    release_claimed(handle);
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
