// read_query's page, sized for a model: at most the rows that fit the
// server's answer budget, cut at a row boundary, with the exact offset of the
// next page learned from one row read past the page rather than a second run.
#ifndef KESTROVA_SQLR_TOOLS_MCP_PAGE_H_
#define KESTROVA_SQLR_TOOLS_MCP_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools::mcp {

// What an answer may spend. A page's JSON text is carried once as an escaped
// string (the text content), and once more as JSON (structuredContent) when
// `twice` is set; `overhead` is kept back for the rest of the answer.
struct ResultBudget {
  size_t max_bytes;
  bool twice;
  // The bytes an answer carrying `text` takes (with its escaped copy).
  size_t cost(std::string_view text) const;
};

// Bytes kept back from every budget for the answer's envelope and note.
constexpr size_t kResultOverhead = 512;

// The bytes of `text` once written as the content of a JSON string.
size_t escaped_size(std::string_view text);

struct AnswerPage {
  // The page as the library writes it for (offset, limit) when it holds all
  // the rows asked for, each row byte for byte as the library wrote it;
  // "returned" counts the rows kept.
  std::string json;
  int64_t returned = 0;
  bool more = false;        // rows follow the page
  int64_t next_offset = 0;  // where they start, when `more`
  bool cut = false;         // the budget, not the limit, ended the page
  // With PageShape::types: each kept row's storage classes, one letter per
  // column (n, i, r, t, b); empty when the statement cannot carry them
  // (EXPLAIN) or none were asked for.
  std::vector<std::string> types;
};

// What the storage classes of a page take in an answer besides the rows:
// "_meta":{"kestrova-sqlr/types":[]}, and each row's letters as a string and
// its comma.
constexpr size_t kTypesFrameBytes = 48;
constexpr size_t kTypesRowBytes = 3;

// The most characters max_cell_chars takes.
constexpr int32_t kMaxCellChars = 1000000;

// How read_query writes each row: as an object {column: value} (the
// library's own rows) or as an array of values in column order, and with
// texts longer than `max_cell_chars` characters (0: none) cut, marked with
// kCutMark and their full length: "abc…[12345 chars]".
// With `types`, the page also carries each row's storage classes
// (AnswerPage::types), counted in its budget.
struct PageShape {
  bool arrays = false;
  int32_t max_cell_chars = 0;
  bool types = false;
  bool rewrites() const { return arrays || max_cell_chars > 0; }
};

// `text` (UTF-8) cut after `max_chars` characters and marked as PageShape
// says, or unchanged when it is no longer.
std::string cut_cell(std::string_view text, int32_t max_chars);

// Reads the page of `sql` at `offset` of at most `limit` rows (0..100000) on
// `handle` within `budget`, each row written in `shape` before the budget is
// counted. Returns false with a message for the assistant in
// `error`: the library's, or, when the first row alone does not fit, one that
// names the row and how to narrow the query.
bool read_page(int32_t handle, const std::string& sql, int32_t offset, int32_t limit,
               const PageShape& shape, const ResultBudget& budget, AnswerPage* page,
               std::string* error);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_PAGE_H_
