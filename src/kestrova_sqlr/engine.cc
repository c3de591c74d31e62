#include "kestrova_sqlr/engine.h"

#include <sqlite3.h>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/platform.h"
#include "kestrova_sqlr/temp_files.h"

namespace kestrova::sqlr {

namespace {

// Runs once: the engine's heap bound, then the file layer: its open, and the
// bound on temporary files over it. SQLite's random generator is started
// first, because it reads its start from a device (/dev/urandom) through the
// same open, which from then on refuses devices.
int setup_once() noexcept {
  int rc = sqlite3_initialize();
  if (rc != SQLITE_OK) return rc;
  sqlite3_hard_heap_limit64(SQLR_MAX_ENGINE_MEMORY);
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (vfs == nullptr) return SQLITE_ERROR;
  if (platform::kOpenCallName != nullptr) {
    unsigned char first_byte;
    sqlite3_randomness(1, &first_byte);
    if (vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) return SQLITE_ERROR;
    rc = vfs->xSetSystemCall(vfs, platform::kOpenCallName, platform::open_call());
    if (rc != SQLITE_OK) return rc;
  }
  return sqlr_temp_files_install(vfs);
}

}  // namespace

int sqlr_engine_setup() noexcept {
  static const int rc = setup_once();  // thread-safe one-time initialisation
  return rc;
}

void sqlr_engine_limit(sqlite3* db) noexcept {
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, SQLR_MAX_VALUE_BYTES);
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, SQLR_MAX_SQL_BYTES);
  sqlite3_limit(db, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, SQLR_MAX_LIKE_PATTERN_BYTES);
  sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, SQLR_MAX_COMPOUND_SELECTS);
  sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, SQLR_MAX_EXPR_DEPTH);
}

}  // namespace kestrova::sqlr
