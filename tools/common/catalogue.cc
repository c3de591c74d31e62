// Every answer is built from pages of sqlr_query over sqlite_schema and the
// pragma functions, so no statement of this file bypasses the library's guard.
// A virtual table's kind and module, and whether a table is WITHOUT ROWID, are
// read from its CREATE text: pragma_table_list would have to connect each
// virtual table, which runs the module's own statements.
#include "common/catalogue.h"

#include <cstring>

#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"
#include "yyjson.h"

namespace kestrova::tools {
namespace {

// The shadow tables each module keeps beside a virtual table called NAME, as
// NAME_suffix.
struct ShadowSuffixes {
  const char* module;
  const char* suffixes[6];
};
constexpr ShadowSuffixes kShadows[] = {
    {"fts5", {"data", "idx", "content", "docsize", "config", nullptr}},
    {"fts4", {"content", "segments", "segdir", "docsize", "stat", nullptr}},
    {"fts3", {"content", "segments", "segdir", "docsize", "stat", nullptr}},
    {"rtree", {"node", "parent", "rowid", nullptr}},
    {"rtree_i32", {"node", "parent", "rowid", nullptr}},
    {"geopoly", {"node", "parent", "rowid", nullptr}},
};

// ASCII letters folded, as SQLite folds keywords and module names.
bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// One token of a CREATE text: a bare word (identifier or keyword), or
// anything else (punctuation, a quoted name or string), with the depth of
// parentheses it stands at.
struct Token {
  std::string_view text;
  bool bare = false;
  int depth = 0;
};

// The tokens of `sql` that matter for telling kinds apart: words, quoted
// names and parentheses, comments and whitespace left out.
std::vector<Token> tokens_of(std::string_view sql) {
  std::vector<Token> out;
  int depth = 0;
  size_t i = 0;
  const auto word_char = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      i = end == sql.npos ? sql.size() : end + 2;
    } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      size_t j = i + 1;
      for (; j < sql.size(); ++j) {
        if (sql[j] != close) continue;
        if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
          ++j;
          continue;
        }
        break;
      }
      const size_t end = j < sql.size() ? j + 1 : sql.size();
      out.push_back({sql.substr(i, end - i), false, depth});
      i = end;
    } else if (word_char(c)) {
      size_t j = i;
      while (j < sql.size() && word_char(sql[j])) ++j;
      out.push_back({sql.substr(i, j - i), true, depth});
      i = j;
    } else {
      if (c == ')') --depth;
      if (c == '(' || c == ')' || c == ',') out.push_back({sql.substr(i, 1), false, depth});
      if (c == '(') ++depth;
      ++i;
    }
  }
  return out;
}

// The module of a CREATE VIRTUAL TABLE text (the bare word after USING), in
// lower case; "" when `sql` creates no virtual table.
std::string virtual_module(std::string_view sql) {
  const std::vector<Token> tokens = tokens_of(sql);
  if (tokens.size() < 3 || !same_word(tokens[1].text, "virtual")) return "";
  for (size_t i = 2; i + 1 < tokens.size(); ++i) {
    if (tokens[i].bare && tokens[i].depth == 0 && same_word(tokens[i].text, "using") &&
        tokens[i + 1].bare) {
      std::string module(tokens[i + 1].text);
      for (char& ch : module) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      }
      return module;
    }
  }
  return "";
}

// Whether the CREATE TABLE text `sql` ends in the WITHOUT ROWID option.
bool without_rowid(std::string_view sql) {
  const std::vector<Token> tokens = tokens_of(sql);
  for (size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i].bare && tokens[i].depth == 0 && same_word(tokens[i].text, "without") &&
        tokens[i + 1].bare && same_word(tokens[i + 1].text, "rowid")) {
      return true;
    }
  }
  return false;
}

// Whether `name` starts with SQLite's reserved prefix, in any case.
bool internal_name(std::string_view name) {
  return name.size() >= 7 && same_word(name.substr(0, 7), "sqlite_");
}

