// The API's calls: parameters read and checked here, everything else done by
// the library.
#include "serve/api.h"

#include <initializer_list>
#include <limits>
#include <vector>

#include "common/catalogue.h"
#include "common/json.h"
#include "common/library.h"
#include "common/pager.h"
#include "common/row_formats.h"
#include "kestrova_sqlite_reader.h"
#include "serve/filters.h"
#include "serve/guard.h"

namespace kestrova::tools::serve {

// The parameters a call may carry; each call names the ones it takes.
struct Params {
  ParsedDoc doc;                  // owns `filters`
  yyjson_val* filters = nullptr;  // a JSON array of {column, op, value}, or none
  std::string search;             // full-text search text, "" = none
  bool syntax = false;            // the search text is FTS query syntax
  std::string table;
  std::string sql;
  std::string after;   // a page's next_key
  std::string sort;    // a column of the table
  std::string format;  // an export's format
  int32_t offset = 0;
  int32_t limit = SQLR_MAX_PAGE_ROWS;
  bool desc = false;
  bool exact = false;
  bool has_table = false;
  bool has_sql = false;
  bool has_sort = false;
};

namespace {

// {"error":"message"} with `status`.
ApiReply failure(int status, std::string_view message) {
  return ApiReply{status, error_json(message)};
}

// The library's last failure, with the status that fits it: a write on a
// read-only database is forbidden; anything else is a bad request.
ApiReply library_failure() {
  const std::string message = valid_utf8(last_error());
  return failure(message == SQLR_MSG_NOT_WRITABLE ? 403 : 400, message);
}

// A whole number from `min` to `max`, or the message that names the range.
bool read_count(std::string_view name, yyjson_val* val, int64_t min, int64_t max, int32_t* out,
                std::string* error) {
  int64_t value = 0;
  bool ok = false;
  if (yyjson_is_sint(val)) {
    value = yyjson_get_sint(val);
    ok = true;
  } else if (yyjson_is_uint(val)) {
    const uint64_t u = yyjson_get_uint(val);
    ok = u <= static_cast<uint64_t>(max);
    value = ok ? static_cast<int64_t>(u) : max;
  }
  if (!ok || value < min || value > max) {
    *error = std::string(name) + ": expected a whole number from " + std::to_string(min) + " to " +
             std::to_string(max);
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

// Reads the JSON object `body` into `params`, taking only the members in
// `allowed`. An empty body counts as {}.
bool read_params(std::string_view body, std::initializer_list<std::string_view> allowed,
                 Params* params, std::string* error) {
  if (body.empty()) return true;
  std::string why;
  params->doc = read_json(body, YYJSON_READ_NOFLAG, &why);
  const ParsedDoc& doc = params->doc;
  if (doc == nullptr) {
    *error = "the request body is not JSON: " + why;
    return false;
  }
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) {
    *error = "the request body must be a JSON object";
    return false;
  }
  yyjson_obj_iter iter = yyjson_obj_iter_with(root);
  for (yyjson_val* key = yyjson_obj_iter_next(&iter); key != nullptr;
       key = yyjson_obj_iter_next(&iter)) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    yyjson_val* val = yyjson_obj_iter_get_val(key);
    bool known = false;
    for (const auto a : allowed) known = known || a == name;
    if (!known) {
      *error = "unknown parameter '" + valid_utf8(name) + "'";
      return false;
    }
    if (name == "filters") {
      if (!yyjson_is_arr(val)) {
        *error = "filters: expected an array";
        return false;
      }
      params->filters = val;
    } else if (name == "table" || name == "sql" || name == "after" || name == "sort" ||
               name == "search" || name == "format") {
      if (!yyjson_is_str(val)) {
        *error = std::string(name) + ": expected a string";
        return false;
      }
      const std::string text(yyjson_get_str(val), yyjson_get_len(val));
      // The library reads text up to its first NUL: a NUL inside would run
      // less than what was sent.
      if (text.find('\0') != text.npos) {
        *error = std::string(name) + ": must not hold a NUL character";
        return false;
      }
      if (name == "table") {
        params->table = text;
        params->has_table = true;
      } else if (name == "sql") {
        params->sql = text;
        params->has_sql = true;
      } else if (name == "after") {
        params->after = text;
      } else if (name == "search") {
        params->search = text;
      } else if (name == "format") {
        params->format = text;
      } else {
        params->sort = text;
        params->has_sort = true;
      }
    } else if (name == "desc" || name == "exact" || name == "syntax") {
      if (!yyjson_is_bool(val)) {
        *error = std::string(name) + ": expected true or false";
        return false;
      }
      (name == "desc"    ? params->desc
       : name == "exact" ? params->exact
                         : params->syntax) = yyjson_get_bool(val);
    } else if (name == "offset") {
      if (!read_count(name, val, 0, std::numeric_limits<int32_t>::max(), &params->offset, error)) {
        return false;
      }
    } else if (name == "limit") {
      if (!read_count(name, val, 0, SQLR_MAX_PAGE_ROWS, &params->limit, error)) return false;
    }
  }
  return true;
}

// A catalogue failure: a name that is not there is a bad request too.
ApiReply catalogue_failure(const CatalogueError& error) {
  return failure(400, valid_utf8(error.message));
}

// The result string `text` as the reply, or the library's failure.
ApiReply pass_through(Result text) {
  if (text == nullptr) return library_failure();
  return ApiReply{200, text.get()};
}

}  // namespace

// See serve_api.h.
ApiReply ServeApi::call(std::string_view name, std::string_view body) {
  if (name == "info") return info(body);
  if (name == "tables") return tables(body);
  if (name == "schema") return schema(body);
  if (name == "count") return count(body);
  if (name == "list") return list(body);
  if (name == "page") return page(body);
  if (name == "query") return query(body);
  if (name == "exec") return exec(body);
  if (name == "export") return failure(400, "export answers as a stream: ask /api/export");
  return failure(404, "no such call: " + valid_utf8(name));
}

// {"db":NAME,"writable":BOOL,"max_limit":100000}: what the page shows and offers.
ApiReply ServeApi::info(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {}, &params, &why)) return failure(400, why);
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  const std::string name = valid_utf8(db_name_);
  yyjson_mut_obj_add_strncpy(doc.get(), root, "db", name.data(), name.size());
  yyjson_mut_obj_add_bool(doc.get(), root, "writable", writable_);
  yyjson_mut_obj_add_int(doc.get(), root, "max_limit", SQLR_MAX_PAGE_ROWS);
  ApiReply reply;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &reply.body, &why)) return failure(500, why);
  return reply;
}

