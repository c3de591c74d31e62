// STAND-IN for common/params.h, which the host core is building: the same
// declarations, so that the command line's -p and --param-text can be written
// against them now. Once common/params.{h,cc} are on this branch, these two
// files go and "cli/sql_params.h" becomes "common/params.h".
#ifndef KESTROVA_SQLR_TOOLS_CLI_SQL_PARAMS_H_
#define KESTROVA_SQLR_TOOLS_CLI_SQL_PARAMS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::tools {

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
  std::vector<SqlValue> positional;                     // value i binds parameter number i+1
  std::vector<std::pair<std::string, SqlValue>> named;  // a name without its sigil, or a number
};

// Returns `sql` with every parameter replaced by its value as an SQL literal
// (one space either side), or false with the message in `error`.
bool bind_params(std::string_view sql, const SqlParams& params, std::string* out,
                 std::string* error);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_CLI_SQL_PARAMS_H_
