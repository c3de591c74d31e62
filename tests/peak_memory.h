// The process's peak memory, for the tests and the benchmarks that measure
// what a large page costs. Needs nothing but the C library.
#ifndef KESTROVA_SQLR_TESTS_PEAK_MEMORY_H_
#define KESTROVA_SQLR_TESTS_PEAK_MEMORY_H_

#if defined(__linux__)
#include <sys/resource.h>
#endif

namespace sqlr_test {

// The peak resident memory of this process in bytes, or -1 where the
// platform does not tell.
inline long long peak_rss_bytes() {
#if defined(__linux__)
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) == 0) return static_cast<long long>(usage.ru_maxrss) * 1024;
#endif
  return -1;
}

}  // namespace sqlr_test

#endif  // KESTROVA_SQLR_TESTS_PEAK_MEMORY_H_
