// A table view's conditions, from the page's structured JSON to SQL text: per
// column filters ({"column","op","value"|"values"}) and a full-text search.
// Names are checked against the table's columns and written quoted; values
// become SQL literals (common/params.h), so nothing the page sends is ever
// read as SQL.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_FILTERS_H_
#define KESTROVA_SQLR_TOOLS_SERVE_FILTERS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/catalogue.h"
#include "yyjson.h"

namespace kestrova::tools::serve {

// Filters one view may carry, and values one "in" filter may list.
constexpr size_t kMaxFilters = 32;
constexpr size_t kMaxFilterValues = 1000;
// Words of one search turned into FTS strings.
constexpr size_t kMaxSearchWords = 64;

// Returns in `where` the filters of JSON array `filters` as one SQL condition
// over `columns` ("" for an empty array), each column name prefixed by
// `qualifier` (a quoted table name and ".", or ""). False with the message
// in `error` for anything that is not a known column, a known op and values
// of the op's shape.
bool filters_sql(yyjson_val* filters, const std::vector<CatalogueColumn>& columns,
                 const std::string& qualifier, std::string* where, std::string* error);

// The person's search `text` as an FTS query: each whitespace-separated word
// as a quoted FTS string (so that AND, NEAR, "*" or ":" stay plain words), or
// the text itself when `syntax` asks for FTS query syntax. False when there
// is no word, or too many.
bool fts_query(std::string_view text, bool syntax, std::string* query, std::string* error);

// What the content= option of an FTS table's CREATE text `create` names (the
// table it indexes), and its content_rowid= column ("" = rowid). False when
// the text names no content table (a table of its own, or contentless).
bool fts_content_of(std::string_view create, std::string* content, std::string* content_rowid);

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_FILTERS_H_
