#include "kestrova_sqlr/error.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "kestrova_sqlr/platform.h"

namespace kestrova::sqlr {

char g_err[SQLR_ERR_SIZE];

namespace {
// Serialises writers of g_err so that two failing threads never interleave
// their bytes. Readers (the host, through sqlr_last_error) take no lock.
constinit platform::Lock g_err_lock;
}  // namespace

void sqlr_set_error(const char* fmt, ...) noexcept {
  va_list args;
  va_start(args, fmt);
  {
    std::lock_guard<platform::Lock> writing(g_err_lock);
    // vsnprintf stores at most SQLR_ERR_SIZE - 1 bytes and always a NUL.
    if (std::vsnprintf(g_err, SQLR_ERR_SIZE, fmt, args) < 0) g_err[0] = '\0';
  }
  va_end(args);
}

void sqlr_clear_error() noexcept {
  std::lock_guard<platform::Lock> writing(g_err_lock);
  g_err[0] = '\0';
}

}  // namespace kestrova::sqlr
