#include "kestrova_sqlr/sql_cost.h"

namespace kestrova::sqlr {

namespace {

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Letters, digits, '_', '$' and every byte of a multi-byte UTF-8 character:
// what SQLite reads as part of one name or number.
bool is_word(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c >= 0x80;
}

// The position after the literal or name that opens at `p` with `open` and
// closes with `close`; a doubled closing quote stays inside. The NUL when the
// text ends first.
const char* skip_quoted(const char* p, char close) {
  for (++p; *p != '\0'; ++p) {
    if (*p != close) continue;
    if (close != ']' && p[1] == close) {
      ++p;
      continue;
    }
    return p + 1;
  }
  return p;
}

}  // namespace

int64_t sqlr_sql_tokens(const char* sql, int64_t max) noexcept {
  int64_t tokens = 0;
  const char* p = sql;
  while (*p != '\0' && tokens <= max) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (is_space(c)) {
      ++p;
    } else if (c == '-' && p[1] == '-') {
      while (*p != '\0' && *p != '\n') ++p;
    } else if (c == '/' && p[1] == '*') {
      p += 2;
      while (*p != '\0' && !(p[0] == '*' && p[1] == '/')) ++p;
      if (*p != '\0') p += 2;
    } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
      p = skip_quoted(p, c == '[' ? ']' : static_cast<char>(c));
      ++tokens;
    } else if (is_word(c)) {
      while (is_word(static_cast<unsigned char>(*p))) ++p;
      ++tokens;
    } else {
      ++p;
      ++tokens;
    }
  }
  return tokens;
}

}  // namespace kestrova::sqlr