// Fills in kind, module and hidden for every entry: shadow tables are found
// beside the virtual tables whose module keeps them.
void classify(std::vector<CatalogueEntry>* entries, const std::vector<std::string>& sqls) {
  std::map<std::string, std::string, std::less<>> virtuals;  // name -> module
  for (size_t i = 0; i < entries->size(); ++i) {
    CatalogueEntry& e = (*entries)[i];
    e.module = e.type == "table" ? virtual_module(sqls[i]) : "";
    if (e.type == "view") {
      e.kind = "view";
    } else if (!e.module.empty()) {
      e.kind = "virtual";
      virtuals.emplace(e.name, e.module);
    } else if (internal_name(e.name)) {
      e.kind = "internal";
    } else {
      e.kind = "table";
      e.without_rowid = without_rowid(sqls[i]);
    }
  }
  for (CatalogueEntry& e : *entries) {
    if (e.kind == "table") {
      for (size_t cut = e.name.rfind('_'); cut != std::string::npos && cut > 0;
           cut = e.name.rfind('_', cut - 1)) {
        const auto owner = virtuals.find(std::string_view(e.name).substr(0, cut));
        if (owner == virtuals.end()) continue;
        const std::string_view suffix = std::string_view(e.name).substr(cut + 1);
        for (const auto& shadows : kShadows) {
          if (owner->second != shadows.module) continue;
          for (const char* const* s = shadows.suffixes; *s != nullptr; ++s) {
            if (suffix == *s) e.kind = "shadow";
          }
        }
        if (e.kind == "shadow") break;
      }
    }
    e.hidden = e.kind == "shadow" || e.kind == "internal";
  }
}

// Runs the read `sql` and leaves its page in `page`; returns its rows, or
// null with the library's message in `error`.
yyjson_val* read_rows(int32_t handle, const std::string& sql, ParsedDoc* page,
                      CatalogueError* error) {
  const Result text(sqlr_query(handle, sql.c_str(), 0, SQLR_MAX_PAGE_ROWS));
  if (text == nullptr) {
    *error = {false, last_error()};
    return nullptr;
  }
  std::string why;
  *page = read_json(text.get(), YYJSON_READ_NOFLAG, &why);
  yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(page->get()), "rows");
  if (!yyjson_is_arr(rows)) {
    *error = {false, why.empty() ? "unexpected page from the library" : why};
    return nullptr;
  }
  return rows;
}

