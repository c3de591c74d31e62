#include "kestrova_sqlr/error.h"

#include <yyjson.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/platform.h"

char g_err[SQLR_ERR_SIZE];

namespace {
// Serialises writers of g_err so that two failing threads never interleave
// their bytes. Readers (the host, through sqlr_last_error) take no lock.
constinit sqlr_platform::Lock g_err_lock;
}  // namespace

void sqlr_set_error(const char* fmt, ...) noexcept {
  va_list args;
  va_start(args, fmt);
  {
    std::lock_guard<sqlr_platform::Lock> hold(g_err_lock);
    // vsnprintf stores at most SQLR_ERR_SIZE - 1 bytes and always a NUL.
    if (std::vsnprintf(g_err, SQLR_ERR_SIZE, fmt, args) < 0) g_err[0] = '\0';
  }
  va_end(args);
}

void sqlr_clear_error() noexcept {
  std::lock_guard<sqlr_platform::Lock> hold(g_err_lock);
  g_err[0] = '\0';
}

char* sqlr_strdup_json(const yyjson_mut_doc* doc) noexcept {
  if (doc == nullptr) {
    sqlr_set_error("null JSON document");
    return nullptr;
  }
  size_t len = 0;
  char* text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
  if (text == nullptr) {
    sqlr_set_error("failed to serialize JSON");
    return nullptr;
  }
  if (len > SQLR_JSON_MAX_BYTES) {
    std::free(text);
    sqlr_set_error("JSON result exceeds 100MB limit");
    return nullptr;
  }
  return text;
}

extern "C" SQLR_API const char* sqlr_last_error(void) noexcept { return g_err; }

extern "C" SQLR_API void sqlr_free_string(char* s) noexcept { std::free(s); }
