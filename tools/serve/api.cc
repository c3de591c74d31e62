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
#include "kestrova_sqlite_reader.h"
#include "serve/guard.h"

namespace kestrova::tools::serve {

namespace {

// The parameters a call may carry; each call names the ones it takes.
struct Params {
  std::string table;
  std::string sql;
  std::string after;  // a page's next_key
  std::string sort;   // a column of the table
  int32_t offset = 0;
  int32_t limit = SQLR_MAX_PAGE_ROWS;
  bool desc = false;
  bool exact = false;
  bool has_table = false;
  bool has_sql = false;
  bool has_sort = false;
};

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
  const ParsedDoc doc = read_json(body, YYJSON_READ_NOFLAG, &why);
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
    if (name == "table" || name == "sql" || name == "after" || name == "sort") {
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
      } else {
        params->sort = text;
        params->has_sort = true;
      }
    } else if (name == "desc" || name == "exact") {
      if (!yyjson_is_bool(val)) {
        *error = std::string(name) + ": expected true or false";
        return false;
      }
      (name == "desc" ? params->desc : params->exact) = yyjson_get_bool(val);
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
  if (name == "page") return page(body);
  if (name == "query") return query(body);
  if (name == "exec") return exec(body);
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

// {"rows":N,"at_least":BOOL} for {"table":NAME,"exact":BOOL}: counted up to
// kCountBound rows unless exact.
ApiReply ServeApi::count(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"table", "exact"}, &params, &why)) return failure(400, why);
  if (!params.has_table) return failure(400, "table is required");
  RowCount counted;
  CatalogueError error;
  {
    const std::lock_guard<std::mutex> hold(library_);
    if (!catalogue_.count(params.table, params.exact, &counted, &error)) {
      return catalogue_failure(error);
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

// One page through the shared pager, of {"sql":TEXT} or of {"table":NAME,
// "sort":COLUMN,"desc":BOOL}, at "offset" or "after" (an earlier page's
// next_key), with at most "limit" rows:
//   {"columns","rows","offset","limit","returned","more","next_offset","next_key"}
// A table's page carries, after its columns, typeof() of each, so that the
// page can tell a BLOB from text; in its own order it pages by key.
ApiReply ServeApi::page(std::string_view body) {
  Params params;
  std::string why;
  if (!read_params(body, {"sql", "table", "sort", "desc", "offset", "limit", "after"}, &params,
                   &why)) {
    return failure(400, why);
  }
  if (params.has_sql == params.has_table) return failure(400, "give either sql or table");
  if (params.has_sql && (params.has_sort || !params.after.empty())) {
    return failure(400, "sort and after apply to a table's pages only");
  }
  const std::lock_guard<std::mutex> hold(library_);
  Pager pager = Pager::for_statement(handle_, params.sql);
  if (params.has_table) {
    std::vector<CatalogueColumn> columns;
    CatalogueError error;
    if (!catalogue_.columns(params.table, &columns, &error)) return catalogue_failure(error);
    TableRead read{params.table, "", "", ""};
    bool sorted = false;
    for (const auto& c : columns)
      read.select += (read.select.empty() ? "" : ", ") + sql_identifier(c.name);
    for (const auto& c : columns) read.select += ", typeof(" + sql_identifier(c.name) + ")";
    for (const auto& c : columns) sorted = sorted || c.name == params.sort;
    if (params.has_sort && !sorted) {
      return failure(400, "sort: no column " + valid_utf8(params.sort) + " in the table");
    }
    if (params.has_sort) read.order = sql_identifier(params.sort) + (params.desc ? " DESC" : "");
    pager = Pager::for_table(&catalogue_, handle_, std::move(read));
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
