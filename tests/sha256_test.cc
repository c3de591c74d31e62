// The tool's SHA-256 against FIPS 180-4's examples, against Python's hashlib
// at every padding boundary, and fed in pieces of every size.
#include "common/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kestrova::tools {
namespace {

// Bytes (i * 7 + 3) mod 251: no block repeats another.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) % 251);
  return s;
}

TEST(Sha256, FipsExamples) {
  EXPECT_EQ(Sha256::hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256::hex_of("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256::hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256::hex_of(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Digests from Python's hashlib of pattern(n), around the 55/56- and
// 64-byte edges where the padding takes one block or two.
TEST(Sha256, MatchesHashlibAtEveryPaddingEdge) {
  const struct {
    size_t n;
    const char* hex;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5"},
      {55, "1deace58c745f3ecadde68a5923f494c3703fa73f0306483ccb898a5826e8d70"},
      {56, "06dbe23685750e4d3881ded95047abaf93fa8f9c5d3501dc57c717a72ff1398e"},
      {57, "011f4bced20a249afb834d24b3e4eca31ad5ea2bdd1d8a1a564c2d2410398e69"},
      {63, "47fb38b12335c9298d09280515c0666489a189d1554bb0ac1a0740806ce9d8b6"},
      {64, "dfa798724b1a8014994f363e5da7474ed26ce3757fb29e07aa47ad5a9352d37b"},
      {65, "dd2eab5a5507d7717c63ce953d9ac61752c21e664425ad1227054722a0d97f69"},
      {119, "c6e0f435df5d7d265baacca31e0602c00aa22fa6d3819aed664649294c743756"},
      {120, "17eb8960823a644bde3065620bb9d45931fe8993fd8eb692a17aff0fd725db6a"},
      {127, "2409a159329f4e770a7d8128130497abb1de01ffb6ad389d97d89ebbeeb7f02c"},
      {128, "3a9c1e22e20578eebe442238f431befd688bd56698eb7c77d95d3f97d8f58207"},
      {1000, "a9425c416f534025a4e2422bd14adba4ec3d4a68d10c3329be8df612964d2b6e"},
  };
  for (const auto& c : cases) EXPECT_EQ(Sha256::hex_of(pattern(c.n)), c.hex) << c.n << " bytes";
}

// However the bytes are split among calls, the digest is the same.
TEST(Sha256, PiecesOfEverySizeGiveTheSameDigest) {
  const std::string data = pattern(1000);
  const std::string whole = Sha256::hex_of(data);
  for (size_t piece = 1; piece <= 130; ++piece) {
    Sha256 h;
    for (size_t at = 0; at < data.size(); at += piece) {
      h.update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(digest_hex(h.finish()), whole) << "pieces of " << piece;
  }
}

}  // namespace
}  // namespace kestrova::tools
