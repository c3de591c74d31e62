// The length of a string value as yyjson's writer writes it, counted before
// the value is written so that a value too large for the page costs nothing.
#ifndef KESTROVA_SQLR_SQLR_QUERY_JSON_LENGTH_H_
#define KESTROVA_SQLR_SQLR_QUERY_JSON_LENGTH_H_

#include <cstddef>

namespace kestrova::sqlr {

// The bytes that yyjson's writer, with no flags, writes for the `n` bytes at
// `s` (not owned; may hold NUL) taken up to their first NUL byte: the quotes,
// two for each of `"`, `\` and the control characters with a short escape
// (\b \t \n \f \r), six for every other byte below 0x20 (\u00XX), one for
// every other byte (a solidus and all of UTF-8 are written unchanged). Bytes
// that are not UTF-8 count one each; the writer refuses them anyway.
//
// Counting stops once the count passes `limit`, and then returns that partial
// count, which is larger than `limit`. `*cut` receives the number of bytes
// before the first NUL (n when there is none) when the count is complete.
size_t sqlr_json_string_bytes(const char* s, size_t n, size_t limit, size_t* cut) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_SQLR_QUERY_JSON_LENGTH_H_
