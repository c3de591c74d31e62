// The only place where the library differs between Windows and POSIX: what
// a path names, whether its folder may be written, the first bytes of a file,
// how SQLite's file layer opens a file, a process-wide lock and
// a condition to wait for under it, wall-clock seconds, and a heap copy of a C string.
// Everything else in the library is written once against these.
#ifndef KESTROVA_SQLR_PLATFORM_H_
#define KESTROVA_SQLR_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <sys/stat.h>
#include <windows.h>

#include <memory>
#include <new>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrova::sqlr::platform {

// What a path names, as far as opening a database is concerned.
enum class PathKind {
  kMissing,  // nothing, or nothing that can be looked at
  kRegular,  // a regular file (after following symbolic links)
  kOther,    // a directory, FIFO, socket or device
};

// Looks at the UTF-8 `path` without opening it, so that nothing blocks (a
// FIFO) and nothing is created. On Windows the path is converted to UTF-16
// first, as SQLite opens it.
inline PathKind path_kind(const char* path) noexcept {
#if defined(_WIN32)
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return PathKind::kMissing;
  std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[static_cast<size_t>(n)]);
  if (!wide || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.get(), n) != n) {
    return PathKind::kMissing;
  }
  struct _stat64 st {};
  if (_wstat64(wide.get(), &st) != 0) return PathKind::kMissing;
  return (st.st_mode & _S_IFMT) == _S_IFREG ? PathKind::kRegular : PathKind::kOther;
#else
  struct stat st {};
  if (stat(path, &st) != 0) return PathKind::kMissing;
  return S_ISREG(st.st_mode) ? PathKind::kRegular : PathKind::kOther;
#endif
}

// True unless the folder that holds the file at the UTF-8 `path` is known to
// be closed to this process for writing (a read-only medium, another user's
// folder): then SQLite cannot make the side files a database may need beside
// it. POSIX asks with the process's effective ids, as the file layer's own
// open would be judged. Windows: always true; a folder's write permission
// there is a matter of access lists that no cheap call answers, and SQLite
// keeps its behaviour.
inline bool folder_writable(const char* path) noexcept {
#if defined(_WIN32)
  (void)path;
  return true;
#else
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return faccessat(AT_FDCWD, ".", W_OK, AT_EACCESS) == 0;
  if (slash == path) return faccessat(AT_FDCWD, "/", W_OK, AT_EACCESS) == 0;
  const size_t n = static_cast<size_t>(slash - path);
  char* folder = static_cast<char*>(std::malloc(n + 1));
  if (folder == nullptr) return true;  // unknown: SQLite's own behaviour stays
  std::memcpy(folder, path, n);
  folder[n] = '\0';
  const bool writable = faccessat(AT_FDCWD, folder, W_OK, AT_EACCESS) == 0;
  std::free(folder);
  return writable;
#endif
}

// Reads the first `n` bytes of the regular file at the UTF-8 `path` into
// `out`; false when the file cannot be read or is shorter. Never blocks: only
// a path that path_kind() calls regular is opened.
inline bool read_prefix(const char* path, unsigned char* out, size_t n) noexcept {
  if (path_kind(path) != PathKind::kRegular) return false;
#if defined(_WIN32)
  const int w = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (w <= 0) return false;
  std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[static_cast<size_t>(w)]);
  if (!wide || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.get(), w) != w) {
    return false;
  }
  std::FILE* f = _wfopen(wide.get(), L"rb");
  if (f == nullptr) return false;
  const bool whole = std::fread(out, 1, n, f) == n;
  std::fclose(f);
  return whole;
#else
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  return got == n;
#endif
}

// The system call through which SQLite's default file layer opens every file
// (the database, its -journal, -wal and -shm files, a directory to sync), as
// SQLite's xSetSystemCall names it, and a replacement for it that never waits
// and yields nothing but a regular file or a directory: anything else at the
// path, also something put there after the database was opened, fails as a
// file that cannot be opened.
//
// POSIX: the file is opened with O_NONBLOCK, so a FIFO without a writer
// cannot hold the caller, and the descriptor itself is checked with fstat, so
// nothing can be swapped in between a check and the open. A device or FIFO
// fails with ENXIO; SQLite reports "unable to open database file".
//
// Windows: nothing to replace (the name is null). The only files there that
// block when opened are named pipes, and they live in their own namespace
// (\\.\pipe\...), never beside a file in a directory, so the -journal, -wal
// and -shm files of a regular database file cannot be one; a reserved device
// name (CON, NUL, COM1...) names the database file itself too, whatever its
// suffix, and the database path is checked (path_kind) before SQLite opens it.
using SystemCall = void (*)(void);  // as SQLite's sqlite3_syscall_ptr
#if defined(_WIN32)
constexpr const char* kOpenCallName = nullptr;
inline SystemCall open_call() noexcept { return nullptr; }
#else
constexpr const char* kOpenCallName = "open";

// open(2) as SQLite calls it, refusing all but regular files and directories.
inline int open_no_wait(const char* path, int flags, int mode) noexcept {
  const int fd = ::open(path, flags | O_NONBLOCK, static_cast<mode_t>(mode));
  if (fd < 0) return fd;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    ::close(fd);
    errno = ENXIO;
    return -1;
  }
  // Blocking or not means nothing for a regular file; the flag is taken back
  // so that the descriptor is exactly the one SQLite asked for.
  if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}
inline SystemCall open_call() noexcept { return reinterpret_cast<SystemCall>(&open_no_wait); }
#endif

// A process-wide mutual-exclusion lock that is never destroyed; lock() and
// unlock() make it usable with std::lock_guard. On Windows a
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
  void lock() noexcept {
    InitOnceExecuteOnce(&once_, &Lock::init, &cs_, nullptr);
    EnterCriticalSection(&cs_);
  }
  void unlock() noexcept { LeaveCriticalSection(&cs_); }

 private:
  friend class Condition;
  static BOOL CALLBACK init(PINIT_ONCE, PVOID cs, PVOID*) noexcept {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
    return TRUE;
  }
  INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
  CRITICAL_SECTION cs_{};
#else
  void lock() noexcept { pthread_mutex_lock(&mu_); }
  void unlock() noexcept { pthread_mutex_unlock(&mu_); }

 private:
  friend class Condition;
  pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

// A condition that threads holding a Lock wait for, never destroyed and, like
// Lock, usable from any thread at any time when constant-initialised. On
// Windows a CONDITION_VARIABLE, elsewhere a statically initialised pthread
// condition.
class Condition {
 public:
  constexpr Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // Releases `lock`, which the caller holds, sleeps until notify_all() (or a
  // spurious wake-up) and takes `lock` again before returning. Callers test
  // what they wait for in a loop.
  void wait(Lock& lock) noexcept {
#if defined(_WIN32)
    SleepConditionVariableCS(&cv_, &lock.cs_, INFINITE);
#else
    pthread_cond_wait(&cv_, &lock.mu_);
#endif
  }

  // Wakes every thread waiting for the condition.
  void notify_all() noexcept {
#if defined(_WIN32)
    WakeAllConditionVariable(&cv_);
#else
    pthread_cond_broadcast(&cv_);
#endif
  }

 private:
#if defined(_WIN32)
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
#else
  pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
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

}  // namespace kestrova::sqlr::platform

#endif  // KESTROVA_SQLR_PLATFORM_H_
