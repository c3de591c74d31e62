// Opening and closing databases: sqlr_open and sqlr_close.
#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/connection.h"
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

// True when the file's header names write-ahead-log mode: its read and write
// format numbers (bytes 18 and 19) are both 2.
bool wal_header(const char* path) noexcept {
  unsigned char header[20];
  return platform::read_prefix(path, header, sizeof header) && header[18] == 2 && header[19] == 2;
}

// What lies at `path` followed by `suffix` ("-wal", "-journal").
platform::PathKind side_file(const char* path, const char* suffix) noexcept {
  char* name = sqlite3_mprintf("%s%s", path, suffix);
  // Out of memory: unknown, so nothing is concluded from it.
  const platform::PathKind kind =
      name != nullptr ? platform::path_kind(name) : platform::PathKind::kOther;
  sqlite3_free(name);
  return kind;
}

// A URI naming exactly the file at `path` in SQLite's immutable mode, every
// byte that a URI could read specially written as %XX; null when memory runs
// out. Release with sqlite3_free. The host's path is never read as a URI:
// this one is made from it, for the one open that needs a URI parameter.
char* immutable_uri(const char* path) noexcept {
  sqlite3_str* uri = sqlite3_str_new(nullptr);
  // An absolute path gets an empty authority, so that one that begins with
  // two slashes is not read as a host name.
  sqlite3_str_appendall(uri, path[0] == '/' ? "file://" : "file:");
  for (const char* p = path; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      sqlite3_str_appendchar(uri, 1, static_cast<char>(c));
    } else {
      sqlite3_str_appendf(uri, "%%%02X", c);
    }
  }
  sqlite3_str_appendall(uri, "?immutable=1");
  if (sqlite3_str_errcode(uri) != SQLITE_OK) {
    sqlite3_free(sqlite3_str_finish(uri));
    return nullptr;
  }
  return sqlite3_str_finish(uri);
}

// How an open goes on after its probe failed.
enum class Retry {
  kNo,
  // Read the file alone, in SQLite's immutable mode (see the public header).
  kImmutable,
};

// The failure of a probe that did not prepare on the connection `db` to the
// file at `path`, in words that say what stands in the way where SQLite's
// alone would send the user to look for damage: another program's lock, an
// interrupted write that a read-only open cannot roll back, a write-ahead-log
// file in a folder that may not be written. Sets `*retry` to kImmutable for
// the one case that a read-only open reads anyway: a file in
// write-ahead-log mode with no -wal beside it, in a folder this process may
// not write, where the file alone holds every committed change.
Status probe_failure(const char* path, bool writable, sqlite3* db, Retry* retry) noexcept {
  *retry = Retry::kNo;
  const char* why = sqlite3_errmsg(db);
  const int code = sqlite3_extended_errcode(db);
  if ((code & 0xff) == SQLITE_BUSY) return Status::error(Status::Code::kSqlite, msg::kLocked, why);
  // A journal that is not a regular file (a FIFO) is refused by the file
  // layer as such, not an interrupted write.
  if (code == SQLITE_READONLY_ROLLBACK &&
      side_file(path, "-journal") == platform::PathKind::kRegular) {
    return Status::error(Status::Code::kSqlite, msg::kInterruptedWrite, why);
  }
  const bool side_files_refused =
      (code & 0xff) == SQLITE_READONLY || (code & 0xff) == SQLITE_CANTOPEN;
  if (side_files_refused && wal_header(path) && !platform::folder_writable(path)) {
    const platform::PathKind log = side_file(path, "-wal");
    if (log == platform::PathKind::kRegular) {
      return Status::error(Status::Code::kSqlite, msg::kLogWithoutIndex, why);
    }
    if (log == platform::PathKind::kMissing) {
      if (!writable) {
        *retry = Retry::kImmutable;
      } else {
        return Status::error(Status::Code::kSqlite, msg::kLogCannotBeMade, why);
      }
    }
  }
  return Status::error(Status::Code::kSqlite, msg::kCorrupt, why);
}

// Opens `name` (the file at `path`, or a URI made from it) with `flags`,
// probes and guards the connection for a claimed slot into `*out`; on
// failure returns the reason and leaves no connection behind. The slot is not
// touched here, except for the guard state the connection will use.
Status open_connection(const char* path, const char* name, int flags, sqlr_guard* guard,
                       Connection* out) noexcept {
  Connection conn;
  int rc = sqlr_engine_setup();
  if (rc == SQLITE_OK) rc = conn.open(name, flags);
  if (rc != SQLITE_OK) {
    const char* why = conn.get() != nullptr ? sqlite3_errmsg(conn.get()) : sqlite3_errstr(rc);
    if (why == nullptr || why[0] == '\0') why = msg::kUnknownReason;
    return Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, why);
  }
  sqlite3* db = conn.get();
  sqlr_engine_limit(db);
  if (sqlr_linear_functions_register(db) != SQLITE_OK) {
    return Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, sqlite3_errmsg(db));
  }
  // Compiling the probe needs no catalogue, so a file that holds no database
  // still opens; the first operation that reads the catalogue reports it.
  Stmt probe;
  if (probe.prepare(db, "SELECT 1") != SQLITE_OK) {
    Retry retry = Retry::kNo;
    Status failed = probe_failure(path, (flags & SQLITE_OPEN_READWRITE) != 0, db, &retry);
    if (retry != Retry::kImmutable || (flags & SQLITE_OPEN_URI) != 0) return failed;
    char* uri = immutable_uri(path);
    if (uri == nullptr) return failed;
    conn.close();
    Status reopened =
        open_connection(path, uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, guard, out);
    sqlite3_free(uri);
    return reopened;
  }
  probe.finalize();
  if (sqlr_guard_install(db, guard) != SQLITE_OK) {
    return Status::error(Status::Code::kSqlite, msg::kCannotOpen, path, sqlite3_errmsg(db));
  }
  out->reset(conn.release());
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
    sqlr_report(Status::error(Status::Code::kRejected, "%s", msg::kPathRequired));
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
    sqlr_report(Status::error(Status::Code::kRejected, msg::kTooManyOpen, SQLR_MAX_CONNS));
    return -1;
  }

  // Opening runs outside the lock; until the slot is filled its number
  // resolves to "invalid handle". The path is looked at only now, so that a
  // full table is reported as such whatever the path names.
  Connection conn;
  Status opened = regular_file(path);
  if (opened.ok()) opened = open_connection(path, path, flags, &slot->guard, &conn);
  if (!opened.ok()) {
    release_claimed(handle);
    sqlr_report(opened);
    return -1;
  }
  sqlite3_progress_handler(conn.get(), SQLR_PROGRESS_OPS, sqlr_progress_cb, slot);

  RegistryLock lock;
  slot->op_started.store(0, std::memory_order_relaxed);
  slot->db = conn.release();
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
  Connection conn(sqlr_retire_handle(handle));
  if (conn.get() == nullptr) return;
  // The connection is closed outside the lock: no SQLite call is made under
  // it. The slot stays claimed until then, so its number is not given out
  // while the connection still holds the file. Nothing of the slot stays
  // with the connection: should it outlive the close, waiting for a
  // statement someone left unfinalised, no deadline stamp of the slot's next
  // owner reaches it, and its authorizer, given no guard, refuses everything
  // it would compile again.
  sqlite3_progress_handler(conn.get(), 0, nullptr, nullptr);
  sqlite3_set_authorizer(conn.get(), sqlr_guard_authorize, nullptr);
  conn.close();
  RegistryLock lock;
  sqlr_release_handle(handle);
}
