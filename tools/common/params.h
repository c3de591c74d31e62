// Parameters put into an SQL text as literals. The library binds nothing: a
// host replaces each parameter (?, ?NNN, :name, @name, $name, #name) by its
// value written as an SQL literal, and the library's guard then judges the
// final text as it judges any other. The scan reads the text as SQLite's
// tokenizer does, so marks inside string literals, quoted names and comments
// stay as they are, and every value is quoted so that it stays one value.
// The bindings' own scanners follow the same rules and give the same
// messages; bindings/testdata/params_cases.json holds the cases all of them
// are tested against.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_PARAMS_H_
#define KESTROVA_SQLR_TOOLS_COMMON_PARAMS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::tools {

// SQLite's largest parameter number (SQLITE_MAX_VARIABLE_NUMBER).
constexpr int64_t kMaxParamNumber = 32766;
// A key or parameter text is cut to at most this many bytes in a message.
constexpr size_t kParamMessageArgBytes = 64;

// One value put into a statement.
struct SqlValue {
  enum class Kind { kNull, kInteger, kReal, kText, kBlob };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // text (UTF-8 normally) or blob bytes

  static SqlValue null();
  static SqlValue of_integer(int64_t value);
  static SqlValue of_real(double value);
  static SqlValue of_text(std::string text);
  static SqlValue of_blob(std::string bytes);
};

// The values of one call: by position (an array) or by name (a mapping).
struct SqlParams {
  bool by_name = false;
  std::vector<SqlValue> positional;  // value i binds parameter number i+1
  // key: a name without its sigil, or a decimal number (for ? and ?NNN)
  std::vector<std::pair<std::string, SqlValue>> named;
};

// Returns in `out` the text `sql` with every parameter replaced by its value
// from `params` as an SQL literal, with one space before and one after it and
// every other byte unchanged; or false with the message in `error` when the
// values do not fit the parameters (a parameter with no value, a value no
// parameter takes, names given by position, a number out of 1..32766).
bool bind_params(std::string_view sql, const SqlParams& params, std::string* out,
                 std::string* error);

// `value` as an SQL literal (no spaces around it): NULL; an integer or real in
// decimal, a negative one in parentheses; a real's shortest text that reads
// back to the same double; text quoted, or CAST(X'..' AS TEXT) when it holds
// NUL or is not UTF-8; a blob as X'..'.
std::string sql_literal(const SqlValue& value);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_PARAMS_H_