// The text of `key` in `row`, or "" when it is not text.
std::string str_of(yyjson_val* row, const char* key) {
  yyjson_val* v = yyjson_obj_get(row, key);
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

// The text of `key` in `row` copied into `doc`; `if_null` (a string, or JSON
// null when it is null) when the value is not text.
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

// Adds "indexes" to `root`: one object per index, its columns in key order.
bool add_indexes(int32_t handle, const std::string& literal, yyjson_mut_doc* doc,
                 yyjson_mut_val* root, CatalogueError* error) {
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
    const std::string index_name = str_of(row, "name");
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

// Adds the member `member` to `root`: one object per foreign key in `rows`
// (ordered by table, id, seq), its column pairs in order. With `by_table` each
// key also names the table that holds it ("table" is then that table, the
// child; otherwise the parent).
void add_keys(yyjson_val* rows, const char* member, bool by_table, yyjson_mut_doc* doc,
              yyjson_mut_val* root) {
  yyjson_mut_val* keys = yyjson_mut_obj_add_arr(doc, root, member);
  yyjson_mut_val* from = nullptr;
  yyjson_mut_val* to = nullptr;
  int64_t current = -1;
  std::string current_table;
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    const int64_t id = int_of(row, "id");
    const std::string table = str_of(row, "tab");
    if (from == nullptr || id != current || table != current_table) {
      current = id;
      current_table = table;
      yyjson_mut_val* key = yyjson_mut_arr_add_obj(doc, keys);
      if (by_table) {
        yyjson_mut_obj_add_strncpy(doc, key, "table", table.data(), table.size());
        yyjson_mut_obj_add_int(doc, key, "id", id);
      } else {
        yyjson_mut_obj_add_int(doc, key, "id", id);
        yyjson_mut_obj_add_strncpy(doc, key, "table", table.data(), table.size());
      }
      from = yyjson_mut_obj_add_arr(doc, key, "from");
      to = yyjson_mut_obj_add_arr(doc, key, "to");
      yyjson_mut_obj_add_val(doc, key, "on_update", text_of(doc, row, "on_update", ""));
      yyjson_mut_obj_add_val(doc, key, "on_delete", text_of(doc, row, "on_delete", ""));
      yyjson_mut_obj_add_val(doc, key, "match", text_of(doc, row, "how", ""));
    }
    yyjson_mut_arr_append(from, text_of(doc, row, "child_col", nullptr));
    yyjson_mut_arr_append(to, text_of(doc, row, "parent_col", nullptr));
  }
}

// The columns of a foreign key list, the same for both directions.
constexpr char kKeyColumns[] =
    "f.id AS id, f.\"from\" AS child_col, f.\"to\" AS parent_col, f.on_update AS on_update, "
    "f.on_delete AS on_delete, f.\"match\" AS how";

// Adds "foreign_keys" (what `literal` references) and "referenced_by" (the
// keys of every ordinary table that reference it; SQLite matches a parent's
// name without regard to ASCII case).
bool add_foreign_keys(int32_t handle, const std::string& literal, yyjson_mut_doc* doc,
                      yyjson_mut_val* root, CatalogueError* error) {
  ParsedDoc out_page;
  yyjson_val* out = read_rows(handle,
                              std::string("SELECT f.\"table\" AS tab, ") + kKeyColumns +
                                  " FROM pragma_foreign_key_list(" + literal +
                                  ", 'main') AS f ORDER BY f.id, f.seq",
                              &out_page, error);
  if (out == nullptr) return false;
  ParsedDoc in_page;
  yyjson_val* in = read_rows(
      handle,
      std::string("SELECT s.name AS tab, ") + kKeyColumns +
          " FROM sqlite_schema AS s JOIN pragma_foreign_key_list(s.name, 'main') AS f "
          "WHERE s.type = 'table' AND s.sql NOT LIKE 'CREATE VIRTUAL%' AND f.\"table\" = " +
          literal + " COLLATE NOCASE ORDER BY s.name, f.id, f.seq",
      &in_page, error);
  if (in == nullptr) return false;
  add_keys(out, "foreign_keys", false, doc, root);
  add_keys(in, "referenced_by", true, doc, root);
  return true;
}

// Adds "triggers": each trigger on the table or view, by name, with its text.
bool add_triggers(int32_t handle, const std::string& literal, yyjson_mut_doc* doc,
                  yyjson_mut_val* root, CatalogueError* error) {
  ParsedDoc page;
  yyjson_val* rows = read_rows(handle,
                               "SELECT name, sql FROM sqlite_schema WHERE type = 'trigger' AND "
                               "tbl_name = " +
                                   literal + " COLLATE NOCASE ORDER BY name",
                               &page, error);
  if (rows == nullptr) return false;
  yyjson_mut_val* triggers = yyjson_mut_obj_add_arr(doc, root, "triggers");
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    yyjson_mut_val* trigger = yyjson_mut_arr_add_obj(doc, triggers);
    yyjson_mut_obj_add_val(doc, trigger, "name", text_of(doc, row, "name", ""));
    yyjson_mut_obj_add_val(doc, trigger, "sql", text_of(doc, row, "sql", nullptr));
  }
  return true;
}

}  // namespace

// See catalogue.h.
std::string sql_literal(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  out.push_back('\'');
  return out;
}

// See catalogue.h.
std::string sql_identifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