// The catalogue's names, shadow and internal tables left out.
ApiReply ServeApi::tables(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {}, &params, &why)) return failure(400, why);
  std::vector<CatalogueEntry> entries;
  CatalogueError error;
  {
    const std::lock_guard<std::mutex> hold(library_);
    if (!catalogue_.list(&entries, &error)) return catalogue_failure(error);
  }
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* names = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), names);
  for (const CatalogueEntry& e : entries) {
    if (!e.hidden) yyjson_mut_arr_add_strncpy(doc.get(), names, e.name.data(), e.name.size());
  }
  ApiReply reply;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &reply.body, &why)) return failure(500, why);
  return reply;
}

// The catalogue's description of {"table":NAME}, any name it lists.
ApiReply ServeApi::schema(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"table"}, &params, &why)) return failure(400, why);
  if (!params.has_table) return failure(400, "table is required");
  const std::lock_guard<std::mutex> hold(library_);
  ApiReply reply;
  CatalogueError error;
  if (!catalogue_.describe_json(params.table, &reply.body, &error)) {
    return catalogue_failure(error);
  }
  return reply;
}

// {"rows":N,"at_least":BOOL} for {"table":NAME,"exact":BOOL} and the view's
// "filters" and "search": counted up to kCountBound rows unless exact.
ApiReply ServeApi::count(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"table", "exact", "filters", "search", "syntax"}, &params, &why)) {
    return failure(400, why);
  }
  if (!params.has_table) return failure(400, "table is required");
  RowCount counted;
  CatalogueError error;
  {
    const std::lock_guard<std::mutex> hold(library_);
    if (params.filters == nullptr && params.search.empty()) {
      if (!catalogue_.count(params.table, params.exact, &counted, &error)) {
        return catalogue_failure(error);
      }
    } else {
      ViewSql view;
      if (!view_sql(params, &view, &why)) return failure(400, valid_utf8(why));
      std::string sql = "SELECT count(*) AS n FROM (SELECT 1 FROM " + view.from +
                        (view.where.empty() ? "" : " WHERE " + view.where);
      if (!params.exact) sql += " LIMIT " + std::to_string(kCountBound + 1);
      sql += ")";
      const Result text(sqlr_query(handle_, sql.c_str(), 0, 1));
      if (text == nullptr) return library_failure();
      const ParsedDoc doc = read_json(text.get(), YYJSON_READ_NOFLAG, &why);
      yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows");
      yyjson_val* n = yyjson_obj_get(yyjson_arr_get_first(rows), "n");
      if (!yyjson_is_int(n)) return failure(500, "the count came back unreadable");
      counted.rows = yyjson_get_sint(n);
      if (!params.exact && counted.rows > kCountBound) {
        counted.rows = kCountBound;
        counted.at_least = true;
      }
    }
  }
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_int(doc.get(), root, "rows", counted.rows);
  yyjson_mut_obj_add_bool(doc.get(), root, "at_least", counted.at_least);
  ApiReply reply;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &reply.body, &why)) return failure(500, why);
  return reply;
}

