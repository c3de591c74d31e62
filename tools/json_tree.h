// A small reader for the JSON documents the library returns: enough to lay a
// page out as a table and to cut its rows out verbatim. It reads any JSON, but
// keeps numbers as their text, since the tool only ever prints them again.
#ifndef KESTROVA_SQLR_TOOLS_JSON_TREE_H_
#define KESTROVA_SQLR_TOOLS_JSON_TREE_H_

#include <string>
#include <string_view>
#include <vector>

namespace kestrova_cli {

struct JsonValue {
  enum class Kind { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  std::string_view raw;           // the value's exact text inside the document
  std::string str;                // kString: the decoded text
  std::vector<JsonValue> items;   // kArray: the elements; kObject: the member values
  std::vector<std::string> keys;  // kObject: the decoded member names, parallel to items

  // The first member named `key` of an object, or null (also when this value
  // is not an object). Duplicate names are kept; only the first is found.
  const JsonValue* find(std::string_view key) const;
};

// Parses `text` as exactly one JSON document into `out`. Returns false, with
// a short reason in `error`, when the text is not JSON or nests deeper than a
// fixed bound; `out` then holds nothing useful. `out` points into `text`
// (JsonValue::raw), so `text` must outlive it.
bool parse_json(std::string_view text, JsonValue* out, std::string* error);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_JSON_TREE_H_
