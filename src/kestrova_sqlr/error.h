// The process-wide last-error text.
#ifndef KESTROVA_SQLR_ERROR_H_
#define KESTROVA_SQLR_ERROR_H_

#include <cstddef>

namespace kestrova::sqlr {

constexpr size_t SQLR_ERR_SIZE = 1024;

// The message of the most recent failure, NUL-terminated, at most 1023 bytes.
// One buffer for the whole process; its last byte is only ever written as NUL.
extern char g_err[SQLR_ERR_SIZE];

// Replaces the last-error text with the printf-formatted message, cut after
// its 1023rd byte. Writers are serialised among threads. Never fails. Inside
// the library only sqlr_report (status.h) calls it: every failure travels as
// a Status to its exported function's boundary.
void sqlr_set_error(const char* fmt, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Empties the last-error text.
void sqlr_clear_error() noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_ERROR_H_
