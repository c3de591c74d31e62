// The writers behind row_formats.h.
#include "common/row_formats.h"

#include <cstring>

#include "common/json.h"

namespace kestrova::tools {

// See row_formats.h.
DelimitedRows::DelimitedRows(char delimiter) : delimiter_(delimiter) {
  for (const char c : {delimiter, '"', '\r', '\n'}) special_[static_cast<unsigned char>(c)] = true;
}

// See row_formats.h. A header of one empty name is written "" so that it is
// not an empty line.
void DelimitedRows::header(const std::vector<std::string>& columns,
                           const std::vector<bool>& blob_columns, std::string* out) {
  marked_ = blob_columns;
  marked_.resize(columns.size(), false);
  if (columns.size() == 1 && columns[0].empty() && !marked_[0]) {
    out->append("\"\"");
  } else {
    for (size_t c = 0; c < columns.size(); ++c) {
      if (c > 0) out->push_back(delimiter_);
      append_field(columns[c], out);
      if (marked_[c]) out->append(" (base64)");
    }
  }
  out->append("\r\n");
}

// See row_formats.h. Without a copy when the field needs no quotes.
void DelimitedRows::append_field(std::string_view field, std::string* out) const {
  size_t i = 0;
  while (i < field.size() && !special_[static_cast<unsigned char>(field[i])]) ++i;
  if (i == field.size()) {
    out->append(field);
    return;
  }
  out->push_back('"');
  size_t from = 0;
  for (size_t at = field.find('"'); at != field.npos; at = field.find('"', at + 1)) {
    out->append(field.substr(from, at + 1 - from));
    out->push_back('"');
    from = at + 1;
  }
  out->append(field.substr(from));
  out->push_back('"');
}

namespace {

// The value of hex digit `c`, or -1.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `p` (which has at least four bytes), or -1.
long hex4(const char* p) {
  long n = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hex_digit(p[i]);
    if (d < 0) return -1;
    n = n * 16 + d;
  }
  return n;
}

// Appends code point `cp` (not a surrogate, at most U+10FFFF) as UTF-8.
void append_utf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong form,
// no surrogate, nothing past U+10FFFF) that starts with the byte at `i` of
// `text`, a byte of 0x80 or more; 0 when it is not one.
size_t utf8_length(std::string_view text, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < n || b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  }
  return n;
}

// The end of the JSON number at `at` of `text` (its grammar exactly), or
// `at` when none starts there.
size_t number_end(std::string_view text, size_t at) {
  size_t i = at;
  const auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  if (i < text.size() && text[i] == '-') ++i;
  if (!digit(i)) return at;
  if (text[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i < text.size() && text[i] == '.') {
    if (!digit(++i)) return at;
    while (digit(i)) ++i;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digit(i)) return at;
    while (digit(i)) ++i;
  }
  return i;
}

// Whether the eight bytes at `p` are all plain string bytes: printable
// ASCII other than a quote or a backslash. Word-wide tests whose "any byte"
// answers are exact, so that a run of text is skipped eight bytes a step.
bool plain_eight(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  const uint64_t quote = w ^ (kOnes * '"'), slash = w ^ (kOnes * '\\');
  const uint64_t hits =
      ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | ((w - kOnes * 0x20) & ~w) | w;
  return (hits & kHighs) == 0;
}

}  // namespace

// See row_formats.h. Escapes are decoded as yyjson decodes them; a run of
// plain bytes is copied whole.
bool read_json_string(std::string_view text, size_t* at, std::string_view* value,
                      std::string* scratch) {
  size_t i = *at;
  if (i >= text.size() || text[i] != '"') return false;
  const size_t start = ++i;
  bool escaped = false;
  size_t run = start;  // the start of the plain bytes not yet copied to scratch
  for (;;) {
    while (text.size() - i >= 8 && plain_eight(text.data() + i)) i += 8;
    if (i >= text.size()) return false;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') break;
    if (c < 0x20) return false;
    if (c >= 0x80) {
      const size_t n = utf8_length(text, i);
      if (n == 0) return false;
      i += n;
      continue;
    }
    if (c != '\\') {
      ++i;
      continue;
    }
    if (!escaped) scratch->clear();
    escaped = true;
    scratch->append(text.substr(run, i - run));
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case '"':
      case '\\':
      case '/':
        scratch->push_back(text[i]);
        break;
      case 'b':
        scratch->push_back('\b');
        break;
      case 'f':
        scratch->push_back('\f');
        break;
      case 'n':
        scratch->push_back('\n');
        break;
      case 'r':
        scratch->push_back('\r');
        break;
      case 't':
        scratch->push_back('\t');
        break;
      case 'u': {
        if (text.size() - i < 5) return false;
        long cp = hex4(text.data() + i + 1);
        if (cp < 0) return false;
        i += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (text.size() - i < 7 || text[i + 1] != '\\' || text[i + 2] != 'u') return false;
          const long low = hex4(text.data() + i + 3);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        append_utf8(static_cast<uint32_t>(cp), scratch);
        break;
      }
      default:
        return false;
    }
    run = ++i;
  }
  if (escaped) {
    scratch->append(text.substr(run, i - run));
    *value = *scratch;
  } else {
    *value = text.substr(start, i - start);
  }
  *at = i + 1;
  return true;
}

