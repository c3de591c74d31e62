// STAND-IN (see sql_params.h). The scan follows SQLite's tokenizer: strings,
// quoted names and comments are passed over whole, identifiers and numbers as
// whole tokens, so that a '?' or ':x' inside any of them is left alone.
#include "cli/sql_params.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "common/json.h"

namespace kestrova::tools {
namespace {

constexpr int64_t kMaxParamNumber = 32766;
constexpr size_t kMaxArgInMessage = 64;

bool is_id_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c >= 0x80;
}
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// One parameter found in the text.
struct Param {
  size_t begin = 0, end = 0;
  std::string text;  // as written, sigil included
  std::string key;   // name without sigil, or "" for ?/?NNN
  int64_t number = 0;
};

// The end of the quoted token, comment, identifier or number at `i`, or `i`
// when none starts there.
size_t skip_token(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  auto at = [&](size_t j) { return j < s.size() ? static_cast<unsigned char>(s[j]) : 0; };
  if (c == '\'' || c == '"' || c == '`') {
    for (size_t j = i + 1; j < s.size(); ++j) {
      if (at(j) != c) continue;
      if (at(j + 1) == c) {
        ++j;
        continue;
      }
      return j + 1;
    }
    return s.size();
  }
  if (c == '[') {
    const size_t end = s.find(']', i);
    return end == s.npos ? s.size() : end + 1;
  }
  if (c == '-' && at(i + 1) == '-') {
    const size_t end = s.find('\n', i);
    return end == s.npos ? s.size() : end + 1;
  }
  if (c == '/' && at(i + 1) == '*') {
    const size_t end = s.find("*/", i + 2);
    return end == s.npos ? s.size() : end + 2;
  }
  if (is_digit(c) || (c == '.' && is_digit(at(i + 1)))) {
    size_t j = i;
    while (j < s.size()) {
      const unsigned char d = at(j);
      if ((d == '+' || d == '-') && (at(j - 1) == 'e' || at(j - 1) == 'E')) {
        ++j;
      } else if (is_id_char(d) || d == '.') {
        ++j;
      } else {
        break;
      }
    }
    return j;
  }
  if (is_id_char(c) && c != '$') {
    size_t j = i;
    while (j < s.size() && is_id_char(at(j))) ++j;
    return j;
  }
  return i;
}

// The end of the named parameter whose sigil is at `i`, as SQLite reads it
// (IdChars, "::" inside, a "(...)" suffix), or `i` when no IdChar follows.
size_t named_end(std::string_view s, size_t i) {
  size_t n = 0, j = i + 1;
  while (j < s.size()) {
    const auto c = static_cast<unsigned char>(s[j]);
    if (is_id_char(c)) {
      ++n;
      ++j;
    } else if (c == '(' && n > 0) {
      while (j < s.size() && s[j] != ')' && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
      if (j < s.size() && s[j] == ')') return j + 1;
      return i;  // SQLite refuses it; leave it for SQLite
    } else if (c == ':' && j + 1 < s.size() && s[j + 1] == ':') {
      j += 2;
    } else {
      break;
    }
  }
  return n > 0 ? j : i;
}

std::string cut(std::string_view text) { return valid_utf8(text.substr(0, kMaxArgInMessage)); }

// Finds every parameter of `sql`, numbered as SQLite numbers them.
bool scan(std::string_view sql, std::vector<Param>* params, std::string* error) {
  std::map<std::string, int64_t, std::less<>> numbers;
  int64_t largest = 0;
  for (size_t i = 0; i < sql.size();) {
    const char c = sql[i];
    if (c == '?') {
      size_t j = i + 1;
      while (j < sql.size() && is_digit(static_cast<unsigned char>(sql[j]))) ++j;
      Param p{i, j, std::string(sql.substr(i, j - i)), "", 0};
      if (j == i + 1) {
        p.number = ++largest;
      } else {
        const std::string_view digits = sql.substr(i + 1, j - i - 1);
        int64_t n = 0;
        for (const char d : digits) {
          n = n * 10 + (d - '0');
          if (n > kMaxParamNumber) break;
        }
        if (n < 1 || n > kMaxParamNumber) {
          *error = "parameter " + cut(p.text) + " is out of range (1 to 32766)";
          return false;
        }
        p.number = n;
        if (n > largest) largest = n;
      }
      params->push_back(p);
      i = j;
    } else if (c == ':' || c == '@' || c == '$') {
      const size_t end = named_end(sql, i);
      if (end == i) {
        ++i;
        continue;
      }
      Param p{i, end, std::string(sql.substr(i, end - i)),
              std::string(sql.substr(i + 1, end - i - 1)), 0};
      const auto seen = numbers.find(p.key);
      p.number = seen != numbers.end() ? seen->second : (numbers[p.key] = ++largest);
      params->push_back(p);
      i = end;
    } else {
      const size_t end = skip_token(sql, i);
      i = end > i ? end : i + 1;
    }
  }
  return true;
}

// `value` as an SQL literal.
std::string literal(const SqlValue& value) {
  switch (value.kind) {
    case SqlValue::Kind::kNull:
      return "NULL";
    case SqlValue::Kind::kInteger:
      return value.integer < 0 ? "(" + std::to_string(value.integer) + ")"
                               : std::to_string(value.integer);
    case SqlValue::Kind::kReal: {
      const double r = value.real;
      if (std::isnan(r)) return "NULL";
      if (std::isinf(r)) return r > 0 ? "9e999" : "(-9e999)";
      char buf[40];
      for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, r);
        if (std::strtod(buf, nullptr) == r) break;
      }
      std::string text = buf;
      if (text.find_first_of(".e") == text.npos) text += ".0";
      return r < 0 || (r == 0 && std::signbit(r)) ? "(" + text + ")" : text;
    }
    case SqlValue::Kind::kText:
      if (value.bytes.find('\0') == std::string::npos && valid_utf8(value.bytes) == value.bytes) {
        std::string out = "'";
        for (const char c : value.bytes) {
          if (c == '\'') out.push_back('\'');
          out.push_back(c);
        }
        return out + "'";
      }
      [[fallthrough]];
    case SqlValue::Kind::kBlob: {
      static const char kHex[] = "0123456789ABCDEF";
      std::string hex = "X'";
      for (const char c : value.bytes) {
        hex.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(kHex[static_cast<unsigned char>(c) & 15]);
      }
      hex.push_back('\'');
      return value.kind == SqlValue::Kind::kText ? "CAST(" + hex + " AS TEXT)" : hex;
    }
  }
  return "NULL";
}

}  // namespace

