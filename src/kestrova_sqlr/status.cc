#include "kestrova_sqlr/status.h"

#include <cstdarg>
#include <cstdio>

namespace kestrova::sqlr {

Status Status::error(Code code, const char* fmt, ...) noexcept {
  va_list args;
  va_start(args, fmt);
  Status s = error_v(code, fmt, args);
  va_end(args);
  return s;
}

Status Status::error_v(Code code, const char* fmt, va_list args) noexcept {
  Status s;
  s.code_ = code;
  // Stores at most SQLR_ERR_SIZE - 1 bytes and always a NUL.
  if (std::vsnprintf(s.message_, sizeof s.message_, fmt, args) < 0) s.message_[0] = '\0';
  return s;
}

bool sqlr_report(const Status& status) noexcept {
  if (status.ok()) return false;
  sqlr_set_error("%s", status.message());
  return true;
}

}  // namespace kestrova::sqlr
