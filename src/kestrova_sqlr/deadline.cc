#include "kestrova_sqlr/deadline.h"

#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/platform.h"

namespace kestrova::sqlr {

int sqlr_progress_cb(void* arg) noexcept {
  if (arg == nullptr) return 1;
  const int64_t now = platform::now_seconds();
  const int64_t started = static_cast<sqlr_conn*>(arg)->op_started.load(std::memory_order_relaxed);
  if (started <= 0) return 0;
  // Whole seconds on both sides: the interrupt comes at the first check after
  // the second counter has advanced by the timeout. A clock set back only
  // delays it.
  return now - started >= SQLR_OP_TIMEOUT_SEC ? 1 : 0;
}

Status sqlr_timeout_status() noexcept {
  return Status::error(Status::Code::kTimedOut, msg::kTimedOutFormat, SQLR_OP_TIMEOUT_SEC);
}

OpStamp::OpStamp(sqlr_conn* slot) noexcept : slot_(slot) {
  slot_->op_started.store(platform::now_seconds(), std::memory_order_relaxed);
}

}  // namespace kestrova::sqlr
