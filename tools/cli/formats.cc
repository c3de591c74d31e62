// One small class per format. Decisions a reader of the output relies on:
// CSV and TSV lines end in CRLF (RFC 4180, and what Python's excel and
// excel-tab dialects write); NULL is an empty field there; a BLOB is its
// Base64 text under a header that says "(base64)".
#include "cli/formats.h"

#include <limits>
#include <vector>

#include "cli/text_table.h"

namespace kestrova::tools::cli {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kBase64Mark = " (base64)";

// Whether `text` could be read as a mark that shown_value makes.
bool looks_like_mark(std::string_view text) {
  return text == "NULL" || text.rfind("<blob ", 0) == 0 || (!text.empty() && text[0] == '"');
}

// CSV or TSV. The header marks a column as Base64 when the first page holds a
// BLOB in it; a BLOB met later in another column is still written as Base64,
// and said once on stderr, since the header is out by then. Rows go from the
// page's document straight into the output buffer: a 100,000-row export
// makes no string per value.
class DelimitedWriter : public RowWriter {
 public:
  DelimitedWriter(std::FILE* out, char delimiter) : RowWriter(out), delimiter_(delimiter) {
    for (const char c : {delimiter, '"', '\r', '\n'})
      special_[static_cast<unsigned char>(c)] = true;
  }

  void begin(const Page& first) override {
    const size_t width = first.columns.size();
    blob_columns_.assign(width, false);
    for (const std::string_view types : first.types) {
      for (size_t c = 0; c < width && c < types.size(); ++c) {
        if (types[c] == 'b') blob_columns_[c] = true;
      }
    }
    if (width == 1 && first.columns[0].empty() && !blob_columns_[0]) {
      put("\"\"");
    } else {
      for (size_t c = 0; c < width; ++c) {
        if (c > 0) buffer_.push_back(delimiter_);
        append_field(first.columns[c]);
        if (blob_columns_[c]) buffer_.append(kBase64Mark);
      }
    }
    put(kCrLf);
  }

  void row(const Page& page, size_t i) override {
    const std::string_view types = i < page.types.size() ? page.types[i] : std::string_view();
    yyjson_val* row = page.rows[i];
    const size_t width = yyjson_obj_size(row);
    // A line of one empty field is written "" so that it is not an empty line.
    bool empty_line = width == 1;
    yyjson_obj_iter it = yyjson_obj_iter_with(row);
    size_t c = 0;
    while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
      yyjson_val* v = yyjson_obj_iter_get_val(key);
      if (c > 0) buffer_.push_back(delimiter_);
      if (c < types.size() && types[c] == 'b' && !warned_ &&
          (c >= blob_columns_.size() || !blob_columns_[c])) {
        warned_ = true;
        std::fprintf(stderr,
                     "kestrova-sqlr: column %zu (%s) holds BLOBs after the first page; they are "
                     "written as Base64 under a header that does not say so\n",
                     c + 1, c < page.columns.size() ? page.columns[c].c_str() : "");
      }
      if (yyjson_is_raw(v)) {
        buffer_.append(yyjson_get_raw(v), yyjson_get_len(v));
        empty_line = false;
      } else if (yyjson_is_str(v)) {
        const size_t len = yyjson_get_len(v);
        append_field(std::string_view(yyjson_get_str(v), len));
        empty_line = empty_line && len == 0;
      }
      ++c;
    }
    if (empty_line) buffer_.append("\"\"");
    put(kCrLf);
  }

 private:
  // Appends one field as delimited_field writes it, without a copy when it
  // needs no quotes.
  void append_field(std::string_view field) {
    size_t i = 0;
    while (i < field.size() && !special_[static_cast<unsigned char>(field[i])]) ++i;
    if (i == field.size()) {
      buffer_.append(field);
      return;
    }
    buffer_.push_back('"');
    for (const char c : field) {
      if (c == '"') buffer_.push_back('"');
      buffer_.push_back(c);
    }
    buffer_.push_back('"');
  }

  char delimiter_;
  bool special_[256] = {};
  std::vector<bool> blob_columns_;
  bool warned_ = false;
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
    text_.clear();
    write_json(page.rows[i], YYJSON_WRITE_NOFLAG, &text_, &why);
    text_.push_back('\n');
    put(text_);
  }

 private:
  std::string text_;
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
  const std::string_view types = i < page.types.size() ? page.types[i] : std::string_view();
  values->clear();
  yyjson_obj_iter it = yyjson_obj_iter_with(page.rows[i]);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
    const size_t c = values->size();
    values->push_back(value_of(yyjson_obj_iter_get_val(key), c < types.size() ? types[c] : 't'));
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