// Every name with its kind: [{"name","kind","module","hidden","search"}],
// shadow and internal tables too; "search" names the full-text table that
// searches it (itself, or one whose content= names it), else null.
ApiReply ServeApi::list(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {}, &params, &why)) return failure(400, why);
  std::vector<CatalogueEntry> entries;
  std::vector<FtsTable> fts;
  CatalogueError error;
  {
    const std::lock_guard<std::mutex> hold(library_);
    if (!catalogue_.list(&entries, &error)) return catalogue_failure(error);
    if (!fts_tables(&fts, &why)) return failure(400, valid_utf8(why));
  }
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* list = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), list);
  for (const CatalogueEntry& e : entries) {
    yyjson_mut_val* o = yyjson_mut_arr_add_obj(doc.get(), list);
    const std::string name = valid_utf8(e.name);
    yyjson_mut_obj_add_strncpy(doc.get(), o, "name", name.data(), name.size());
    yyjson_mut_obj_add_strcpy(doc.get(), o, "kind", e.kind.c_str());
    if (e.module.empty()) {
      yyjson_mut_obj_add_null(doc.get(), o, "module");
    } else {
      const std::string module = valid_utf8(e.module);
      yyjson_mut_obj_add_strncpy(doc.get(), o, "module", module.data(), module.size());
    }
    yyjson_mut_obj_add_bool(doc.get(), o, "hidden", e.hidden);
    const FtsTable* by = e.hidden ? nullptr : search_table_of(fts, e.name);
    if (by == nullptr) {
      yyjson_mut_obj_add_null(doc.get(), o, "search");
    } else {
      const std::string s = valid_utf8(by->name);
      yyjson_mut_obj_add_strncpy(doc.get(), o, "search", s.data(), s.size());
    }
  }
  ApiReply reply;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &reply.body, &why)) return failure(500, why);
  return reply;
}

// See api.h. Full-text tables are the virtual tables of fts3, fts4 and fts5.
bool ServeApi::fts_tables(std::vector<FtsTable>* out, std::string* error) {
  out->clear();
  std::vector<CatalogueEntry> entries;
  CatalogueError why;
  if (!catalogue_.list(&entries, &why)) {
    *error = why.message;
    return false;
  }
  for (const CatalogueEntry& e : entries) {
    if (e.kind != "virtual" || (e.module != "fts3" && e.module != "fts4" && e.module != "fts5")) {
      continue;
    }
    const std::string sql =
        "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = " + sql_literal(e.name);
    const Result text(sqlr_query(handle_, sql.c_str(), 0, 1));
    if (text == nullptr) {
      *error = last_error();
      return false;
    }
    std::string unused;
    const ParsedDoc doc = read_json(text.get(), YYJSON_READ_NOFLAG, &unused);
    yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows");
    yyjson_val* create = yyjson_obj_get(yyjson_arr_get_first(rows), "sql");
    FtsTable t;
    t.name = e.name;
    t.module = e.module;
    if (yyjson_is_str(create)) {
      fts_content_of(std::string_view(yyjson_get_str(create), yyjson_get_len(create)), &t.content,
                     &t.content_rowid);
    }
    out->push_back(std::move(t));
  }
  return true;
}

