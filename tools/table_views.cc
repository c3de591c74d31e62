// Reads each document with the small JSON reader and fills a TextTable.
#include "table_views.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "json_tree.h"
#include "text_table.h"

namespace kestrova_cli {
namespace {

using Kind = JsonValue::Kind;

// A JSON value as shown in a cell: strings decoded, NULL for null, numbers
// right-aligned as written, anything else as its text.
Cell cell_of(const JsonValue* v) {
  if (v == nullptr) return {"", false};
  switch (v->kind) {
    case Kind::kString:
      return {v->str, false};
    case Kind::kNull:
      return {"NULL", false};
    case Kind::kNumber:
      return {std::string(v->raw), true};
    default:
      return {std::string(v->raw), false};
  }
}

// Parses `json` and checks that its top level is of `kind`.
bool read_doc(std::string_view json, Kind kind, JsonValue* doc, std::string* error) {
  if (!parse_json(json, doc, error)) return false;
  if (doc->kind != kind) {
    *error = "unexpected document shape";
    return false;
  }
  return true;
}

// The member `key` of `obj` when it has `kind`, else null.
const JsonValue* member(const JsonValue& obj, std::string_view key, Kind kind) {
  const JsonValue* v = obj.find(key);
  return v != nullptr && v->kind == kind ? v : nullptr;
}

}  // namespace

// See table_views.h: one "name" column.
bool tables_as_table(std::string_view json, std::string* out, std::string* error) {
  JsonValue doc;
  if (!read_doc(json, Kind::kArray, &doc, error)) return false;
  TextTable table({"name"});
  for (const auto& name : doc.items) table.add_row({cell_of(&name)});
  *out = table.render();
  return true;
}

// See table_views.h: the six fields of each column, in the library's order.
bool schema_as_table(std::string_view json, std::string* out, std::string* error) {
  JsonValue doc;
  if (!read_doc(json, Kind::kObject, &doc, error)) return false;
  const JsonValue* columns = member(doc, "columns", Kind::kArray);
  if (columns == nullptr) {
    *error = "unexpected document shape";
    return false;
  }
  static const std::vector<std::string> kFields = {"cid",     "name",       "type",
                                                   "notnull", "dflt_value", "pk"};
  TextTable table(kFields);
  for (const auto& column : columns->items) {
    std::vector<Cell> row;
    for (const auto& field : kFields) row.push_back(cell_of(column.find(field)));
    table.add_row(std::move(row));
  }
  *out =
      cell_of(doc.find("type")).text + " " + cell_of(doc.find("name")).text + "\n" + table.render();
  return true;
}

// See table_views.h: the rows by column position, then the count line.
bool page_as_table(std::string_view json, std::string* out, std::string* error) {
  JsonValue doc;
  if (!read_doc(json, Kind::kObject, &doc, error)) return false;
  const JsonValue* columns = member(doc, "columns", Kind::kArray);
  const JsonValue* rows = member(doc, "rows", Kind::kArray);
  if (columns == nullptr || rows == nullptr) {
    *error = "unexpected document shape";
    return false;
  }
  std::vector<std::string> header;
  for (const auto& name : columns->items) header.push_back(cell_of(&name).text);
  TextTable table(header);
  for (const auto& row : rows->items) {
    // By position, not by name: two columns may share a name.
    std::vector<Cell> cells;
    for (const auto& value : row.items) cells.push_back(cell_of(&value));
    table.add_row(std::move(cells));
  }
  const size_t n = rows->items.size();
  std::string count = "(" + std::to_string(n) + (n == 1 ? " row" : " rows");
  const JsonValue* offset = member(doc, "offset", Kind::kNumber);
  const JsonValue* limit = member(doc, "limit", Kind::kNumber);
  // The library does not say whether rows follow a full page; they may.
  int64_t first = 0;
  if (offset != nullptr && limit != nullptr && n > 0 && std::to_string(n) == limit->raw &&
      std::from_chars(offset->raw.data(), offset->raw.data() + offset->raw.size(), first).ec ==
          std::errc()) {
    count += "; page full, the next starts at --offset " +
             std::to_string(first + static_cast<int64_t>(n));
  }
  *out = table.render() + count + ")\n";
  return true;
}

}  // namespace kestrova_cli