SqlValue SqlValue::null() { return {}; }
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

// See sql_params.h.
bool bind_params(std::string_view sql, const SqlParams& params, std::string* out,
                 std::string* error) {
  std::vector<Param> found;
  if (!scan(sql, &found, error)) return false;
  std::vector<const SqlValue*> values;  // one per parameter found
  if (params.by_name) {
    std::vector<bool> used(params.named.size(), false);
    for (const auto& p : found) {
      const std::string key = p.key.empty() ? std::to_string(p.number) : p.key;
      const SqlValue* value = nullptr;
      for (size_t k = 0; k < params.named.size(); ++k) {
        if (params.named[k].first == key) {
          value = &params.named[k].second;
          used[k] = true;
        }
      }
      if (value == nullptr) {
        *error = "parameter " + (p.key.empty() ? "?" + std::to_string(p.number) : cut(p.text)) +
                 " has no value";
        return false;
      }
      values.push_back(value);
    }
    for (size_t k = 0; k < used.size(); ++k) {
      if (!used[k]) {
        *error = "no parameter takes the value named " + cut(params.named[k].first);
        return false;
      }
    }
  } else {
    int64_t largest = 0;
    for (const auto& p : found) {
      if (!p.key.empty()) {
        *error = "parameter " + cut(p.text) + " is named: give the values by name";
        return false;
      }
      if (p.number > largest) largest = p.number;
    }
    const auto given = static_cast<int64_t>(params.positional.size());
    if (given < largest) {
      *error = "parameter ?" + std::to_string(given + 1) + " has no value";
      return false;
    }
    if (given > largest) {
      *error =
          std::to_string(given) + " values given for " + std::to_string(largest) + " parameters";
      return false;
    }
    for (const auto& p : found) values.push_back(&params.positional[p.number - 1]);
  }
  out->clear();
  size_t at = 0;
  for (size_t k = 0; k < found.size(); ++k) {
    out->append(sql.substr(at, found[k].begin - at));
    out->append(" " + literal(*values[k]) + " ");
    at = found[k].end;
  }
  out->append(sql.substr(at));
  return true;
}

}  // namespace kestrova::tools