namespace {

// Whether two names are the same for SQLite: ASCII letters folded.
bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

// See api.h.
const FtsTable* ServeApi::search_table_of(const std::vector<FtsTable>& fts,
                                          const std::string& name) {
  for (const FtsTable& t : fts) {
    if (t.name == name) return &t;
  }
  for (const FtsTable& t : fts) {
    if (same_name(t.content, name)) return &t;
  }
  return nullptr;
}

// See api.h.
bool ServeApi::view_sql(const Params& params, ViewSql* view, std::string* error) {
  std::vector<CatalogueColumn> columns;
  CatalogueError why;
  if (!catalogue_.columns(params.table, &columns, &why)) {
    *error = why.message;
    return false;
  }
  bool sorted = false;
  for (const auto& c : columns) sorted = sorted || c.name == params.sort;
  if (params.has_sort && !sorted) {
    *error = "sort: no column " + params.sort + " in the table";
    return false;
  }
  const std::string table = sql_identifier(params.table);
  std::string qualifier;
  view->from = table;
  view->search = false;
  std::string match;
  const FtsTable* fts = nullptr;
  std::vector<FtsTable> all;
  if (!params.search.empty()) {
    if (!fts_tables(&all, error)) return false;
    fts = search_table_of(all, params.table);
    if (fts == nullptr) {
      *error = "search: " + params.table + " has no full-text index";
      return false;
    }
    std::string query;
    if (!fts_query(params.search, params.syntax, &query, error)) return false;
    const std::string index = sql_identifier(fts->name);
    match = index + " MATCH " + sql_literal(query);
    if (fts->name != params.table) {
      // An external-content index: its rowid is the table's content_rowid.
      qualifier = table + ".";
      const std::string key =
          fts->content_rowid.empty() ? "rowid" : sql_identifier(fts->content_rowid);
      view->from = index + " JOIN " + table + " ON " + table + "." + key + " = " + index + ".rowid";
    }
    view->search = true;
  }
  view->select.clear();
  view->width = columns.size();
  for (const auto& c : columns) {
    view->select += (view->select.empty() ? "" : ", ") + qualifier + sql_identifier(c.name);
  }
  for (const auto& c : columns) {
    view->select += ", typeof(" + qualifier + sql_identifier(c.name) + ")";
  }
  std::string filtered;
  if (params.filters != nullptr &&
      !filters_sql(params.filters, columns, qualifier, &filtered, error)) {
    return false;
  }
  view->where = match;
  if (!filtered.empty()) view->where += (view->where.empty() ? "" : " AND ") + filtered;
  view->order.clear();
  if (params.has_sort) {
    view->order = qualifier + sql_identifier(params.sort) + (params.desc ? " DESC" : "");
  }
  if (fts != nullptr) {
    const std::string index = sql_identifier(fts->name);
    // The snippet's marks are control characters that no text shows: the
    // page turns them into highlights.
    view->select += fts->module == "fts5"
                        ? ", snippet(" + index + ", -1, char(2), char(3), '…', 16)"
                        : ", snippet(" + index + ", char(2), char(3), '…', -1, 16)";
    if (view->order.empty() && fts->module == "fts5") view->order = "bm25(" + index + ")";
  }
  return true;
}

// One page through the shared pager, of {"sql":TEXT} or of {"table":NAME,
// "sort":COLUMN,"desc":BOOL,"filters":[..],"search":TEXT,"syntax":BOOL}, at
// "offset" or "after" (an earlier page's next_key), with at most "limit" rows:
//   {"columns","rows","offset","limit","returned","more","next_offset","next_key"}
// A table's page carries, after its columns, typeof() of each, so that the
// page can tell a BLOB from text, and with a search the match's snippet; in
// its own order it pages by key.
ApiReply ServeApi::page(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body,
                   {"sql", "table", "sort", "desc", "offset", "limit", "after", "filters", "search",
                    "syntax"},
                   &params, &why)) {
    return failure(400, why);
  }
  if (params.has_sql == params.has_table) return failure(400, "give either sql or table");
  if (params.has_sql && (params.has_sort || !params.after.empty())) {
    return failure(400, "sort and after apply to a table's pages only");
  }
  if (params.has_sql && (params.filters != nullptr || !params.search.empty())) {
    return failure(400, "filters and search apply to a table's pages only");
  }
  const std::lock_guard<std::mutex> hold(library_);
  Pager pager = Pager::for_statement(handle_, params.sql);
  if (params.has_table) {
    ViewSql view;
    if (!view_sql(params, &view, &why)) return failure(400, valid_utf8(why));
    if (view.search && !params.after.empty())
      return failure(400, "after: a search pages by offset");
    pager = view_pager(params, view);
  }
  Page page;
  if (!pager.read(params.offset, params.after, params.limit, &page, &why)) {
    return failure(400, valid_utf8(why));
  }
  ApiReply reply;
  if (!write_page_json(&page, params.limit, &reply.body, &why)) return failure(500, why);
  reply.body.pop_back();  // the closing brace: three members follow
  reply.body += page.more ? ",\"more\":true,\"next_offset\":" + std::to_string(page.next_offset)
                          : ",\"more\":false,\"next_offset\":null";
  const BuiltDoc key(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc_set_root(
      key.get(), page.next_key.empty()
                     ? yyjson_mut_null(key.get())
                     : yyjson_mut_strncpy(key.get(), page.next_key.data(), page.next_key.size()));
  std::string key_text;
  if (!write_json(key.get(), YYJSON_WRITE_NOFLAG, &key_text, &why)) return failure(500, why);
  reply.body += ",\"next_key\":" + key_text + "}";
  return reply;
}