// See catalogue.h. When the cookie cannot be read nothing stays kept.
void Catalogue::refresh() {
  ParsedDoc page;
  CatalogueError unused;
  yyjson_val* rows =
      read_rows(handle_, "SELECT schema_version AS v FROM pragma_schema_version", &page, &unused);
  yyjson_val* cookie = yyjson_obj_get(yyjson_arr_get_first(rows), "v");
  const int64_t now = yyjson_is_int(cookie) ? yyjson_get_sint(cookie) : -1;
  if (now == -1 || now != cookie_ || descriptions_.size() >= kMaxKeptDescriptions) {
    if (now == -1 || now != cookie_) {
      listed_ = false;
      entries_.clear();
    }
    descriptions_.clear();
    cookie_ = now;
  }
}

// See catalogue.h.
bool Catalogue::list(std::vector<CatalogueEntry>* entries, CatalogueError* error) {
  if (!load(error)) return false;
  *entries = entries_;
  return true;
}

// See catalogue.h.
bool Catalogue::load(CatalogueError* error) {
  refresh();
  if (!listed_) {
    ParsedDoc page;
    yyjson_val* rows = read_rows(handle_,
                                 "SELECT type, name, sql FROM sqlite_schema WHERE type IN "
                                 "('table','view') ORDER BY name",
                                 &page, error);
    if (rows == nullptr) return false;
    std::vector<CatalogueEntry> found;
    std::vector<std::string> sqls;
    size_t i, n;
    yyjson_val* row;
    yyjson_arr_foreach(rows, i, n, row) {
      CatalogueEntry e;
      e.name = str_of(row, "name");
      e.type = str_of(row, "type");
      found.push_back(std::move(e));
      sqls.push_back(str_of(row, "sql"));
    }
    classify(&found, sqls);
    entries_ = std::move(found);
    listed_ = cookie_ != -1;
  }
  return true;
}

// See catalogue.h.
bool Catalogue::find(const std::string& name, CatalogueEntry* entry, CatalogueError* error) {
  if (name.empty()) {
    *error = {true, SQLR_MSG_INVALID_TABLE_NAME};
    return false;
  }
  if (!load(error)) return false;
  for (const CatalogueEntry& e : entries_) {
    if (e.name == name) {
      *entry = e;
      return true;
    }
  }
  *error = {true, std::string(SQLR_MSG_TABLE_NOT_FOUND) + ": " + name};
  return false;
}

// See catalogue.h.
bool Catalogue::columns(const std::string& name, std::vector<CatalogueColumn>* out,
                        CatalogueError* error) {
  CatalogueEntry entry;
  if (!find(name, &entry, error)) return false;
  ParsedDoc page;
  yyjson_val* rows = read_rows(handle_,
                               "SELECT cid, name, type, \"notnull\" AS nn, dflt_value, pk, hidden "
                               "FROM pragma_table_xinfo(" +
                                   sql_literal(name) + ", 'main') ORDER BY cid",
                               &page, error);
  if (rows == nullptr) return false;
  out->clear();
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    // 1: a virtual table's hidden column, which SELECT * leaves out too.
    const int64_t hidden = int_of(row, "hidden");
    if (hidden == 1) continue;
    CatalogueColumn c;
    c.cid = int_of(row, "cid");
    c.name = str_of(row, "name");
    c.type = str_of(row, "type");
    c.notnull = int_of(row, "nn");
    yyjson_val* dflt = yyjson_obj_get(row, "dflt_value");
    c.has_default = yyjson_is_str(dflt);
    c.dflt_value = str_of(row, "dflt_value");
    c.pk = int_of(row, "pk");
    c.generated = hidden == 2 ? "virtual" : hidden == 3 ? "stored" : "";
    out->push_back(std::move(c));
  }
  return true;
}

