// The process-wide last-error text, and the turning of a finished JSON
// document into the heap string that an operation hands to its host.
#ifndef KESTROVA_SQLR_ERROR_H_
#define KESTROVA_SQLR_ERROR_H_

#include <cstddef>

#include "kestrova_sqlite_reader.h"

struct yyjson_mut_doc;

constexpr size_t SQLR_ERR_SIZE = 1024;
// The longest JSON text an operation may return, terminator not counted.
constexpr size_t SQLR_JSON_MAX_BYTES = SQLR_MAX_RESULT_BYTES;

// The message of the most recent failure, NUL-terminated, at most 1023 bytes.
// One buffer for the whole process; its last byte is only ever written as NUL.
extern char g_err[SQLR_ERR_SIZE];

// Replaces the last-error text with the printf-formatted message, cut after
// its 1023rd byte. Writers are serialised among threads. Never fails.
void sqlr_set_error(const char* fmt, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Empties the last-error text.
void sqlr_clear_error() noexcept;

// Serialises `doc` (may be null) as compact JSON and returns it as a new
// NUL-terminated string on the C heap, which the caller owns and passes on to
// the host; or null with the reason in the last-error text ("null JSON
// document", "failed to serialize JSON", "JSON result exceeds 100MB limit").
// Neither frees nor changes the document.
char* sqlr_strdup_json(const yyjson_mut_doc* doc) noexcept;

#endif  // KESTROVA_SQLR_ERROR_H_
