// The scan follows SQLite's tokenizer (sqlite3GetToken) for every token that
// can hide or hold a parameter: quoted runs, comments, numbers, identifiers
// and variables. Any other byte is a token of its own or whitespace, which
// the scan steps over one byte at a time.
#include "common/params.h"

#include <charconv>
#include <cmath>
#include <string>
#include <unordered_map>

namespace kestrova::tools {
namespace {

// Letters, digits, '_', '$' and every byte >= 0x80: SQLite's IdChar.
bool is_id_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c >= 0x80;
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// SQLite's whitespace: space, \t, \n, \v, \f, \r.
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The byte at `i` of `s`, or NUL past its end (SQLite reads a NUL-ended text).
unsigned char at(std::string_view s, size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

// `s` from `i` is a quoted run opened by s[i]: the position after its closing
// quote (a doubled quote is one quote inside), or the end when unterminated.
size_t quoted_end(std::string_view s, size_t i) {
  const char quote = s[i];
  for (size_t j = i + 1; j < s.size(); ++j) {
    if (s[j] != quote) continue;
    if (at(s, j + 1) != static_cast<unsigned char>(quote)) return j + 1;
    ++j;
  }
  return s.size();
}

// The position after the text that `close` ends, searched from `from`; the end
// of `s` when it never comes.
size_t run_end(std::string_view s, size_t from, std::string_view close) {
  const size_t found = s.find(close, from);
  return found == std::string_view::npos ? s.size() : found + close.size();
}

// `s` from `i` is a number (a digit, or '.' before a digit): its end. SQLite
// takes any identifier characters after it into the same token.
size_t number_end(std::string_view s, size_t i) {
  auto digits = [&](size_t j) {
    while (is_digit(at(s, j)) || at(s, j) == '_') ++j;
    return j;
  };
  size_t j = digits(i);
  if (at(s, j) == '.') j = digits(j + 1);
  const unsigned char e = at(s, j);
  if ((e == 'e' || e == 'E') &&
      (is_digit(at(s, j + 1)) ||
       ((at(s, j + 1) == '+' || at(s, j + 1) == '-') && is_digit(at(s, j + 2))))) {
    j = digits(j + 2);
  }
  while (is_id_char(at(s, j))) ++j;
  return j;
}

// `s` from `i` is a sigil (':', '@', '$', '#') at the start of a token: the end
// of the token SQLite reads there, and in `is_param` whether it is a named
// parameter. Its name is a run of identifier characters and "::" pairs; after
// at least one identifier character a '(' opens a suffix that must reach ')'
// before whitespace or the end. A token SQLite refuses is no parameter.
size_t variable_end(std::string_view s, size_t i, bool* is_param) {
  *is_param = false;
  int64_t name_chars = 0;
  size_t j = i + 1;
  for (;;) {
    const unsigned char c = at(s, j);
    if (is_id_char(c)) {
      ++name_chars;
      ++j;
    } else if (c == '(' && name_chars > 0) {
      size_t k = j + 1;
      while (k < s.size() && s[k] != ')' && s[k] != '\0' && !is_space(at(s, k))) ++k;
      if (at(s, k) != ')') return k;
      j = k + 1;
      break;
    } else if (c == ':' && at(s, j + 1) == ':') {
      j += 2;
    } else {
      break;
    }
  }
  // SQLite reads "#1" as one of its own registers and refuses it in a statement.
  *is_param = name_chars > 0 && !(s[i] == '#' && is_digit(at(s, i + 1)));
  return j;
}

// The end of the token that starts at `i`, and in `is_param` whether it is a
// parameter.
size_t token_end(std::string_view s, size_t i, bool* is_param) {
  *is_param = false;
  const unsigned char c = at(s, i);
  switch (c) {
    case '\'':
    case '"':
    case '`':
      return quoted_end(s, i);
    case '[':
      return run_end(s, i + 1, "]");
    case '-':
      return at(s, i + 1) == '-' ? run_end(s, i + 2, "\n") : i + 1;
    case '/':
      return at(s, i + 1) == '*' ? run_end(s, i + 2, "*/") : i + 1;
    case '?': {
      size_t j = i + 1;
      while (is_digit(at(s, j))) ++j;
      *is_param = true;
      return j;
    }
    case ':':
    case '@':
    case '$':
    case '#':
      return variable_end(s, i, is_param);
    case '.':
      return is_digit(at(s, i + 1)) ? number_end(s, i) : i + 1;
    default:
      break;
  }
  if (is_digit(c)) return number_end(s, i);
  // A byte-order mark between tokens is whitespace.
  if (c == 0xEF && at(s, i + 1) == 0xBB && at(s, i + 2) == 0xBF) return i + 3;
  if (c != '$' && is_id_char(c)) {  // an identifier or keyword: a '$' inside is part of it
    size_t j = i + 1;
    while (is_id_char(at(s, j))) ++j;
    return j;
  }
  return i + 1;
}

// `text` cut to at most kParamMessageArgBytes bytes, never inside a UTF-8
// character.
std::string cut(std::string_view text) {
  if (text.size() <= kParamMessageArgBytes) return std::string(text);
  size_t end = kParamMessageArgBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

// True when `s` is well-formed UTF-8 (no overlong form, surrogate or code
// point above U+10FFFF).
bool is_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = at(s, i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    const unsigned char second = at(s, i + 1);
    if (second < low || second > high) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((at(s, i + k) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

// `bytes` in upper-case hexadecimal.
std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char b : bytes) {
    const auto u = static_cast<unsigned char>(b);
    out += kDigits[u >> 4];
    out += kDigits[u & 15];
  }
  return out;
}

// The shortest decimal text that reads back as `value` (finite, not negative),
// with ".0" added when it would read as an integer.
std::string shortest_real(double value) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, ec == std::errc() ? end : buf);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// One parameter as the scan met it, numbered as SQLite numbers it.
struct Found {
  std::string_view text;  // as written, sigil included
  int64_t number = 0;
  bool named = false;
};

// Gives `p` its number: ?NNN its own, plain ? the largest so far + 1, a name
// seen before (as written) its first number, a new name the largest + 1.
// False with the range message in `error`.
bool number_param(Found* p, int64_t* largest,
                  std::unordered_map<std::string_view, int64_t>* numbers, std::string* error) {
  const std::string range_tail = " is out of range (1 to " + std::to_string(kMaxParamNumber) + ")";
  if (!p->named && p->text.size() > 1) {
    std::string_view digits = p->text.substr(1);
    const size_t first = digits.find_first_not_of('0');
    const std::string_view significant =
        first == std::string_view::npos ? std::string_view() : digits.substr(first);
    int64_t number = 0;
    if (significant.size() <= 5) {
      for (const char d : significant) number = number * 10 + (d - '0');
    } else {
      number = kMaxParamNumber + 1;
    }
    if (number < 1 || number > kMaxParamNumber) {
      *error = "parameter ?" + cut(digits) + range_tail;
      return false;
    }
    p->number = number;
  } else if (p->named) {
    const auto seen = numbers->find(p->text);
    if (seen != numbers->end()) {
      p->number = seen->second;
      return true;
    }
    if (*largest + 1 > kMaxParamNumber) {
      *error = "parameter " + cut(p->text) + range_tail;
      return false;
    }
    p->number = *largest + 1;
    numbers->emplace(p->text, p->number);
  } else {
    if (*largest + 1 > kMaxParamNumber) {
      *error = "parameter ?" + std::to_string(*largest + 1) + range_tail;
      return false;
    }
    p->number = *largest + 1;
  }
  if (p->number > *largest) *largest = p->number;
  return true;
}

}  // namespace

SqlValue SqlValue::null() { return SqlValue(); }

SqlValue SqlValue::of_integer(int64_t value) {
  SqlValue v;
  v.kind = Kind::kInteger;
  v.integer = value;
  return v;
}

SqlValue SqlValue::of_real(double value) {
  SqlValue v;
  v.kind = Kind::kReal;
  v.real = value;
  return v;
}

SqlValue SqlValue::of_text(std::string text) {
  SqlValue v;
  v.kind = Kind::kText;
  v.bytes = std::move(text);
  return v;
}

SqlValue SqlValue::of_blob(std::string bytes) {
  SqlValue v;
  v.kind = Kind::kBlob;
  v.bytes = std::move(bytes);
  return v;
}

std::string sql_literal(const SqlValue& value) {
  switch (value.kind) {
    case SqlValue::Kind::kNull:
      return "NULL";
    case SqlValue::Kind::kInteger:
      return value.integer < 0 ? "(" + std::to_string(value.integer) + ")"
                               : std::to_string(value.integer);
    case SqlValue::Kind::kReal:
      if (std::isnan(value.real)) return "NULL";
      // 9e999 is past the largest double: SQLite reads it as infinity.
      if (std::isinf(value.real)) return value.real < 0 ? "(-9e999)" : "9e999";
      return std::signbit(value.real) ? "(-" + shortest_real(-value.real) + ")"
                                      : shortest_real(value.real);
    case SqlValue::Kind::kText:
      if (value.bytes.find('\0') != std::string::npos || !is_utf8(value.bytes)) {
        return "CAST(X'" + hex(value.bytes) + "' AS TEXT)";
      } else {
        std::string out = "'";
        for (const char c : value.bytes) {
          out += c;
          if (c == '\'') out += '\'';
        }
        return out + "'";
      }
    case SqlValue::Kind::kBlob:
      return "X'" + hex(value.bytes) + "'";
  }
  return "NULL";
}

bool bind_params(std::string_view sql, const SqlParams& params, std::string* out,
                 std::string* error) {
  std::unordered_map<std::string_view, size_t> keys;  // key -> index in params.named
  std::vector<bool> used;
  if (params.by_name) {
    used.assign(params.named.size(), false);
    for (size_t i = 0; i < params.named.size(); ++i) {
      if (!keys.emplace(params.named[i].first, i).second) {
        *error = "the value named " + cut(params.named[i].first) + " is given twice";
        return false;
      }
    }
  }
  std::unordered_map<std::string_view, int64_t> numbers;  // a name as written -> its number
  int64_t largest = 0;
  int64_t first_without_value = 0;  // by position: the smallest number past the values
  const auto given = static_cast<int64_t>(params.positional.size());
  std::string result;
  result.reserve(sql.size() + 16);
  size_t copied = 0;  // sql[0, copied) is in `result`
  size_t i = 0;
  while (i < sql.size()) {
    bool is_param = false;
    const size_t end = token_end(sql, i, &is_param);
    if (!is_param) {
      i = end;
      continue;
    }
    Found p;
    p.text = sql.substr(i, end - i);
    p.named = p.text[0] != '?';
    if (!number_param(&p, &largest, &numbers, error)) return false;
    const SqlValue* value = nullptr;
    if (params.by_name) {
      const std::string key = p.named ? std::string(p.text.substr(1)) : std::to_string(p.number);
      const auto found = keys.find(key);
      if (found == keys.end()) {
        *error = "parameter " + (p.named ? cut(p.text) : "?" + std::to_string(p.number)) +
                 " has no value";
        return false;
      }
      used[found->second] = true;
      value = &params.named[found->second].second;
    } else if (p.named) {
      *error = "parameter " + cut(p.text) + " is named: give the values by name";
      return false;
    } else if (p.number > given) {
      if (first_without_value == 0 || p.number < first_without_value) {
        first_without_value = p.number;
      }
    } else {
      value = &params.positional[static_cast<size_t>(p.number - 1)];
    }
    if (value != nullptr) {
      result.append(sql.substr(copied, i - copied));
      result += ' ';
      result += sql_literal(*value);
      result += ' ';
      copied = end;
    }
    i = end;
  }
  if (params.by_name) {
    for (size_t k = 0; k < used.size(); ++k) {
      if (!used[k]) {
        *error = "no parameter takes the value named " + cut(params.named[k].first);
        return false;
      }
    }
  } else if (given < largest) {
    *error = "parameter ?" + std::to_string(first_without_value) + " has no value";
    return false;
  } else if (given > largest) {
    *error = std::to_string(given) + " values given for " + std::to_string(largest) + " parameters";
    return false;
  }
  result.append(sql.substr(copied));
  *out = std::move(result);
  return true;
}

}  // namespace kestrova::tools
