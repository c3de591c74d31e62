// One small class per format; CSV, TSV and JSON Lines are the shared
// writers of common/row_formats.h, which the data browser's export uses too.
#include "cli/formats.h"

#include <limits>
#include <vector>

#include "cli/text_table.h"
#include "common/row_formats.h"

namespace kestrova::tools::cli {
namespace {

// Whether `text` could be read as a mark that shown_value makes.
bool looks_like_mark(std::string_view text) {
  return text == "NULL" || text.rfind("<blob ", 0) == 0 || (!text.empty() && text[0] == '"');
}

// CSV or TSV through the shared writer (common/row_formats.h). A BLOB met
// after the first page in a column the header did not mark is still written
// as Base64, and said once on stderr, since the header is out by then. Rows
// go from the page's document straight into the output buffer: a
// 100,000-row export makes no string per value.
class DelimitedWriter : public RowWriter {
 public:
  DelimitedWriter(std::FILE* out, char delimiter) : RowWriter(out), rows_(delimiter) {}

  void begin(const Page& first) override {
    const size_t width = first.columns.size();
    rows_.header(first.columns, page_blob_columns(first, width), &buffer_);
    put("");
  }

  void row(const Page& page, size_t i) override {
    const size_t unmarked = rows_.row(
        page.rows[i], yyjson_obj_size(page.rows[i]), [&](size_t c) { return page.is_blob(i, c); },
        &buffer_);
    if (unmarked != DelimitedRows::npos && !warned_) {
      warn_unmarked(unmarked, unmarked < page.columns.size() ? page.columns[unmarked] : "");
    }
    put("");
  }

  // Reads the page's rows twice from the library's text: once to check them
  // and gather the header's BLOB marks, once to write them. Neither makes a
  // document, which for a 100,000-row page costs more fresh memory than the
  // text itself.
  bool text_page(const Page& page, bool first) override {
    if (page.doc != nullptr || page.text == nullptr) return false;
    const std::string_view text = std::string_view(page.text.get()).substr(0, page.rows_end);
    size_t rows_at = 0;
    if (!read_text_columns(text, &columns_, &spelled_, &rows_at) ||
        columns_.size() < page.blob_words) {
      return false;
    }
    const size_t words = page.blob_words;
    const size_t width = columns_.size() - words;
    columns_.resize(width);
    marks_.assign(words, 0);
    any_.assign(words, 0);
    if (!for_each_row(text, rows_at, width, nullptr)) return false;
    if (first) {
      std::vector<bool> blobs(width, false);
      for (size_t c = 0; c < width; ++c) {
        const size_t word = c / Page::kBlobsPerWord;
        blobs[c] = word < words && (any_[word] >> (c % Page::kBlobsPerWord) & 1) != 0;
      }
      rows_.header(columns_, blobs, &buffer_);
      put("");
    }
    return for_each_row(text, rows_at, width, &buffer_);
  }

 private:
  // Reads the rows of `text` from `at` to its end (only reading them with a
  // null `out`, else writing each and saying an unmarked BLOB once).
  bool for_each_row(std::string_view text, size_t at, size_t width, std::string* out) {
    const size_t words = marks_.size();
    while (at < text.size()) {
      if (!rows_.text_row(text, &at, width, words, marks_.data(), &spelled_, out)) return false;
      if (out == nullptr) {
        for (size_t w = 0; w < words; ++w) any_[w] |= marks_[w];
      } else {
        const size_t unmarked =
            warned_ ? DelimitedRows::npos : rows_.unmarked_blob(marks_.data(), words);
        if (unmarked != DelimitedRows::npos)
          warn_unmarked(unmarked, unmarked < columns_.size() ? columns_[unmarked] : "");
        put("");
      }
      if (at < text.size() && text[at++] != ',') return false;
    }
    return true;
  }

  // Says once that column `c` holds BLOBs its header does not mark.
  void warn_unmarked(size_t c, const std::string& name) {
    warned_ = true;
    std::fprintf(stderr,
                 "kestrova-sqlr: column %zu (%s) holds BLOBs after the first page; they are "
                 "written as Base64 under a header that does not say so\n",
                 c + 1, name.c_str());
  }

