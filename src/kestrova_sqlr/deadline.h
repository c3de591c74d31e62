// The operation deadline: every operation on a handle stamps its slot with the
// second it started, and the progress handler that sqlr_open installs on each
// connection interrupts the running statement once that stamp is 30 seconds old.
#ifndef KESTROVA_SQLR_DEADLINE_H_
#define KESTROVA_SQLR_DEADLINE_H_

#include <cstdint>

#include "kestrova_sqlr/registry.h"
#include "kestrova_sqlr/status.h"

namespace kestrova::sqlr {

constexpr int SQLR_OP_TIMEOUT_SEC = 30;
// SQLite virtual-machine steps between two calls of the handler.
constexpr int SQLR_PROGRESS_OPS = 1000;

// The progress handler. `arg` is the address of the connection's slot.
// Returns nonzero (interrupt) when `arg` is null or when the slot's stamp is
// positive and at least SQLR_OP_TIMEOUT_SEC seconds old; 0 otherwise, in
// particular whenever no operation is stamped. Takes no lock, allocates nothing.
int sqlr_progress_cb(void* arg) noexcept;

// The deadline's failure: "operation timed out after 30 seconds".
Status sqlr_timeout_status() noexcept;

// Stamps a slot's op_started for the lifetime of one operation. The stamp is
// taken on construction; clear() (or the destructor) sets it back to 0. Declare
// it before the operation's statements so that it is cleared after they are
// finalised.
class OpStamp {
 public:
  explicit OpStamp(sqlr_conn* slot) noexcept;
  ~OpStamp() { clear(); }
  OpStamp(const OpStamp&) = delete;
  OpStamp& operator=(const OpStamp&) = delete;

  void clear() noexcept {
    if (slot_ != nullptr) {
      slot_->op_started.store(0, std::memory_order_relaxed);
      slot_ = nullptr;
    }
  }

 private:
  sqlr_conn* slot_;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_DEADLINE_H_
