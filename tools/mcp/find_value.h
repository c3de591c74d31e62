// find_value: where a text stands in a file one knows nothing of. Every text
// value of every table is searched as a substring with LIKE, a few rows per
// table at most, and the search stops, with a cursor to go on from, when the
// answer is full or its time is up.
#ifndef KESTROVA_SQLR_TOOLS_MCP_FIND_VALUE_H_
#define KESTROVA_SQLR_TOOLS_MCP_FIND_VALUE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/catalogue.h"
#include "mcp/page.h"
#include "mcp/schema_tools.h"

namespace kestrova::tools::mcp {

// The text looked for is at most this long (LIKE's cost grows with it).
constexpr size_t kMaxFindTextBytes = 1000;
// Matching rows reported per table: by default and at most.
constexpr int32_t kDefaultFindPerTable = 5;
constexpr int32_t kMaxFindPerTable = 1000;
// Characters of each value shown by default.
constexpr int32_t kDefaultFindChars = 80;
// Columns read by one statement (SQLite takes at most 2,000 result columns;
// each column takes two).
constexpr size_t kFindColumnsPerStatement = 200;
// No table, nor another statement of a wide one, is begun after this long;
// the answer then says where to go on.
constexpr std::chrono::milliseconds kFindDeadline{10000};

struct ValueSearch {
  std::string text;
  int32_t per_table = kDefaultFindPerTable;
  int32_t max_chars = kDefaultFindChars;
  bool include_hidden = false;
  std::string cursor;
};

// {"found":[{"table","column","rowid"|"key","value","length"}],
//  "tables_searched":N,"tables":N,"stopped":null|"budget"|"deadline",
//  "skipped":[{"table","error"}],"next_cursor":..|null}.
// "value" is an excerpt of at most max_chars characters beginning a little
// before the first match, marked with … where cut; "length" is the value's
// full length in characters. WITHOUT ROWID tables give "key", their primary
// key's values in key order; a rowid shadowed by columns named rowid, _rowid_
// and oid is null.
bool find_value_json(Catalogue* catalogue, int32_t handle, const ValueSearch& search,
                     const ResultBudget& budget, std::string* json, ToolFailure* failure);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_FIND_VALUE_H_
