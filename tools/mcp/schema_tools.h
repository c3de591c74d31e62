// list_tables and search_schema: what a database holds, from the shared
// catalogue, sized for a model. Both leave shadow and internal tables out
// unless asked, count rows only up to a bound, and cut a long answer with a
// cursor to go on from.
#ifndef KESTROVA_SQLR_TOOLS_MCP_SCHEMA_TOOLS_H_
#define KESTROVA_SQLR_TOOLS_MCP_SCHEMA_TOOLS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/catalogue.h"
#include "mcp/page.h"

namespace kestrova::tools::mcp {

// search_schema's pattern is at most this long.
constexpr size_t kMaxPatternBytes = 1024;
// Tables in one search_schema answer: by default and at most.
constexpr int32_t kDefaultSearchLimit = 100;
constexpr int32_t kMaxSearchLimit = 10000;
// What matched in one table, shown at most.
constexpr size_t kMaxMatchesShown = 20;

// Why a call could not be answered: `message` is for the assistant.
struct ToolFailure {
  std::string message;
};

// list_tables: {"tables":[{"name","kind"[,"module"],"rows"}],"total":N,
// "next_cursor":..|null}, "rows" an integer, "10000+" past kCountBound, or
// null when the name cannot be counted (a view over a table that is gone).
bool list_tables_json(Catalogue* catalogue, bool include_hidden, const std::string& cursor,
                      const ResultBudget& budget, std::string* json, ToolFailure* failure);

struct SchemaSearch {
  std::string pattern;  // "" = every table
  std::string detail;   // names, summary or full
  int32_t limit = kDefaultSearchLimit;
  bool include_hidden = false;
  std::string cursor;
};

// search_schema: {"tables":[entry],"total":N,"next_cursor":..|null}, each
// entry {"name","kind"[,"module"],"matches":[{"in","name"}]} (matches only
// with a pattern), with "columns":[{"name","type"}] and "rows" at summary,
// "description" at full. An entry too large for any answer is cut to its
// names and says so ("omitted").
bool search_schema_json(Catalogue* catalogue, int32_t handle, const SchemaSearch& search,
                        const ResultBudget& budget, std::string* json, ToolFailure* failure);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_SCHEMA_TOOLS_H_
