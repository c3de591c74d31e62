// Base64 encoding of BLOB values.
#include "kestrova_sqlr/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

std::string encode(const std::string& bytes) {
  char* out = sqlr_b64_encode(bytes.data(), static_cast<int32_t>(bytes.size()));
  EXPECT_NE(out, nullptr);
  std::string s = out != nullptr ? out : "";
  std::free(out);
  return s;
}

TEST(Base64, EncodesRfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {std::string("\0", 1), "AA=="},
      {std::string("\0\1", 2), "AAE="},
      {std::string("\0\1\2", 3), "AAEC"},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\xFD\xFC", "//79/A=="},
      {"\xFB\xEF\xBE", "++++"},
  };
  for (const auto& [bytes, b64] : cases) EXPECT_EQ(encode(bytes), b64);
}

TEST(Base64, EveryByteValueRoundTripsThroughTheAlphabet) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string out = encode(all);
  EXPECT_EQ(out.size(), 4u * ((all.size() + 2) / 3));
  EXPECT_EQ(out.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(out.substr(out.size() - 8), "/P3+/w==");
}

TEST(Base64, NullAndNegativeLengths) {
  char* empty = sqlr_b64_encode(nullptr, 0);  // an empty BLOB comes as null, 0
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);
  EXPECT_EQ(sqlr_b64_encode(nullptr, 3), nullptr);
  char* negative = sqlr_b64_encode("abc", -7);
  ASSERT_NE(negative, nullptr);
  EXPECT_STREQ(negative, "");
  std::free(negative);
}

}  // namespace
