// The only place where the library differs between Windows and POSIX: a
// process-wide lock, wall-clock seconds, and a heap copy of a C string.
// Everything else in the library is written once against these.
#ifndef KESTROVA_SQLR_PLATFORM_H_
#define KESTROVA_SQLR_PLATFORM_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace sqlr_platform {

// A process-wide mutual-exclusion lock that is never destroyed. On Windows a
// CRITICAL_SECTION, initialised exactly once even when the first calls race
// (InitOnceExecuteOnce); elsewhere a statically initialised pthread mutex,
// which needs no one-time step at all. A constant-initialised Lock may be used
// from any thread at any time, also before static constructors have run.
class Lock {
 public:
  constexpr Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

#if defined(_WIN32)
  void acquire() noexcept {
    InitOnceExecuteOnce(&once_, &Lock::init, &cs_, nullptr);
    EnterCriticalSection(&cs_);
  }
  void release() noexcept { LeaveCriticalSection(&cs_); }

 private:
  static BOOL CALLBACK init(PINIT_ONCE, PVOID cs, PVOID*) noexcept {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
    return TRUE;
  }
  INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
  CRITICAL_SECTION cs_{};
#else
  void acquire() noexcept { pthread_mutex_lock(&mu_); }
  void release() noexcept { pthread_mutex_unlock(&mu_); }

 private:
  pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

// Wall-clock time in whole seconds since the Unix epoch. The one clock for the
// deadline's stamp and its check.
inline int64_t now_seconds() noexcept {
#if defined(_WIN32)
  return static_cast<int64_t>(_time64(nullptr));
#else
  return static_cast<int64_t>(time(nullptr));
#endif
}

// A copy of `s` on the C heap (release with free), or null when memory runs
// out. `s` must not be null. Written over malloc rather than strdup/_strdup so
// that the same allocator serves every platform (and allocation-failure tests
// that wrap malloc see it).
inline char* strdup(const char* s) noexcept {
  size_t n = std::strlen(s) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

}  // namespace sqlr_platform

#endif  // KESTROVA_SQLR_PLATFORM_H_
