// yyjson documents owned by the tool: readers and writers that free what they
// make on every path, and the small conversions the tool needs around them.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_JSON_H_
#define KESTROVA_SQLR_TOOLS_COMMON_JSON_H_

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "yyjson.h"

namespace kestrova::tools {

// Frees a document that yyjson read.
struct FreeDoc {
  void operator()(yyjson_doc* doc) const noexcept { yyjson_doc_free(doc); }
};
using ParsedDoc = std::unique_ptr<yyjson_doc, FreeDoc>;

// Frees a document the tool builds.
struct FreeMutDoc {
  void operator()(yyjson_mut_doc* doc) const noexcept { yyjson_mut_doc_free(doc); }
};
using BuiltDoc = std::unique_ptr<yyjson_mut_doc, FreeMutDoc>;

// Parses `text` as exactly one JSON document with yyjson's `flags`. Returns
// null, with yyjson's reason and its byte position in `error`, when the text
// is not JSON (or memory runs out). The text is not modified or kept.
ParsedDoc read_json(std::string_view text, yyjson_read_flag flags, std::string* error);

// Writes the value `val` of a read document as JSON text with `flags` into
// `out`. False, with yyjson's reason in `error`, when it cannot be written.
bool write_json(yyjson_val* val, yyjson_write_flag flags, std::string* out, std::string* error);

// Writes the root of `doc` as JSON text with `flags` into `out`, as above.
bool write_json(const yyjson_mut_doc* doc, yyjson_write_flag flags, std::string* out,
                std::string* error);

// {"changed":N}: what exec and the write_query tool report for `changed`
// rows, written by yyjson like every other document of the tool.
std::string changed_rows_json(int32_t changed);

// `text` as valid UTF-8: every byte that does not belong to a well-formed
// sequence becomes U+FFFD. Used for messages that may be cut mid-character or
// carry a file name's bytes, since the writer refuses invalid UTF-8.
std::string valid_utf8(std::string_view text);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_JSON_H_
