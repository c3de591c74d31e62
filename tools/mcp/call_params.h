// The `params` argument of read_query and write_query: the JSON a client
// sent, checked and turned into the values the shared scanner puts into the
// statement as SQL literals.
#ifndef KESTROVA_SQLR_TOOLS_MCP_CALL_PARAMS_H_
#define KESTROVA_SQLR_TOOLS_MCP_CALL_PARAMS_H_

#include <string>

#include "common/params.h"
#include "yyjson.h"

namespace kestrova::tools::mcp {

// Whether every value of `params` (an array or object) is null, a boolean, a
// number or a string; otherwise false with why in `error` (naming the value's
// position or key, cut short).
bool params_values_fit(yyjson_val* params, std::string* error);

// `params` as the scanner's values: an array by position, an object by name
// (keys in the order sent). Booleans become 1 and 0, numbers beyond 64 bits
// reals. `params` must have passed params_values_fit.
SqlParams sql_params_of(yyjson_val* params);

// `sql` with `params` (null: none given, the text passes unchanged) put in;
// false with the scanner's message in `error`.
bool put_params(const std::string& sql, yyjson_val* params, std::string* out, std::string* error);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_CALL_PARAMS_H_
