#include "kestrova_sqlr/base64.h"

#include <cstdlib>

namespace kestrova::sqlr {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void sqlr_b64_encode_to(const void* data, uint32_t n, char* out) noexcept {
  const auto* in = static_cast<const unsigned char*>(data);
  char* o = out;
  uint32_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = kAlphabet[(v >> 6) & 63];
    o[3] = kAlphabet[v & 63];
    o += 4;
  }
  if (n - i == 1) {
    const uint32_t v = uint32_t{in[i]} << 16;
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = '=';
    o[3] = '=';
  } else if (n - i == 2) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = kAlphabet[(v >> 6) & 63];
    o[3] = '=';
  }
}

char* sqlr_b64_encode(const void* data, int32_t len) noexcept {
  if (data == nullptr && len > 0) return nullptr;
  const uint32_t n = len > 0 ? static_cast<uint32_t>(len) : 0;
  // Cannot overflow: (2^31 + 1) / 3 * 4 + 1 < 2^32.
  const uint32_t chars = (n + 2) / 3 * 4;
  char* out = static_cast<char*>(std::malloc(chars + 1));
  if (out == nullptr) return nullptr;
  sqlr_b64_encode_to(data, n, out);
  out[chars] = '\0';
  return out;
}

}  // namespace kestrova::sqlr
