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
// and said once on stderr, since the header is out by then.
class DelimitedWriter : public RowWriter {
 public:
  DelimitedWriter(std::FILE* out, char delimiter) : RowWriter(out), delimiter_(delimiter) {}

  void begin(const RowPage& first) override {
    const size_t width = first.columns.size();
    blob_columns_.assign(width, false);
    for (size_t r = 0; r < first.rows(); ++r) {
      for (size_t c = 0; c < width; ++c) {
        if (first.row(r)[c].kind == ValueKind::kBlob) blob_columns_[c] = true;
      }
    }
    std::vector<std::string> names;
    for (size_t c = 0; c < width; ++c) {
      names.push_back(first.columns[c] + (blob_columns_[c] ? std::string(kBase64Mark) : ""));
    }
    line(names.size(), [&](size_t c) { return std::string_view(names[c]); });
  }

  void row(const RowPage& page, size_t i) override {
    const Value* values = page.row(i);
    for (size_t c = 0; c < page.columns.size(); ++c) {
      if (values[c].kind == ValueKind::kBlob && !blob_columns_[c] && !warned_) {
        warned_ = true;
        std::fprintf(stderr,
                     "kestrova-sqlr: column %zu (%s) holds BLOBs after the first page; they are "
                     "written as Base64 under a header that does not say so\n",
                     c + 1, page.columns[c].c_str());
      }
    }
    line(page.columns.size(), [&](size_t c) { return values[c].text; });
  }

 private:
  // Writes one line of `count` fields.
  template <typename FieldAt>
  void line(size_t count, FieldAt field_at) {
    // A line of one empty field is written "" so that it is not an empty line.
    if (count == 1 && field_at(0).empty()) {
      put("\"\"");
    } else {
      for (size_t c = 0; c < count; ++c) {
        if (c > 0) put(std::string_view(&delimiter_, 1));
        append_field(field_at(c));
      }
    }
    put(kCrLf);
  }

  // Appends one field as delimited_field writes it, without a copy when it
  // needs no quotes.
  void append_field(std::string_view field) {
    const char special[] = {delimiter_, '"', '\r', '\n', '\0'};
    if (field.find_first_of(special) == field.npos) {
      put(field);
    } else {
      put(delimited_field(field, delimiter_));
    }
  }

  char delimiter_;
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

  void begin(const RowPage& first) override {
    std::string header = "|", rule = "|";
    for (const auto& name : first.columns) {
      header += " " + markdown_cell(name) + " |";
      rule += " --- |";
    }
    put(header + "\n" + rule + "\n");
  }

  void row(const RowPage& page, size_t i) override {
    std::string text = "|";
    const Value* values = page.row(i);
    for (size_t c = 0; c < page.columns.size(); ++c) {
      text += " " + markdown_cell(shown_value(values[c])) + " |";
    }
    put(text + "\n");
  }
};

// One "column = value" line per value, the names right-aligned, a blank line
// between rows: for rows too wide for a table.
class LineWriter : public RowWriter {
 public:
  explicit LineWriter(std::FILE* out) : RowWriter(out) {}

  void begin(const RowPage& first) override {
    for (const auto& name : first.columns) {
      names_.push_back(display_text(name, std::numeric_limits<size_t>::max()));
      width_ = std::max(width_, display_width(names_.back()));
    }
  }

  void row(const RowPage& page, size_t i) override {
    if (rows_++ > 0) put("\n");
    const Value* values = page.row(i);
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
  size_t width_ = 0;
  long long rows_ = 0;
};

// Each row object as the library wrote it, one per line.
class JsonLinesWriter : public RowWriter {
 public:
  explicit JsonLinesWriter(std::FILE* out) : RowWriter(out) {}

  void begin(const RowPage&) override {}

  void row(const RowPage& page, size_t i) override {
    std::string why;
    text_.clear();
    write_json(page.objects[i], YYJSON_WRITE_NOFLAG, &text_, &why);
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

  void begin(const RowPage& first) override {
    table_ = std::make_unique<TextTable>(first.columns, max_width_);
  }

  void row(const RowPage& page, size_t i) override {
    std::vector<Cell> cells;
    const Value* values = page.row(i);
    for (size_t c = 0; c < page.columns.size(); ++c) {
      const bool number =
          values[c].kind == ValueKind::kInteger || values[c].kind == ValueKind::kReal;
      cells.push_back({shown_value(values[c]), number});
    }
    table_->add_row(std::move(cells));
  }

  void end() override {
    if (table_ != nullptr) put(table_->render());
  }

 private:
  size_t max_width_;
  std::unique_ptr<TextTable> table_;
};

}  // namespace

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
