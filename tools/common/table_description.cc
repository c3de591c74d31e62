// Every description is built from what the library returns: sqlr_schema for a
// name it takes, else pages of sqlr_query over the catalogue and its pragma
// functions, so no statement of this file bypasses the library's guard.
#include "common/table_description.h"

#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"
#include "yyjson.h"

namespace kestrova::tools {
namespace {

constexpr size_t kMaxPlainName = 128;

// Runs the read `sql` and leaves its page in `page`; returns its rows, or
// null with the library's message (or why the page is unreadable) in `error`.
yyjson_val* read_rows(int32_t handle, const std::string& sql, ParsedDoc* page, std::string* error) {
  const Result text(sqlr_query(handle, sql.c_str(), 0, SQLR_MAX_PAGE_ROWS));
  if (text == nullptr) {
    *error = last_error();
    return nullptr;
  }
  *page = read_json(text.get(), YYJSON_READ_NOFLAG, error);
  yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(page->get()), "rows");
  if (!yyjson_is_arr(rows)) {
    if (error->empty()) *error = "unexpected page from the library";
    return nullptr;
  }
  return rows;
}

// The text of `key` in `row` copied into `doc`; `if_null` (a string, or
// JSON null when it is null) when the value is not text.
yyjson_mut_val* text_of(yyjson_mut_doc* doc, yyjson_val* row, const char* key,
                        const char* if_null) {
  yyjson_val* v = yyjson_obj_get(row, key);
  if (yyjson_is_str(v)) return yyjson_mut_strncpy(doc, yyjson_get_str(v), yyjson_get_len(v));
  return if_null != nullptr ? yyjson_mut_str(doc, if_null) : yyjson_mut_null(doc);
}

// The integer `key` of `row` (0 when it is not one).
int64_t int_of(yyjson_val* row, const char* key) {
  yyjson_val* v = yyjson_obj_get(row, key);
  return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
}

// Builds sqlr_schema's document for a name the library does not take, into
// `doc` as its root.
bool columns_by_pragma(int32_t handle, const std::string& name, yyjson_mut_doc* doc,
                       std::string* error) {
  const std::string literal = sql_literal(name);
  ParsedDoc found;
  yyjson_val* kinds = read_rows(
      handle,
      "SELECT type FROM sqlite_master WHERE name = " + literal + " AND type IN ('table','view')",
      &found, error);
  if (kinds == nullptr) return false;
  yyjson_val* kind = yyjson_obj_get(yyjson_arr_get_first(kinds), "type");
  if (!yyjson_is_str(kind)) {
    *error = "table or view not found: " + name;
    return false;
  }
  ParsedDoc info;
  yyjson_val* rows = read_rows(handle,
                               "SELECT cid, name, type, \"notnull\" AS nn, dflt_value, pk "
                               "FROM pragma_table_info(" +
                                   literal + ", 'main') ORDER BY cid",
                               &info, error);
  if (rows == nullptr) return false;
  yyjson_mut_val* root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strncpy(doc, root, "name", name.data(), name.size());
  yyjson_mut_obj_add_val(doc, root, "type", text_of(doc, yyjson_arr_get_first(kinds), "type", ""));
  yyjson_mut_val* columns = yyjson_mut_obj_add_arr(doc, root, "columns");
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    yyjson_mut_val* column = yyjson_mut_arr_add_obj(doc, columns);
    yyjson_mut_obj_add_int(doc, column, "cid", int_of(row, "cid"));
    yyjson_mut_obj_add_val(doc, column, "name", text_of(doc, row, "name", ""));
    yyjson_mut_obj_add_val(doc, column, "type", text_of(doc, row, "type", ""));
    yyjson_mut_obj_add_int(doc, column, "notnull", int_of(row, "nn"));
    yyjson_mut_obj_add_val(doc, column, "dflt_value", text_of(doc, row, "dflt_value", nullptr));
    yyjson_mut_obj_add_int(doc, column, "pk", int_of(row, "pk"));
  }
  return true;
}

// Builds the columns document of any listed name into `doc` as its root.
bool columns_doc(int32_t handle, const std::string& name, yyjson_mut_doc* doc, std::string* error) {
  if (!plain_table_name(name)) return columns_by_pragma(handle, name, doc, error);
  const Result text(sqlr_schema(handle, name.c_str()));
  if (text == nullptr) {
    *error = last_error();
    return false;
  }
  const ParsedDoc schema = read_json(text.get(), YYJSON_READ_NOFLAG, error);
  if (schema == nullptr) return false;
  yyjson_mut_doc_set_root(doc, yyjson_val_mut_copy(doc, yyjson_doc_get_root(schema.get())));
  return true;
}

// Adds "indexes" to `root`: one object per index, its columns in key order.
bool add_indexes(int32_t handle, const std::string& literal, yyjson_mut_doc* doc,
                 yyjson_mut_val* root, std::string* error) {
  ParsedDoc page;
  yyjson_val* rows = read_rows(
      handle,
      "SELECT l.name AS name, l.\"unique\" AS uniq, l.origin AS origin, l.partial AS partial, "
      "i.name AS col FROM pragma_index_list(" +
          literal +
          ", 'main') AS l JOIN pragma_index_info(l.name, 'main') AS i "
          "ORDER BY l.seq, i.seqno",
      &page, error);
  if (rows == nullptr) return false;
  yyjson_mut_val* indexes = yyjson_mut_obj_add_arr(doc, root, "indexes");
  yyjson_mut_val* columns = nullptr;
  std::string current;
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    yyjson_val* name = yyjson_obj_get(row, "name");
    const std::string index_name(yyjson_get_str(name) != nullptr ? yyjson_get_str(name) : "",
                                 yyjson_get_len(name));
    if (columns == nullptr || index_name != current) {
      current = index_name;
      yyjson_mut_val* index = yyjson_mut_arr_add_obj(doc, indexes);
      yyjson_mut_obj_add_strncpy(doc, index, "name", index_name.data(), index_name.size());
      yyjson_mut_obj_add_int(doc, index, "unique", int_of(row, "uniq"));
      yyjson_mut_obj_add_val(doc, index, "origin", text_of(doc, row, "origin", ""));
      yyjson_mut_obj_add_int(doc, index, "partial", int_of(row, "partial"));
      columns = yyjson_mut_obj_add_arr(doc, index, "columns");
    }
    yyjson_mut_arr_append(columns, text_of(doc, row, "col", nullptr));
  }
  return true;
}

