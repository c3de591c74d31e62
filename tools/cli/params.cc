// The number grammar is SQLite's: digits with an optional point and
// exponent, or 0x and hexadecimal digits.
#include "cli/params.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace kestrova::tools::cli {
namespace {

bool all_of(std::string_view text, std::string_view chars) {
  return !text.empty() && text.find_first_not_of(chars) == text.npos;
}

// Whether `text` (no sign) is a decimal number in SQLite's grammar.
bool decimal_number(std::string_view text) {
  size_t i = 0, digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!all_of(text.substr(i), "0123456789")) return false;
    return true;
  }
  return i == text.size();
}

}  // namespace

// See params.h.
SqlValue typed_param_value(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view body =
      !text.empty() && (text[0] == '-' || text[0] == '+') ? text.substr(1) : text;
  if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X') &&
      body.size() <= 18 && all_of(body.substr(2), "0123456789abcdefABCDEF")) {
    uint64_t bits = 0;
    std::from_chars(body.data() + 2, body.data() + body.size(), bits, 16);
    const auto value = static_cast<int64_t>(bits);  // SQLite reads 64 bits as two's complement
    return SqlValue::of_integer(negative ? static_cast<int64_t>(0 - bits) : value);
  }
  if (all_of(body, "0123456789")) {
    int64_t value = 0;
    const auto [ptr, ec] =
        std::from_chars(text.data() + (text[0] == '+' ? 1 : 0), text.data() + text.size(), value);
    if (ec == std::errc() && ptr == text.data() + text.size()) return SqlValue::of_integer(value);
  }
  if (decimal_number(body)) {
    const std::string copy(text);
    return SqlValue::of_real(std::strtod(copy.c_str(), nullptr));
  }
  return SqlValue::of_text(std::string(text));
}

// See params.h.
bool bind_cli_params(const std::vector<ParamArg>& params, std::string* sql, std::string* error) {
  SqlParams values;
  values.by_name = true;
  for (const auto& p : params) {
    values.named.emplace_back(p.name,
                              p.text ? SqlValue::of_text(p.value) : typed_param_value(p.value));
  }
  std::string bound;
  if (!bind_params(*sql, values, &bound, error)) return false;
  *sql = std::move(bound);
  return true;
}

}  // namespace kestrova::tools::cli
