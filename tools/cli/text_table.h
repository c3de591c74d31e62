// Aligned plain-text tables for terminals.
#ifndef KESTROVA_SQLR_TOOLS_CLI_TEXT_TABLE_H_
#define KESTROVA_SQLR_TOOLS_CLI_TEXT_TABLE_H_

#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools::cli {

// One cell: its text as shown and which side it is aligned to.
struct Cell {
  std::string text;
  bool align_right = false;
};

// A header and rows of cells laid out in columns two spaces apart, with a rule
// of dashes under the header. Widths count UTF-8 code points, so characters
// drawn two columns wide (most CJK) still push a row out of line.
class TextTable {
 public:
  // Cells wider than this many code points are cut and end in "…", unless
  // the table is given another width (--max-width).
  static constexpr size_t kMaxCellWidth = 40;

  // The header's names pass through display_text too, cut to `max_width`.
  explicit TextTable(std::vector<std::string> header, size_t max_width = kMaxCellWidth);

  // Adds a row; each cell's text passes through display_text. Missing cells
  // show empty, extra cells are dropped.
  void add_row(std::vector<Cell> row);

  // The whole table, every line ending in '\n'; trailing spaces left out.
  std::string render() const;

 private:
  size_t max_width_;
  std::vector<Cell> header_;
  std::vector<std::vector<Cell>> rows_;
};

// `text` made safe for one terminal line: control characters become visible
// escapes (\n, \t, \r, \xHH) and the result is cut to `max_width` code points,
// its last one "…" when something was cut.
std::string display_text(std::string_view text, size_t max_width);

// Number of UTF-8 code points in `text` (bytes that do not continue one).
size_t display_width(std::string_view text);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_TEXT_TABLE_H_
