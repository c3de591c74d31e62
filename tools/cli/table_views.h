// The library's three documents (table list, schema, page) as text tables.
#ifndef KESTROVA_SQLR_TOOLS_CLI_TABLE_VIEWS_H_
#define KESTROVA_SQLR_TOOLS_CLI_TABLE_VIEWS_H_

#include <string>
#include <string_view>

namespace kestrova::tools::cli {

// Each function lays out one kind of document as an aligned table in `out`.
// They return false, with the reason in `error`, when `json` is not JSON of
// the expected shape; `out` is then unspecified.

// ["a","b"]: one name per line under the heading "name".
bool tables_as_table(std::string_view json, std::string* out, std::string* error);

// {"name","type","columns":[...]}: a "type name" title, then one line per column.
bool schema_as_table(std::string_view json, std::string* out, std::string* error);

// {"columns","rows","offset","limit","returned"}: the rows under their column
// names (NULL for null, numbers to the right), then a count line that, when
// `more` rows follow, says so and where the next page starts.
bool page_as_table(std::string_view json, bool more, std::string* out, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_TABLE_VIEWS_H_
