// The bound on temporary data: SQLite's temporary files (a sort's runs, the
// b-trees of DISTINCT and GROUP BY, statement journals) together hold at most
// SQLR_MAX_TEMP_BYTES of one connection's data on disk. Without it a large
// ORDER BY writes as much as its rows hold (gigabytes), bounded only by the
// deadline and the disk.
//
// The bound lives in a file layer over SQLite's default one that wraps the
// temporary files alone; the database and its side files open as before. A
// write that would pass the bound fails with SQLITE_FULL and marks the
// connection's account, so that the operation reports the bound rather than
// a full disk.
#ifndef KESTROVA_SQLR_TEMP_FILES_H_
#define KESTROVA_SQLR_TEMP_FILES_H_

#include <atomic>
#include <cstdint>

struct sqlite3_vfs;

namespace kestrova::sqlr {

// The temporary data one connection holds on disk. Lives as long as the
// process (in a slot), so that a file that outlives its operation never
// points at freed memory.
struct TempAccount {
  // Bytes that the open temporary files hold (each its high-water size).
  std::atomic<int64_t> held{0};
  // Set when a write was refused for passing the bound.
  std::atomic<bool> refused{false};
};

// Wraps `base` and registers the wrapper as SQLite's default file layer.
// Called once, before any connection opens. Returns SQLite's result code.
int sqlr_temp_files_install(sqlite3_vfs* base) noexcept;

// Charges the temporary files opened on this thread, while the object lives,
// to `account`, and clears its refusal mark. Files opened with no scope are
// charged to one account of the process's own, under the same bound.
class TempScope {
 public:
  explicit TempScope(TempAccount* account) noexcept;
  ~TempScope();
  TempScope(const TempScope&) = delete;
  TempScope& operator=(const TempScope&) = delete;

 private:
  TempAccount* previous_;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_TEMP_FILES_H_
