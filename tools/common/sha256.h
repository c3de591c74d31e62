// SHA-256 (FIPS 180-4), small and dependency-free: the tool proves with it
// that a file is byte for byte what it was.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_SHA256_H_
#define KESTROVA_SQLR_TOOLS_COMMON_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova::tools {

class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;

  Sha256();
  // Adds `len` bytes; may be called any number of times.
  void update(const void* data, size_t len);
  // The digest of everything added. The object must not be used after.
  Digest finish();

  // The digest of `data` as 64 lower-case hex digits.
  static std::string hex_of(std::string_view data);

 private:
  void block(const unsigned char* p);

  uint32_t state_[8];
  unsigned char buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;  // bytes added
};

// `digest` as 64 lower-case hex digits.
std::string digest_hex(const Sha256::Digest& digest);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_SHA256_H_