// Adds "foreign_keys" to `root`: one object per key, its column pairs in order.
bool add_foreign_keys(int32_t handle, const std::string& literal, yyjson_mut_doc* doc,
                      yyjson_mut_val* root, std::string* error) {
  ParsedDoc page;
  yyjson_val* rows = read_rows(handle,
                               "SELECT id, \"table\" AS parent, \"from\" AS child_col, \"to\" AS "
                               "parent_col, on_update, on_delete, \"match\" AS how "
                               "FROM pragma_foreign_key_list(" +
                                   literal + ", 'main') ORDER BY id, seq",
                               &page, error);
  if (rows == nullptr) return false;
  yyjson_mut_val* keys = yyjson_mut_obj_add_arr(doc, root, "foreign_keys");
  yyjson_mut_val* from = nullptr;
  yyjson_mut_val* to = nullptr;
  int64_t current = -1;
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    const int64_t id = int_of(row, "id");
    if (from == nullptr || id != current) {
      current = id;
      yyjson_mut_val* key = yyjson_mut_arr_add_obj(doc, keys);
      yyjson_mut_obj_add_int(doc, key, "id", id);
      yyjson_mut_obj_add_val(doc, key, "table", text_of(doc, row, "parent", ""));
      from = yyjson_mut_obj_add_arr(doc, key, "from");
      to = yyjson_mut_obj_add_arr(doc, key, "to");
      yyjson_mut_obj_add_val(doc, key, "on_update", text_of(doc, row, "on_update", ""));
      yyjson_mut_obj_add_val(doc, key, "on_delete", text_of(doc, row, "on_delete", ""));
      yyjson_mut_obj_add_val(doc, key, "match", text_of(doc, row, "how", ""));
    }
    yyjson_mut_arr_append(from, text_of(doc, row, "child_col", nullptr));
    yyjson_mut_arr_append(to, text_of(doc, row, "parent_col", nullptr));
  }
  return true;
}

// Writes `doc` compact, as the library writes its documents.
bool write_doc(yyjson_mut_doc* doc, std::string* json, std::string* error) {
  return write_json(doc, YYJSON_WRITE_NOFLAG, json, error);
}

}  // namespace

// See table_description.h.
bool plain_table_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxPlainName) return false;
  if (name[0] >= '0' && name[0] <= '9') return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '$';
    if (!ok) return false;
  }
  return true;
}

// See table_description.h.
std::string sql_literal(std::string_view name) {
  std::string out = "'";
  for (char c : name) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  out.push_back('\'');
  return out;
}

// See table_description.h. A plain name's description is the library's text
// as it came.
bool describe_columns(int32_t handle, const std::string& name, std::string* json,
                      std::string* error) {
  // No table has an empty name: the library's own refusal says so.
  if (plain_table_name(name) || name.empty()) {
    const Result text(sqlr_schema(handle, name.c_str()));
    if (text == nullptr) {
      *error = last_error();
      return false;
    }
    json->assign(text.get());
    return true;
  }
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  if (doc == nullptr) {
    *error = "out of memory";
    return false;
  }
  return columns_by_pragma(handle, name, doc.get(), error) && write_doc(doc.get(), json, error);
}

// See table_description.h.
bool describe_table(int32_t handle, const std::string& name, std::string* json,
                    std::string* error) {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  if (doc == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (!columns_doc(handle, name, doc.get(), error)) return false;
  yyjson_mut_val* root = yyjson_mut_doc_get_root(doc.get());
  const std::string literal = sql_literal(name);
  return add_indexes(handle, literal, doc.get(), root, error) &&
         add_foreign_keys(handle, literal, doc.get(), root, error) &&
         write_doc(doc.get(), json, error);
}

// See table_description.h. When the cookie cannot be read, nothing is kept.
bool DescriptionCache::describe(int32_t handle, const std::string& name, std::string* json,
                                std::string* error) {
  ParsedDoc page;
  std::string unused;
  yyjson_val* rows =
      read_rows(handle, "SELECT schema_version AS v FROM pragma_schema_version", &page, &unused);
  yyjson_val* cookie = yyjson_obj_get(yyjson_arr_get_first(rows), "v");
  if (!yyjson_is_int(cookie)) {
    cookie_ = -1;
    kept_.clear();
    return describe_table(handle, name, json, error);
  }
  if (yyjson_get_sint(cookie) != cookie_ || kept_.size() >= kMaxKept) {
    cookie_ = yyjson_get_sint(cookie);
    kept_.clear();
  }
  const auto found = kept_.find(name);
  if (found != kept_.end()) {
    *json = found->second;
    return true;
  }
  if (!describe_table(handle, name, json, error)) return false;
  kept_.emplace(name, *json);
  return true;
}

}  // namespace kestrova::tools