// See row_formats.h.
bool read_text_columns(std::string_view text, std::vector<std::string>* columns,
                       std::vector<std::string_view>* spelled, size_t* rows_at) {
  constexpr std::string_view kStart = "{\"columns\":[", kRows = ",\"rows\":[";
  if (text.substr(0, kStart.size()) != kStart) return false;
  columns->clear();
  spelled->clear();
  size_t at = kStart.size();
  std::string scratch;
  std::string_view name;
  if (at < text.size() && text[at] != ']') {
    for (;;) {
      const size_t from = at;
      if (!read_json_string(text, &at, &name, &scratch)) return false;
      columns->emplace_back(name);
      spelled->push_back(text.substr(from, at - from));
      if (at >= text.size() || text[at] != ',') break;
      ++at;
    }
  }
  if (at >= text.size() || text[at] != ']' || text.substr(at + 1, kRows.size()) != kRows) {
    return false;
  }
  *rows_at = at + 1 + kRows.size();
  return true;
}

// See row_formats.h. Each member is a key, a colon and a string, a number
// or null, with no space: yyjson's compact output.
bool DelimitedRows::text_row(std::string_view text, size_t* at, size_t width, size_t words,
                             uint64_t* marks, const std::vector<std::string_view>* keys,
                             std::string* out) {
  size_t i = *at;
  if (i >= text.size() || text[i] != '{') return false;
  ++i;
  const size_t start = out != nullptr ? out->size() : 0;
  const size_t members = width + words;
  bool empty_line = width == 1;
  std::string_view value;
  for (size_t c = 0; c < members; ++c) {
    if (c > 0) {
      if (i >= text.size() || text[i] != ',') break;
      ++i;
    }
    if (keys != nullptr && c < keys->size() && text.substr(i, (*keys)[c].size()) == (*keys)[c]) {
      i += (*keys)[c].size();
    } else if (!read_json_string(text, &i, &value, &scratch_)) {
      break;
    }
    if (i >= text.size() || text[i] != ':') break;
    ++i;
    if (i >= text.size()) break;
    const bool mark = c >= width;
    if (c > 0 && !mark && out != nullptr) out->push_back(delimiter_);
    if (text[i] == '"') {
      if (mark || !read_json_string(text, &i, &value, &scratch_)) break;
      if (out != nullptr) append_field(value, out);
      empty_line = empty_line && value.empty();
    } else if (text.substr(i, 4) == "null") {
      if (mark) break;
      i += 4;
    } else {
      const size_t end = number_end(text, i);
      if (end == i) break;
      if (mark) {
        // The integer of marks, as the document's reading of it takes it.
        uint64_t n = 0;
        for (size_t k = i; k < end && text[k] >= '0' && text[k] <= '9'; ++k) {
          n = n * 10 + static_cast<uint64_t>(text[k] - '0');
        }
        marks[c - width] = n;
      } else {
        if (out != nullptr) out->append(text.substr(i, end - i));
        empty_line = false;
      }
      i = end;
    }
    if (c + 1 == members) {
      if (i >= text.size() || text[i] != '}') break;
      if (out != nullptr) {
        if (empty_line) out->append("\"\"");
        out->append("\r\n");
      }
      *at = i + 1;
      return true;
    }
  }
  if (out != nullptr) out->resize(start);
  return false;
}

// See row_formats.h.
size_t DelimitedRows::unmarked_blob(const uint64_t* marks, size_t words) const {
  for (size_t w = 0; w < words; ++w) {
    uint64_t bits = marks[w];
    for (size_t b = 0; bits != 0 && b < Page::kBlobsPerWord; ++b, bits >>= 1) {
      const size_t c = w * Page::kBlobsPerWord + b;
      if ((bits & 1) != 0 && (c >= marked_.size() || !marked_[c])) return c;
    }
  }
  return npos;
}

// See row_formats.h.
std::vector<bool> page_blob_columns(const Page& first, size_t width) {
  std::vector<uint64_t> any(first.blob_words, 0);
  for (size_t at = 0; at < first.blob_bits.size(); ++at)
    any[at % first.blob_words] |= first.blob_bits[at];
  std::vector<bool> blobs(width, false);
  for (size_t c = 0; c < width; ++c) {
    const size_t word = c / Page::kBlobsPerWord;
    blobs[c] = word < any.size() && (any[word] >> (c % Page::kBlobsPerWord) & 1) != 0;
  }
  return blobs;
}

// See row_formats.h. A shorter length leaves an object's first members whole
// for yyjson's writer, since they stand one after another; the length is put
// back afterwards.
bool append_json_row(yyjson_val* row, size_t width, std::string* out, std::string* error) {
  const size_t len = yyjson_obj_size(row);
  const bool cut = width < len;
  if (cut) unsafe_yyjson_set_len(row, width);
  std::string text;
  const bool ok = write_json(row, YYJSON_WRITE_NOFLAG, &text, error);
  if (cut) unsafe_yyjson_set_len(row, len);
  if (ok) out->append(text);
  return ok;
}

}  // namespace kestrova::tools