// See catalogue.h.
bool Catalogue::describe_json(const std::string& name, std::string* json, CatalogueError* error) {
  CatalogueEntry entry;
  if (!find(name, &entry, error)) return false;  // refreshes what is kept
  const auto kept = descriptions_.find(name);
  if (kept != descriptions_.end()) {
    *json = kept->second;
    return true;
  }
  std::vector<CatalogueColumn> cols;
  if (!columns(name, &cols, error)) return false;
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  if (doc == nullptr) {
    *error = {false, "out of memory"};
    return false;
  }
  yyjson_mut_doc* d = doc.get();
  yyjson_mut_val* root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_obj_add_strncpy(d, root, "name", name.data(), name.size());
  yyjson_mut_obj_add_strncpy(d, root, "type", entry.type.data(), entry.type.size());
  yyjson_mut_obj_add_strncpy(d, root, "kind", entry.kind.data(), entry.kind.size());
  if (entry.module.empty()) {
    yyjson_mut_obj_add_null(d, root, "module");
  } else {
    yyjson_mut_obj_add_strncpy(d, root, "module", entry.module.data(), entry.module.size());
  }
  yyjson_mut_obj_add_bool(d, root, "hidden", entry.hidden);
  yyjson_mut_val* columns_arr = yyjson_mut_obj_add_arr(d, root, "columns");
  for (const CatalogueColumn& c : cols) {
    yyjson_mut_val* column = yyjson_mut_arr_add_obj(d, columns_arr);
    yyjson_mut_obj_add_int(d, column, "cid", c.cid);
    yyjson_mut_obj_add_strncpy(d, column, "name", c.name.data(), c.name.size());
    yyjson_mut_obj_add_strncpy(d, column, "type", c.type.data(), c.type.size());
    yyjson_mut_obj_add_int(d, column, "notnull", c.notnull);
    if (c.has_default) {
      yyjson_mut_obj_add_strncpy(d, column, "dflt_value", c.dflt_value.data(), c.dflt_value.size());
    } else {
      yyjson_mut_obj_add_null(d, column, "dflt_value");
    }
    yyjson_mut_obj_add_int(d, column, "pk", c.pk);
    if (!c.generated.empty()) {
      yyjson_mut_obj_add_strncpy(d, column, "generated", c.generated.data(), c.generated.size());
    }
  }
  const std::string literal = sql_literal(name);
  if (!add_indexes(handle_, literal, d, root, error) ||
      !add_foreign_keys(handle_, literal, d, root, error) ||
      !add_triggers(handle_, literal, d, root, error)) {
    return false;
  }
  ParsedDoc page;
  yyjson_val* rows = read_rows(handle_,
                               "SELECT sql FROM sqlite_schema WHERE type IN ('table','view') "
                               "AND name = " +
                                   literal,
                               &page, error);
  if (rows == nullptr) return false;
  yyjson_mut_obj_add_val(d, root, "sql", text_of(d, yyjson_arr_get_first(rows), "sql", nullptr));
  std::string why;
  if (!write_json(d, YYJSON_WRITE_NOFLAG, json, &why)) {
    *error = {false, why};
    return false;
  }
  if (cookie_ != -1) descriptions_.emplace(name, *json);
  return true;
}

// See catalogue.h.
bool Catalogue::count(const std::string& name, bool exact, RowCount* out, CatalogueError* error) {
  CatalogueEntry entry;
  if (!find(name, &entry, error)) return false;
  const std::string table = sql_identifier(name);
  const std::string sql = exact ? "SELECT count(*) AS n FROM " + table
                                : "SELECT count(*) AS n FROM (SELECT 1 FROM " + table + " LIMIT " +
                                      std::to_string(kCountBound + 1) + ")";
  ParsedDoc page;
  yyjson_val* rows = read_rows(handle_, sql, &page, error);
  if (rows == nullptr) return false;
  const int64_t n = int_of(yyjson_arr_get_first(rows), "n");
  out->at_least = !exact && n > kCountBound;
  out->rows = out->at_least ? kCountBound : n;
  return true;
}

}  // namespace kestrova::tools