// See api.h.
Pager ServeApi::view_pager(const Params& params, const ViewSql& view) {
  if (view.search) {
    return Pager::for_statement(handle_, "SELECT " + view.select + " FROM " + view.from +
                                             " WHERE " + view.where +
                                             (view.order.empty() ? "" : " ORDER BY " + view.order));
  }
  return Pager::for_table(&catalogue_, handle_,
                          TableRead{params.table, view.select, view.where, view.order});
}

namespace {

// Gives an export's slot back when the last holder of it goes.
struct ExportSlot {
  explicit ExportSlot(std::atomic<int>* count) : count_(count) {}
  ~ExportSlot() { count_->fetch_sub(1); }
  ExportSlot(const ExportSlot&) = delete;
  ExportSlot& operator=(const ExportSlot&) = delete;

 private:
  std::atomic<int>* count_;
};

// One export as it runs: where it is in the view and how rows are written.
struct ExportRun {
  explicit ExportRun(Pager p) : pager(std::move(p)) {}
  Pager pager;
  Page page;           // the page being written
  std::string format;  // csv, json or jsonl
  size_t width = 0;    // the view's columns, written
  // How a BLOB is told from text: by the typeof() members that follow a
  // table view's columns, or by the typed statement's marks (Page::is_blob).
  bool typeof_members = false;
  DelimitedRows csv{','};
  std::vector<yyjson_val*> members;  // of the row being written
  int64_t rows = 0;
  std::shared_ptr<ExportSlot> slot;

  // Whether value `c` of row `i` of `page` is a BLOB (members holds row i's
  // members when typeof_members).
  bool is_blob(size_t i, size_t c) const {
    if (typeof_members) {
      return width + c < members.size() && yyjson_equals_str(members[width + c], "blob");
    }
    return page.is_blob(i, c);
  }

  // Loads row i's members, for is_blob.
  void load_members(size_t i) {
    members.clear();
    if (!typeof_members) return;
    yyjson_obj_iter it = yyjson_obj_iter_with(page.rows[i]);
    while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
      members.push_back(yyjson_obj_iter_get_val(key));
    }
  }

  // Appends the header (CSV) or the opening (JSON), from the first page.
  void begin(std::string* out) {
    if (format == "json") {
      out->push_back('[');
    } else if (format == "csv") {
      std::vector<bool> blobs = page_blob_columns(page, width);
      for (size_t i = 0; typeof_members && i < page.rows.size(); ++i) {
        load_members(i);
        for (size_t c = 0; c < width; ++c) blobs[c] = blobs[c] || is_blob(i, c);
      }
      std::vector<std::string> names(page.columns.begin(),
                                     page.columns.begin() + static_cast<ptrdiff_t>(width));
      csv.header(names, blobs, out);
    }
  }

