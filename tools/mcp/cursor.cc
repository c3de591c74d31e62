// A cursor reads LIST.POSITION.DIGEST: the list's short name, the position in
// decimal and the entry's 64-bit FNV-1a digest in 16 lower-case hex digits.
#include "mcp/cursor.h"

#include <cstdint>

namespace kestrova::tools::mcp {
namespace {

// FNV-1a, 64 bits: a digest that tells entries apart, not a secret; a
// cursor made by hand that names a real entry is no more than the server's
// own cursor would be.
uint64_t digest(std::string_view text) {
  uint64_t h = 0xCBF29CE484222325ULL;
  for (char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ULL;
  }
  return h;
}

constexpr char kHex[] = "0123456789abcdef";

std::string hex16(uint64_t v) {
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<size_t>(i)] = kHex[v & 15];
  return out;
}

// Reads `text` as a decimal of 1 to 19 digits, without a leading zero.
bool read_decimal(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1)) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

}  // namespace

// See cursor.h.
std::string list_key(std::string_view list, std::string_view arguments) {
  return std::string(list) + hex16(digest(arguments)).substr(0, 8);
}

std::string make_cursor(std::string_view list, size_t next, std::string_view last) {
  return std::string(list) + "." + std::to_string(next) + "." + hex16(digest(last));
}

// See cursor.h.
bool resume_cursor(std::string_view list, std::string_view cursor,
                   const std::vector<std::string_view>& names, size_t* next) {
  if (cursor.size() > kMaxCursorBytes || cursor.substr(0, list.size()) != list ||
      cursor.substr(list.size(), 1) != ".") {
    return false;
  }
  const std::string_view rest = cursor.substr(list.size() + 1);
  const size_t dot = rest.find('.');
  uint64_t position = 0;
  if (dot == rest.npos || !read_decimal(rest.substr(0, dot), &position) || position == 0) {
    return false;
  }
  const std::string_view hex = rest.substr(dot + 1);
  if (hex.size() != 16 || hex.find_first_not_of(kHex) != hex.npos) return false;
  // Where the list was left, when it is unchanged; else where its entry is now.
  if (position <= names.size() && hex16(digest(names[position - 1])) == hex) {
    *next = static_cast<size_t>(position);
    return true;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (hex16(digest(names[i])) == hex) {
      *next = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace kestrova::tools::mcp
