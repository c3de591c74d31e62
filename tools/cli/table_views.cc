// Reads each document with yyjson, numbers kept as their text, and fills a
// TextTable.
#include "cli/table_views.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "cli/text_table.h"
#include "common/json.h"

namespace kestrova::tools::cli {
namespace {

// Numbers stay as the library wrote them: a table shows them, never computes.
constexpr yyjson_read_flag kReadFlags = YYJSON_READ_NUMBER_AS_RAW;

// A JSON value as shown in a cell: strings decoded, NULL for null, numbers
// right-aligned as written, anything else as its compact text.
Cell cell_of(yyjson_val* v) {
  if (v == nullptr) return {"", false};
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_STR:
      return {std::string(yyjson_get_str(v), yyjson_get_len(v)), false};
    case YYJSON_TYPE_NULL:
      return {"NULL", false};
    case YYJSON_TYPE_RAW:
      return {std::string(yyjson_get_raw(v), yyjson_get_len(v)), true};
    default: {
      std::string text, unused;
      write_json(v, YYJSON_WRITE_NOFLAG, &text, &unused);
      return {text, false};
    }
  }
}

// Parses `json` into `doc` and returns its root when that is of `type`, else
// null with the reason in `error`.
yyjson_val* read_doc(std::string_view json, yyjson_type type, ParsedDoc* doc, std::string* error) {
  *doc = read_json(json, kReadFlags, error);
  if (*doc == nullptr) return nullptr;
  yyjson_val* root = yyjson_doc_get_root(doc->get());
  if (yyjson_get_type(root) != type) {
    *error = "unexpected document shape";
    return nullptr;
  }
  return root;
}

// The member `key` of `obj` when it has `type`, else null. The first of
// duplicate names wins.
yyjson_val* member(yyjson_val* obj, const char* key, yyjson_type type) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_get_type(v) == type ? v : nullptr;
}

}  // namespace

// See table_views.h: one "name" column.
bool tables_as_table(std::string_view json, std::string* out, std::string* error) {
  ParsedDoc doc;
  yyjson_val* names = read_doc(json, YYJSON_TYPE_ARR, &doc, error);
  if (names == nullptr) return false;
  TextTable table({"name"});
  size_t i, n;
  yyjson_val* name;
  yyjson_arr_foreach(names, i, n, name) { table.add_row({cell_of(name)}); }
  *out = table.render();
  return true;
}

// See table_views.h: the six fields of each column, in the library's order.
bool schema_as_table(std::string_view json, std::string* out, std::string* error) {
  ParsedDoc doc;
  yyjson_val* root = read_doc(json, YYJSON_TYPE_OBJ, &doc, error);
  if (root == nullptr) return false;
  yyjson_val* columns = member(root, "columns", YYJSON_TYPE_ARR);
  if (columns == nullptr) {
    *error = "unexpected document shape";
    return false;
  }
  static const char* const kFields[] = {"cid", "name", "type", "notnull", "dflt_value", "pk"};
  TextTable table(std::vector<std::string>(std::begin(kFields), std::end(kFields)));
  size_t i, n;
  yyjson_val* column;
  yyjson_arr_foreach(columns, i, n, column) {
    std::vector<Cell> row;
    for (const char* field : kFields) row.push_back(cell_of(yyjson_obj_get(column, field)));
    table.add_row(std::move(row));
  }
  *out = cell_of(yyjson_obj_get(root, "type")).text + " " +
         cell_of(yyjson_obj_get(root, "name")).text + "\n" + table.render();
  return true;
}

// See table_views.h: the rows by column position, then the count line.
bool page_as_table(std::string_view json, bool more, std::string* out, std::string* error) {
  ParsedDoc doc;
  yyjson_val* root = read_doc(json, YYJSON_TYPE_OBJ, &doc, error);
  if (root == nullptr) return false;
  yyjson_val* columns = member(root, "columns", YYJSON_TYPE_ARR);
  yyjson_val* rows = member(root, "rows", YYJSON_TYPE_ARR);
  if (columns == nullptr || rows == nullptr) {
    *error = "unexpected document shape";
    return false;
  }
  std::vector<std::string> header;
  size_t i, n;
  yyjson_val* name;
  yyjson_arr_foreach(columns, i, n, name) { header.push_back(cell_of(name).text); }
  TextTable table(header);
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    // By position, not by name: two columns may share a name.
    std::vector<Cell> cells;
    yyjson_obj_iter it = yyjson_obj_iter_with(row);
    while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
      cells.push_back(cell_of(yyjson_obj_iter_get_val(key)));
    }
    table.add_row(std::move(cells));
  }
  const size_t count = yyjson_arr_size(rows);
  std::string line = "(" + std::to_string(count) + (count == 1 ? " row" : " rows");
  yyjson_val* offset = member(root, "offset", YYJSON_TYPE_RAW);
  int64_t first = 0;
  if (more && offset != nullptr &&
      std::from_chars(yyjson_get_raw(offset), yyjson_get_raw(offset) + yyjson_get_len(offset),
                      first)
              .ec == std::errc()) {
    line += "; more rows follow, the next page starts at --offset " +
            std::to_string(first + static_cast<int64_t>(count));
  }
  *out = table.render() + line + ")\n";
  return true;
}

}  // namespace kestrova::tools::cli
