// The writers behind row_formats.h.
#include "common/row_formats.h"

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