  // Appends the rows of the page, handing `out` on through `write` each
  // time it reaches kExportPieceBytes.
  bool write_page(std::string* out, const PieceWriter& write, std::string* error) {
    for (size_t i = 0; i < page.rows.size(); ++i) {
      if (format == "csv") {
        load_members(i);
        csv.row(
            page.rows[i], width, [&](size_t c) { return is_blob(i, c); }, out);
      } else {
        if (format == "json" && rows > 0) out->push_back(',');
        if (!append_json_row(page.rows[i], width, out, error)) return false;
        if (format == "jsonl") out->push_back('\n');
      }
      ++rows;
      if (out->size() >= kExportPieceBytes) {
        if (!write(std::move(*out))) return false;
        out->clear();
        out->reserve(kExportPieceBytes + kExportPieceBytes / 8);
      }
    }
    return true;
  }
};

}  // namespace

// See api.h.
ApiReply ServeApi::export_rows(std::string_view body, StreamReply* stream) {
  Params params;
  std::string why;
  if (!read_params(body, {"format", "sql", "table", "sort", "desc", "filters", "search", "syntax"},
                   &params, &why)) {
    return failure(400, why);
  }
  if (params.format != "csv" && params.format != "json" && params.format != "jsonl") {
    return failure(400, "format: expected csv, json or jsonl");
  }
  if (params.has_sql == params.has_table) return failure(400, "give either sql or table");
  if (params.has_sql && params.has_sort) return failure(400, "sort applies to a table only");
  if (params.has_sql && (params.filters != nullptr || !params.search.empty())) {
    return failure(400, "filters and search apply to a table only");
  }
  if (exports_.fetch_add(1) >= kMaxExports) {
    exports_.fetch_sub(1);
    return failure(503, "too many exports at once (at most " + std::to_string(kMaxExports) +
                            "); try again when one has ended");
  }
  auto slot = std::make_shared<ExportSlot>(&exports_);
  std::shared_ptr<ExportRun> run;
  {
    const std::lock_guard<std::mutex> hold(library_);
    if (params.has_table) {
      ViewSql view;
      if (!view_sql(params, &view, &why)) return failure(400, valid_utf8(why));
      run = std::make_shared<ExportRun>(view_pager(params, view));
      run->width = view.width;
      run->typeof_members = true;
    } else {
      run = std::make_shared<ExportRun>(params.format == "csv"
                                            ? Pager::for_typed_statement(handle_, params.sql)
                                            : Pager::for_statement(handle_, params.sql));
    }
    if (!run->pager.read(0, "", kExportPageRows, &run->page, &why)) {
      return failure(400, valid_utf8(why));
    }
  }
  if (params.has_sql) run->width = run->page.columns.size();
  run->width = std::min(run->width, run->page.columns.size());
  run->format = params.format;
  run->slot = std::move(slot);
  stream->content_type = params.format == "csv"    ? "text/csv; charset=utf-8"
                         : params.format == "json" ? "application/json; charset=utf-8"
                                                   : "application/x-ndjson; charset=utf-8";
  stream->produce = [this, run](const PieceWriter& write) {
    std::string out, error;
    out.reserve(kExportPieceBytes + kExportPieceBytes / 8);
    run->begin(&out);
    for (;;) {
      if (!run->write_page(&out, write, &error)) return false;
      if (!run->page.more) break;
      const int64_t next = run->page.next_offset;
      const std::string key = run->page.next_key;
      const std::lock_guard<std::mutex> hold(library_);
      if (!run->pager.read(next, key, kExportPageRows, &run->page, &error)) return false;
    }
    if (run->format == "json") out.append("]\n");
    return write(std::move(out));
  };
  return ApiReply{200, ""};
}

// One page of {"sql":TEXT,"offset":N,"limit":N} (offset 0 and limit 100000
// when left out).
ApiReply ServeApi::query(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"sql", "offset", "limit"}, &params, &why)) return failure(400, why);
  if (!params.has_sql) return failure(400, "sql is required");
  const std::lock_guard<std::mutex> hold(library_);
  return pass_through(Result(sqlr_query(handle_, params.sql.c_str(), params.offset, params.limit)));
}

// {"sql":TEXT} through sqlr_exec, answered with {"changed":N}. Without
// --writable the database is read-only and the library refuses.
ApiReply ServeApi::exec(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"sql"}, &params, &why)) return failure(400, why);
  if (!params.has_sql) return failure(400, "sql is required");
  const std::lock_guard<std::mutex> hold(library_);
  const int32_t changed = sqlr_exec(handle_, params.sql.c_str());
  if (changed < 0) return library_failure();
  return ApiReply{200, changed_rows_json(changed)};
}

}  // namespace kestrova::tools::serve
