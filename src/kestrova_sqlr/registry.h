// The connection registry: a fixed table of 64 slots, one per open database,
// guarded by one process-wide lock. A handle is the index of a slot.
#ifndef KESTROVA_SQLR_REGISTRY_H_
#define KESTROVA_SQLR_REGISTRY_H_

#include <atomic>
#include <cstdint>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/guard.h"

struct sqlite3;

constexpr int SQLR_MAX_CONNS = SQLR_MAX_HANDLES;

// One connection slot. A free slot has every field zero; a claimed slot (an
// open in progress) has in_use 1 and db null; a live slot holds its connection.
// in_use, writable and db are read and written only under the registry lock,
// except that an operation keeps using db after resolving its handle.
// op_started is read by the deadline handler without the lock, so every access
// to it is indivisible. guard is the connection's run-time guard; it is
// touched only while the connection is held (see Operation).
struct sqlr_conn {
  int32_t in_use;
  int32_t writable;
  sqlite3* db;
  // Wall-clock second at which the running operation started; 0 when none runs.
  std::atomic<int64_t> op_started;
  sqlr_guard guard;
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

// Handle resolution, the first step of every operation on a handle: the live
// slot of `handle`, looked up under the lock, or null after setting "invalid
// handle". When `writable` is not null it receives the slot's writable flag,
// read under the same lock.
sqlr_conn* sqlr_resolve_handle(int32_t handle, int32_t* writable = nullptr) noexcept;

#endif  // KESTROVA_SQLR_REGISTRY_H_
