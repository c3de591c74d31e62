// Base64 (RFC 4648, standard alphabet, padded, no line breaks) for BLOB values.
#ifndef KESTROVA_SQLR_BASE64_H_
#define KESTROVA_SQLR_BASE64_H_

#include <cstdint>

namespace kestrova::sqlr {

// Encodes `len` bytes at `data` into a new NUL-terminated string on the C heap
// (caller frees it with free), exactly 4 * ceil(n / 3) characters long. A
// negative `len` counts as 0; null `data` with a positive `len` gives null, as
// does running out of memory. n = 0 gives the empty string.
char* sqlr_b64_encode(const void* data, int32_t len) noexcept;

// Writes the Base64 form of the `n` bytes at `data` (null only when n is 0)
// to `out`, which has room for its 4 * ceil(n / 3) characters; no terminator.
// Both stay the caller's.
void sqlr_b64_encode_to(const void* data, uint32_t n, char* out) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_BASE64_H_
