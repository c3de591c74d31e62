// Column widths are measured once over every cell, then each line is padded.
#include "cli/text_table.h"

#include <algorithm>
#include <cstdio>

namespace kestrova::tools::cli {
namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Appends `cell` padded to `width` on its aligned side.
void put_cell(const Cell& cell, size_t width, std::string* line) {
  const size_t pad = width - std::min(width, display_width(cell.text));
  if (cell.align_right) line->append(pad, ' ');
  line->append(cell.text);
  if (!cell.align_right) line->append(pad, ' ');
}

// Removes the spaces that left-aligned last cells leave at the end of a line.
void end_line(std::string* line, std::string* out) {
  const size_t end = line->find_last_not_of(' ');
  line->resize(end == std::string::npos ? 0 : end + 1);
  out->append(*line);
  out->push_back('\n');
  line->clear();
}

}  // namespace

// See text_table.h.
size_t display_width(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

// See text_table.h. An escape counts as the columns it takes on screen.
std::string display_text(std::string_view text, size_t max_width) {
  std::string out;
  size_t width = 0;
  size_t cut_at = 0;  // length of `out` that leaves room for the ellipsis
  for (size_t i = 0; i < text.size();) {
    // One code point (or one stray byte), and how it is shown.
    const auto c = static_cast<unsigned char>(text[i]);
    size_t len = 1;
    while (c >= 0xC0 && i + len < text.size() && is_continuation(text[i + len])) ++len;
    std::string piece;
    if (c == '\n') {
      piece = "\\n";
    } else if (c == '\t') {
      piece = "\\t";
    } else if (c == '\r') {
      piece = "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      piece = hex;
    } else {
      piece.assign(text.substr(i, len));
    }
    i += len;
    const size_t piece_width = c < 0x20 || c == 0x7F ? piece.size() : 1;
    if (width + piece_width > max_width) {
      out.resize(cut_at);
      out.append("\xE2\x80\xA6");  // …
      return out;
    }
    width += piece_width;
    out.append(piece);
    if (width + 1 <= max_width) cut_at = out.size();
  }
  return out;
}

// See text_table.h.
TextTable::TextTable(std::vector<std::string> header, size_t max_width) : max_width_(max_width) {
  for (auto& name : header) header_.push_back({display_text(name, max_width_), false});
}

// See text_table.h.
void TextTable::add_row(std::vector<Cell> row) {
  row.resize(header_.size());
  for (auto& cell : row) cell.text = display_text(cell.text, max_width_);
  rows_.push_back(std::move(row));
}

// See text_table.h.
std::string TextTable::render() const {
  std::vector<size_t> widths;
  for (const auto& cell : header_) widths.push_back(display_width(cell.text));
  for (const auto& row : rows_) {
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], display_width(row[c].text));
    }
  }
  std::string out;
  std::string line;
  auto put_row = [&](const std::vector<Cell>& row) {
    for (size_t c = 0; c < row.size(); ++c) {
      if (c > 0) line.append("  ");
      put_cell(row[c], widths[c], &line);
    }
    end_line(&line, &out);
  };
  put_row(header_);
  for (size_t c = 0; c < widths.size(); ++c) {
    if (c > 0) line.append("  ");
    line.append(widths[c], '-');
  }
  end_line(&line, &out);
  for (const auto& row : rows_) put_row(row);
  return out;
}

}  // namespace kestrova::tools::cli
