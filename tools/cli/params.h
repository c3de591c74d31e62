// -p NAME VALUE and --param-text NAME VALUE: the values of a statement's
// parameters as a person types them, put into the SQL by the host core's
// scanner (bind_params).
#ifndef KESTROVA_SQLR_TOOLS_CLI_PARAMS_H_
#define KESTROVA_SQLR_TOOLS_CLI_PARAMS_H_

#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "common/params.h"

namespace kestrova::tools::cli {

// `text` typed as SQLite's shell types a value it is given: an integer when
// it is a decimal integer that fits 64 bits or a hexadecimal one of at most
// 16 digits (0x...), a real when it is any other number SQLite reads (12.5,
// .5, 1e3, a decimal integer too large for 64 bits), text otherwise. Signs are
// allowed; spaces are not (" 5" is text).
SqlValue typed_param_value(std::string_view text);

// Replaces the parameters of `*sql` with the values of `params` (by name: a
// number names ?NNN and plain ?). False with the scanner's message.
bool bind_cli_params(const std::vector<ParamArg>& params, std::string* sql, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_PARAMS_H_
