#include "sqlr_query/json_length.h"

#include <array>
#include <cstdint>

namespace kestrova::sqlr {

namespace {

// Written bytes per input byte; 0 marks the NUL that ends the value.
constexpr std::array<uint8_t, 256> make_widths() {
  std::array<uint8_t, 256> w{};
  for (int b = 0; b < 256; ++b) w[b] = 1;
  for (int b = 1; b < 0x20; ++b) w[b] = 6;
  for (int b : {'\b', '\t', '\n', '\f', '\r', '"', '\\'}) w[b] = 2;
  w[0] = 0;
  return w;
}
constexpr std::array<uint8_t, 256> kWidths = make_widths();

// How many bytes are counted between tests against the limit: a value far
// over it is given up after a bounded amount of work beyond the limit.
constexpr size_t kStride = 4096;

}  // namespace

size_t sqlr_json_string_bytes(const char* s, size_t n, size_t limit, size_t* cut) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t total = 2;
  size_t i = 0;
  while (i < n) {
    const size_t end = n - i > kStride ? i + kStride : n;
    for (; i < end; ++i) {
      const uint8_t w = kWidths[p[i]];
      if (w == 0) {
        *cut = i;
        return total;
      }
      total += w;
    }
    if (total > limit) return total;
  }
  *cut = n;
  return total;
}

}  // namespace kestrova::sqlr