  DelimitedRows rows_;
  bool warned_ = false;
  std::vector<std::string> columns_;
  std::vector<std::string_view> spelled_;  // the names as the page's text spells them
  std::vector<uint64_t> marks_, any_;
};

// `text` safe inside a Markdown table cell: the punctuation Markdown reads
// is escaped, a line break becomes <br>, other control characters the escapes
// of display_text.
std::string markdown_cell(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
      case '|':
      case '*':
      case '_':
      case '`':
      case '[':
      case ']':
      case '#':
        out.push_back('\\');
        out.push_back(c);
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '&':
        out.append("&amp;");
        break;
      case '\n':
        out.append("<br>");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          out.append(display_text(std::string_view(&c, 1), 8));
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

// A GitHub-style Markdown table.
class MarkdownWriter : public RowWriter {
 public:
  explicit MarkdownWriter(std::FILE* out) : RowWriter(out) {}

  void begin(const Page& first) override {
    std::string header = "|", rule = "|";
    for (const auto& name : first.columns) {
      header += " " + markdown_cell(name) + " |";
      rule += " --- |";
    }
    put(header + "\n" + rule + "\n");
  }

  void row(const Page& page, size_t i) override {
    std::string text = "|";
    row_values(page, i, &values_);
    for (const Value& value : values_) text += " " + markdown_cell(shown_value(value)) + " |";
    put(text + "\n");
  }

 private:
  std::vector<Value> values_;
};

// One "column = value" line per value, the names right-aligned, a blank line
// between rows: for rows too wide for a table.
class LineWriter : public RowWriter {
 public:
  explicit LineWriter(std::FILE* out) : RowWriter(out) {}

  void begin(const Page& first) override {
    for (const auto& name : first.columns) {
      names_.push_back(display_text(name, std::numeric_limits<size_t>::max()));
      width_ = std::max(width_, display_width(names_.back()));
    }
  }

  void row(const Page& page, size_t i) override {
    if (rows_++ > 0) put("\n");
    row_values(page, i, &values_);
    values_.resize(names_.size());
    const Value* values = values_.data();
    for (size_t c = 0; c < names_.size(); ++c) {
      put(std::string(width_ - display_width(names_[c]), ' '));
      put(names_[c]);
      put(" = ");
      put(display_text(shown_value(values[c]), std::numeric_limits<size_t>::max()));
      put("\n");
    }
  }

 private:
  std::vector<std::string> names_;
  std::vector<Value> values_;
  size_t width_ = 0;
  long long rows_ = 0;
};

// Each row object as the library wrote it, one per line.
class JsonLinesWriter : public RowWriter {
 public:
  explicit JsonLinesWriter(std::FILE* out) : RowWriter(out) {}

  void begin(const Page&) override {}

  void row(const Page& page, size_t i) override {
    std::string why;
    append_json_row(page.rows[i], yyjson_obj_size(page.rows[i]), &buffer_, &why);
    buffer_.push_back('\n');
    put("");
  }
};

// The aligned table: all rows are kept, since the widths depend on them all.
class TableWriter : public RowWriter {
 public:
  TableWriter(std::FILE* out, size_t max_width) : RowWriter(out), max_width_(max_width) {}

  void begin(const Page& first) override {
    table_ = std::make_unique<TextTable>(first.columns, max_width_);
  }

  void row(const Page& page, size_t i) override {
    std::vector<Cell> cells;
    row_values(page, i, &values_);
    values_.resize(page.columns.size());
    for (const Value& value : values_) {
      const bool number = value.kind == ValueKind::kInteger || value.kind == ValueKind::kReal;
      cells.push_back({shown_value(value), number});
    }
    table_->add_row(std::move(cells));
  }

  void end() override {
    if (table_ != nullptr) put(table_->render());
  }

 private:
  size_t max_width_;
  std::vector<Value> values_;
  std::unique_ptr<TextTable> table_;
};

}  // namespace

// See formats.h. A real has a point or an exponent in the library's text.
Value value_of(yyjson_val* v, char type) {
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_RAW: {
      const std::string_view raw(yyjson_get_raw(v), yyjson_get_len(v));
      return {raw.find_first_of(".eE") == raw.npos ? ValueKind::kInteger : ValueKind::kReal, raw};
    }
    case YYJSON_TYPE_STR:
      return {type == 'b' ? ValueKind::kBlob : ValueKind::kText,
              std::string_view(yyjson_get_str(v), yyjson_get_len(v))};
    default:
      return {};
  }
}

// See formats.h. By position: two columns may share a name.
void row_values(const Page& page, size_t i, std::vector<Value>* values) {
  values->clear();
  yyjson_obj_iter it = yyjson_obj_iter_with(page.rows[i]);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
    const size_t c = values->size();
    values->push_back(value_of(yyjson_obj_iter_get_val(key), page.is_blob(i, c) ? 'b' : 't'));
  }
}

// See formats.h.
size_t base64_size(std::string_view b64) {
  size_t pad = 0;
  while (pad < 2 && pad < b64.size() && b64[b64.size() - 1 - pad] == '=') ++pad;
  return b64.size() / 4 * 3 - pad;
}

// See formats.h.
bool RowWriter::flush() {
  if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
  buffer_.clear();
  return std::fflush(out_) == 0 && !std::ferror(out_);
}

// See formats.h.
void RowWriter::put(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= kFlushBytes) {
    std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
    buffer_.clear();
  }
}

// See formats.h.
std::unique_ptr<RowWriter> make_row_writer(Format format, std::FILE* out, size_t max_width) {
  switch (format) {
    case Format::kCsv:
      return std::make_unique<DelimitedWriter>(out, ',');
    case Format::kTsv:
      return std::make_unique<DelimitedWriter>(out, '\t');
    case Format::kMarkdown:
      return std::make_unique<MarkdownWriter>(out);
    case Format::kLine:
      return std::make_unique<LineWriter>(out);
    case Format::kTable:
      return std::make_unique<TableWriter>(out, max_width);
    default:
      return std::make_unique<JsonLinesWriter>(out);
  }
}

// See formats.h.
bool format_needs_types(Format format) {
  return format != Format::kJson && format != Format::kPretty && format != Format::kJsonl;
}

// See formats.h.
std::string shown_value(const Value& value) {
  switch (value.kind) {
    case ValueKind::kNull:
      return "NULL";
    case ValueKind::kBlob: {
      const size_t size = base64_size(value.text);
      return "<blob " + std::to_string(size) + (size == 1 ? " byte>" : " bytes>");
    }
    case ValueKind::kText:
      if (looks_like_mark(value.text)) {
        std::string out = "\"";
        for (const char c : value.text) {
          if (c == '"') out.push_back('"');
          out.push_back(c);
        }
        return out + "\"";
      }
      return std::string(value.text);
    default:
      return std::string(value.text);
  }
}

// See formats.h.
std::string delimited_field(std::string_view field, char delimiter) {
  const char special[] = {delimiter, '"', '\r', '\n', '\0'};
  if (field.find_first_of(special) == field.npos) return std::string(field);
  std::string out = "\"";
  for (const char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace kestrova::tools::cli
