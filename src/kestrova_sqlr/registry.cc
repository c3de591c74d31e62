#include "kestrova_sqlr/registry.h"

#include <mutex>

#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/platform.h"

namespace kestrova::sqlr {

sqlr_conn g_conns[SQLR_MAX_CONNS];

namespace {
// Constant-initialised, so it is ready before any static constructor runs and
// never destroyed.
constinit platform::Lock g_lock;
// Signalled when the last operation on a closing slot ends; every close
// waiting in sqlr_retire_handle then looks at its own slot again.
constinit platform::Condition g_slot_idle;

void clear_slot(sqlr_conn& c) noexcept {
  c.in_use = 0;
  c.writable = 0;
  c.db = nullptr;
  c.op_started.store(0, std::memory_order_relaxed);
  c.guard = sqlr_guard{};
  c.users = 0;
  c.closing = 0;
}
}  // namespace

void sqlr_conn_lock() noexcept { g_lock.lock(); }

void sqlr_conn_unlock() noexcept { g_lock.unlock(); }

int32_t sqlr_alloc_handle() noexcept {
  for (int32_t i = 0; i < SQLR_MAX_CONNS; ++i) {
    if (g_conns[i].in_use == 0) {
      clear_slot(g_conns[i]);
      g_conns[i].in_use = 1;
      return i;
    }
  }
  return -1;
}

void sqlr_release_handle(int32_t handle) noexcept {
  if (static_cast<uint32_t>(handle) >= static_cast<uint32_t>(SQLR_MAX_CONNS)) return;
  clear_slot(g_conns[handle]);
}

sqlr_conn* sqlr_conn_get(int32_t handle) noexcept {
  // Taken as unsigned, a negative handle fails the same test as one above 63.
  if (static_cast<uint32_t>(handle) >= static_cast<uint32_t>(SQLR_MAX_CONNS)) return nullptr;
  return g_conns[handle].in_use != 0 ? &g_conns[handle] : nullptr;
}

SlotUse sqlr_resolve_handle(int32_t handle, int32_t* writable) noexcept {
  sqlr_conn* c;
  {
    RegistryLock lock;
    c = sqlr_conn_get(handle);
    // A claimed slot is not open yet; a closing one is no longer.
    if (c != nullptr && (c->db == nullptr || c->closing != 0)) c = nullptr;
    if (c != nullptr) {
      ++c->users;
      if (writable != nullptr) *writable = c->writable;
    }
  }
  return SlotUse(c);
}

Status sqlr_invalid_handle_status() noexcept {
  return Status::error(Status::Code::kNotFound, "%s", msg::kInvalidHandle);
}

void SlotUse::reset() noexcept {
  if (slot_ == nullptr) return;
  RegistryLock lock;
  if (--slot_->users == 0 && slot_->closing != 0) g_slot_idle.notify_all();
  slot_ = nullptr;
}

sqlite3* sqlr_retire_handle(int32_t handle) noexcept {
  std::lock_guard<platform::Lock> hold(g_lock);
  sqlr_conn* c = sqlr_conn_get(handle);
  if (c == nullptr || c->db == nullptr || c->closing != 0) return nullptr;
  c->closing = 1;
  while (c->users > 0) g_slot_idle.wait(g_lock);
  return c->db;
}

}  // namespace kestrova::sqlr
