#include "kestrova_sqlr/temp_files.h"

#include <sqlite3.h>

#include <cstddef>

#include "kestrova_sqlite_reader.h"

namespace kestrova::sqlr {

namespace {

// The files SQLite makes for itself and deletes when done with them.
constexpr int kTempKinds = SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_TRANSIENT_DB |
                           SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_SUBJOURNAL;

TempAccount g_unscoped;  // files opened outside any operation
thread_local TempAccount* t_account = nullptr;

// A temporary file: the account it is charged to, what it holds, and the
// base layer's file right after it.
struct TempFile {
  sqlite3_file file;  // first: SQLite sees this
  TempAccount* account;
  sqlite3_int64 held;
  sqlite3_file* real() noexcept { return reinterpret_cast<sqlite3_file*>(this + 1); }
};
// The base layer's file follows at an address fit for any of its members.
static_assert(sizeof(TempFile) % alignof(std::max_align_t) == 0 || sizeof(TempFile) % 8 == 0);

TempFile* temp(sqlite3_file* f) noexcept { return reinterpret_cast<TempFile*>(f); }

int temp_close(sqlite3_file* f) noexcept {
  TempFile* t = temp(f);
  const int rc = t->real()->pMethods->xClose(t->real());
  t->account->held.fetch_sub(t->held, std::memory_order_relaxed);
  t->held = 0;
  return rc;
}

int temp_read(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) noexcept {
  return temp(f)->real()->pMethods->xRead(temp(f)->real(), buf, amount, offset);
}

// Charges what the write adds beyond the file's end to its account first,
// and refuses it when the account would pass the bound.
int temp_write(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) noexcept {
  TempFile* t = temp(f);
  const sqlite3_int64 end = offset + amount;
  const sqlite3_int64 growth = end > t->held ? end - t->held : 0;
  if (growth > 0) {
    const int64_t before = t->account->held.fetch_add(growth, std::memory_order_relaxed);
    if (before + growth > SQLR_MAX_TEMP_BYTES) {
      t->account->held.fetch_sub(growth, std::memory_order_relaxed);
      t->account->refused.store(true, std::memory_order_relaxed);
      return SQLITE_FULL;
    }
  }
  const int rc = t->real()->pMethods->xWrite(t->real(), buf, amount, offset);
  if (rc != SQLITE_OK) {
    t->account->held.fetch_sub(growth, std::memory_order_relaxed);
  } else {
    t->held += growth;
  }
  return rc;
}

int temp_truncate(sqlite3_file* f, sqlite3_int64 size) noexcept {
  TempFile* t = temp(f);
  const int rc = t->real()->pMethods->xTruncate(t->real(), size);
  if (rc == SQLITE_OK && size < t->held) {
    t->account->held.fetch_sub(t->held - size, std::memory_order_relaxed);
    t->held = size;
  }
  return rc;
}

int temp_sync(sqlite3_file* f, int flags) noexcept {
  return temp(f)->real()->pMethods->xSync(temp(f)->real(), flags);
}
int temp_file_size(sqlite3_file* f, sqlite3_int64* size) noexcept {
  return temp(f)->real()->pMethods->xFileSize(temp(f)->real(), size);
}
int temp_lock(sqlite3_file* f, int level) noexcept {
  return temp(f)->real()->pMethods->xLock(temp(f)->real(), level);
}
int temp_unlock(sqlite3_file* f, int level) noexcept {
  return temp(f)->real()->pMethods->xUnlock(temp(f)->real(), level);
}
int temp_check_reserved(sqlite3_file* f, int* out) noexcept {
  return temp(f)->real()->pMethods->xCheckReservedLock(temp(f)->real(), out);
}
int temp_file_control(sqlite3_file* f, int op, void* arg) noexcept {
  return temp(f)->real()->pMethods->xFileControl(temp(f)->real(), op, arg);
}
int temp_sector_size(sqlite3_file* f) noexcept {
  return temp(f)->real()->pMethods->xSectorSize(temp(f)->real());
}
int temp_device(sqlite3_file* f) noexcept {
  return temp(f)->real()->pMethods->xDeviceCharacteristics(temp(f)->real());
}

// Version 1: a temporary file needs no shared memory and no memory mapping.
const sqlite3_io_methods kTempMethods = {
    1,
    temp_close,
    temp_read,
    temp_write,
    temp_truncate,
    temp_sync,
    temp_file_size,
    temp_lock,
    temp_unlock,
    temp_check_reserved,
    temp_file_control,
    temp_sector_size,
    temp_device,
    nullptr,  // xShmMap
    nullptr,  // xShmLock
    nullptr,  // xShmBarrier
    nullptr,  // xShmUnmap
    nullptr,  // xFetch
    nullptr,  // xUnfetch
};

sqlite3_vfs g_vfs;  // filled once by sqlr_temp_files_install

sqlite3_vfs* base_of(sqlite3_vfs* vfs) noexcept { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// Opens a temporary file wrapped; any other file straight through the base
// layer, in the memory SQLite gave for it.
int vfs_open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags,
             int* out_flags) noexcept {
  sqlite3_vfs* base = base_of(vfs);
  if ((flags & kTempKinds) == 0) return base->xOpen(base, name, f, flags, out_flags);
  TempFile* t = temp(f);
  t->file.pMethods = nullptr;
  t->real()->pMethods = nullptr;
  const int rc = base->xOpen(base, name, t->real(), flags, out_flags);
  if (rc != SQLITE_OK) {
    // A base file that set its methods is closed even though it failed.
    if (t->real()->pMethods != nullptr) t->real()->pMethods->xClose(t->real());
    return rc;
  }
  t->account = t_account != nullptr ? t_account : &g_unscoped;
  t->held = 0;
  t->file.pMethods = &kTempMethods;
  return SQLITE_OK;
}

int vfs_delete(sqlite3_vfs* vfs, const char* name, int sync_dir) noexcept {
  return base_of(vfs)->xDelete(base_of(vfs), name, sync_dir);
}
int vfs_access(sqlite3_vfs* vfs, const char* name, int flags, int* out) noexcept {
  return base_of(vfs)->xAccess(base_of(vfs), name, flags, out);
}
int vfs_full_pathname(sqlite3_vfs* vfs, const char* name, int n, char* out) noexcept {
  return base_of(vfs)->xFullPathname(base_of(vfs), name, n, out);
}
void* vfs_dl_open(sqlite3_vfs* vfs, const char* name) noexcept {
  return base_of(vfs)->xDlOpen(base_of(vfs), name);
}
void vfs_dl_error(sqlite3_vfs* vfs, int n, char* out) noexcept {
  base_of(vfs)->xDlError(base_of(vfs), n, out);
}
void (*vfs_dl_sym(sqlite3_vfs* vfs, void* lib, const char* sym))(void) {
  return base_of(vfs)->xDlSym(base_of(vfs), lib, sym);
}
void vfs_dl_close(sqlite3_vfs* vfs, void* lib) noexcept {
  base_of(vfs)->xDlClose(base_of(vfs), lib);
}
int vfs_randomness(sqlite3_vfs* vfs, int n, char* out) noexcept {
  return base_of(vfs)->xRandomness(base_of(vfs), n, out);
}
int vfs_sleep(sqlite3_vfs* vfs, int micros) noexcept {
  return base_of(vfs)->xSleep(base_of(vfs), micros);
}
int vfs_current_time(sqlite3_vfs* vfs, double* out) noexcept {
  return base_of(vfs)->xCurrentTime(base_of(vfs), out);
}
int vfs_last_error(sqlite3_vfs* vfs, int n, char* out) noexcept {
  return base_of(vfs)->xGetLastError(base_of(vfs), n, out);
}
int vfs_current_time_int64(sqlite3_vfs* vfs, sqlite3_int64* out) noexcept {
  return base_of(vfs)->xCurrentTimeInt64(base_of(vfs), out);
}

}  // namespace

int sqlr_temp_files_install(sqlite3_vfs* base) noexcept {
  if (base == nullptr || base->iVersion < 2 || base->xCurrentTimeInt64 == nullptr) {
    return SQLITE_ERROR;
  }
  g_vfs.iVersion = 2;  // the system-call methods stay with the base layer
  g_vfs.szOsFile = static_cast<int>(sizeof(TempFile)) + base->szOsFile;
  g_vfs.mxPathname = base->mxPathname;
  g_vfs.zName = "kestrova-sqlr";
  g_vfs.pAppData = base;
  g_vfs.xOpen = vfs_open;
  g_vfs.xDelete = vfs_delete;
  g_vfs.xAccess = vfs_access;
  g_vfs.xFullPathname = vfs_full_pathname;
  g_vfs.xDlOpen = vfs_dl_open;
  g_vfs.xDlError = vfs_dl_error;
  g_vfs.xDlSym = vfs_dl_sym;
  g_vfs.xDlClose = vfs_dl_close;
  g_vfs.xRandomness = vfs_randomness;
  g_vfs.xSleep = vfs_sleep;
  g_vfs.xCurrentTime = vfs_current_time;
  g_vfs.xGetLastError = vfs_last_error;
  g_vfs.xCurrentTimeInt64 = vfs_current_time_int64;
  return sqlite3_vfs_register(&g_vfs, 1);
}

TempScope::TempScope(TempAccount* account) noexcept : previous_(t_account) {
  account->refused.store(false, std::memory_order_relaxed);
  t_account = account;
}

TempScope::~TempScope() { t_account = previous_; }

}  // namespace kestrova::sqlr
