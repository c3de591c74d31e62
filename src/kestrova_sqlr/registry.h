// The connection registry: a fixed table of 64 slots, one per open database,
// guarded by one process-wide lock. A handle is the index of a slot.
#ifndef KESTROVA_SQLR_REGISTRY_H_
#define KESTROVA_SQLR_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard_runtime.h"
#include "kestrova_sqlr/status.h"
#include "kestrova_sqlr/temp_files.h"

struct sqlite3;

namespace kestrova::sqlr {

constexpr int SQLR_MAX_CONNS = SQLR_MAX_HANDLES;

// One connection slot. A free slot has every field zero; a claimed slot (an
// open in progress) has in_use 1 and db null; a live slot holds its
// connection; a closing slot is live with closing 1, and no longer resolves.
// in_use, writable, db, users and closing are read and written only under the
// registry lock, except that an operation keeps using db after resolving its
// handle, which its use (SlotUse) keeps open. op_started is read by the
// deadline handler without the lock, so every access to it is indivisible.
// guard is the connection's run-time guard; it is touched only while the
// connection is held (see Operation).
struct sqlr_conn {
  int32_t in_use;
  int32_t writable;
  sqlite3* db;
  // Wall-clock second at which the running operation started; 0 when none runs.
  std::atomic<int64_t> op_started;
  sqlr_guard guard;
  // Operations that resolved the handle and have not yet ended. While it is
  // above 0 the connection stays open and the slot claimed.
  int32_t users;
  // 1 from the moment sqlr_close takes the slot until it releases it.
  int32_t closing;
  // The connection's temporary files on disk. Never cleared: its files add
  // and take back their own bytes, also one that outlives a close.
  TempAccount temp;
};

// The slot table. Slots never move: a slot's address stays valid for the life
// of the process (the deadline handler is registered with it).
extern sqlr_conn g_conns[SQLR_MAX_CONNS];

// Acquires the registry lock, waiting as long as it takes. Never taken twice by
// one thread, never held across a SQLite call.
void sqlr_conn_lock() noexcept;
// Releases the registry lock.
void sqlr_conn_unlock() noexcept;

// Holds the registry lock for the life of the object.
class RegistryLock {
 public:
  RegistryLock() noexcept { sqlr_conn_lock(); }
  ~RegistryLock() { sqlr_conn_unlock(); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

// Claims the lowest-numbered free slot (all its fields zeroed, in_use 1) and
// returns its index, or -1 when all slots are in use. Caller holds the lock.
int32_t sqlr_alloc_handle() noexcept;

// Returns the slot of `handle` to the free state; out-of-range handles do
// nothing. Does not close the connection. Caller holds the lock.
void sqlr_release_handle(int32_t handle) noexcept;

// The slot of `handle` when 0 <= handle < 64 and the slot is in use (claimed
// or live), else null. Callers test db themselves. Caller holds the lock.
sqlr_conn* sqlr_conn_get(int32_t handle) noexcept;

class SlotUse;

// Handle resolution, the first step of every operation on a handle: a use of
// the live slot of `handle`, looked up under the lock, or an empty use (also
// for a slot that is being closed), for which the operation reports
// sqlr_invalid_handle_status(). When `writable` is not null it receives the
// slot's writable flag, read under the same lock. Writes no error text.
SlotUse sqlr_resolve_handle(int32_t handle, int32_t* writable = nullptr) noexcept;

// The failure of a handle that resolves to no live slot: "invalid handle".
Status sqlr_invalid_handle_status() noexcept;

// One operation's use of a live slot, from handle resolution until the
// operation ends: while any use of a slot exists, sqlr_close waits, so the
// slot and its connection stay as the operation found them. Move-only; the
// use ends when the object goes (or reset() is called), after which the slot
// must not be touched.
class SlotUse {
 public:
  SlotUse() noexcept = default;
  SlotUse(SlotUse&& other) noexcept : slot_(other.slot_) { other.slot_ = nullptr; }
  SlotUse& operator=(SlotUse&&) = delete;
  ~SlotUse() { reset(); }

  // The slot; null when the use has ended or never began.
  sqlr_conn* get() const noexcept { return slot_; }
  sqlr_conn* operator->() const noexcept { return slot_; }
  explicit operator bool() const noexcept { return slot_ != nullptr; }
  friend bool operator==(const SlotUse& use, std::nullptr_t) noexcept {
    return use.slot_ == nullptr;
  }

  // Ends the use now (idempotent). Takes the registry lock.
  void reset() noexcept;

 private:
  friend SlotUse sqlr_resolve_handle(int32_t handle, int32_t* writable) noexcept;
  explicit SlotUse(sqlr_conn* slot) noexcept : slot_(slot) {}

  sqlr_conn* slot_ = nullptr;
};

// The first half of closing `handle`: marks its live slot closing, so that no
// new operation resolves it, waits until the operations that did have ended,
// and returns its connection for the caller to close outside the lock; the
// slot stays claimed until the caller releases it (sqlr_release_handle under
// the lock). Null, with nothing changed, when the handle is not live or
// another close has it. Takes the lock itself; never call it from inside an
// operation.
sqlite3* sqlr_retire_handle(int32_t handle) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_REGISTRY_H_
