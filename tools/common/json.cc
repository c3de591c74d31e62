// Thin owners over yyjson's reader and writer; the JSON grammar is yyjson's.
#include "common/json.h"

namespace kestrova::tools {

// See json_doc.h.
ParsedDoc read_json(std::string_view text, yyjson_read_flag flags, std::string* error) {
  yyjson_read_err err{};
  // Without YYJSON_READ_INSITU the reader only reads the buffer.
  ParsedDoc doc(yyjson_read_opts(const_cast<char*>(text.data()), text.size(),
                                 flags & ~YYJSON_READ_INSITU, nullptr, &err));
  if (doc == nullptr) {
    *error = std::string(err.msg != nullptr ? err.msg : "unreadable JSON") + " at byte " +
             std::to_string(err.pos);
  }
  return doc;
}

namespace {

// Moves yyjson's malloc'd text into `out`, or its failure into `error`.
bool take_text(char* text, size_t len, const yyjson_write_err& err, std::string* out,
               std::string* error) {
  if (text == nullptr) {
    *error = err.msg != nullptr ? err.msg : "cannot write JSON";
    return false;
  }
  out->assign(text, len);
  std::free(text);
  return true;
}

}  // namespace

// See json_doc.h.
bool write_json(yyjson_val* val, yyjson_write_flag flags, std::string* out, std::string* error) {
  yyjson_write_err err{};
  size_t len = 0;
  char* text = yyjson_val_write_opts(val, flags, nullptr, &len, &err);
  return take_text(text, len, err, out, error);
}

// See json_doc.h.
bool write_json(const yyjson_mut_doc* doc, yyjson_write_flag flags, std::string* out,
                std::string* error) {
  yyjson_write_err err{};
  size_t len = 0;
  char* text = yyjson_mut_write_opts(doc, flags, nullptr, &len, &err);
  return take_text(text, len, err, out, error);
}

// See json_doc.h. A document this small only fails when memory runs out,
// which the tool does not survive anyway.
std::string changed_rows_json(int32_t changed) {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_int(doc.get(), root, "changed", changed);
  std::string text, unused;
  write_json(doc.get(), YYJSON_WRITE_NOFLAG, &text, &unused);
  return text;
}

// See json_doc.h. Follows RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b < 0x80) {
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    bool ok = len > 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    }
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD for the one bad byte
      ++i;
    }
  }
  return out;
}

}  // namespace kestrova::tools
