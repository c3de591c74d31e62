// The JSON API of `kestrova-sqlr serve`: one function per call under /api/,
// free of HTTP so that the server only routes. Each passes the library's JSON
// through unchanged, and each failure carries the library's (or the
// request's) message.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_API_H_
#define KESTROVA_SQLR_TOOLS_SERVE_API_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/catalogue.h"

namespace kestrova::tools::serve {

// What one call answers: an HTTP status and a JSON body. Failures are 4xx
// with {"error":"message"}.
struct ApiReply {
  int status = 200;
  std::string body;
};

// A full-text table: its module and the table it indexes (content=), if any.
struct FtsTable {
  std::string name;
  std::string module;         // fts3, fts4 or fts5
  std::string content;        // the table it indexes, "" = its own content
  std::string content_rowid;  // that table's key column, "" = rowid
};

// What a table view reads: its select list, FROM, WHERE and ORDER BY text,
// all safe SQL.
struct ViewSql {
  std::string select;
  std::string from;
  std::string where;
  std::string order;
  bool search = false;  // a full-text search: paged as a statement
};

// The parameters of one call, as read from its body.
struct Params;

// The calls of one open database.
class ServeApi {
 public:
  // `handle` is an open database owned by the caller, which must outlive this
  // object; `writable` says whether it was opened for writing; `db_name` is
  // shown on the page.
  ServeApi(int32_t handle, bool writable, std::string db_name)
      : handle_(handle), writable_(writable), db_name_(std::move(db_name)), catalogue_(handle) {}

  // Answers the call `name` ("info", "tables", "schema", "count", "page",
  // "list", "query", "exec")
  // with the JSON object `body` as its parameters. An unknown call is 404;
  // an unreadable body, an unknown or mistyped parameter, or a page outside
  // the allowed range is 400 before the library is called.
  ApiReply call(std::string_view name, std::string_view body);

 private:
  ApiReply info(std::string_view body);
  ApiReply tables(std::string_view body);
  ApiReply schema(std::string_view body);
  ApiReply count(std::string_view body);
  ApiReply list(std::string_view body);

  // The database's full-text tables. Under library_.
  bool fts_tables(std::vector<FtsTable>* out, std::string* error);
  // The full-text table that searches `name`: itself, or one whose content=
  // names it; null when there is none.
  static const FtsTable* search_table_of(const std::vector<FtsTable>& fts, const std::string& name);
  // The SQL of the table view that `params` asks for (its filters, search and
  // sort checked against the table's columns). Under library_.
  bool view_sql(const Params& params, ViewSql* view, std::string* error);
  ApiReply page(std::string_view body);
  ApiReply query(std::string_view body);
  ApiReply exec(std::string_view body);

  int32_t handle_;
  bool writable_;
  std::string db_name_;
  // The library's last-error text is one buffer for the process: a call and
  // the reading of its message happen under this lock, so that a message is
  // never another request's.
  std::mutex library_;
  Catalogue catalogue_;  // used under library_
};

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_API_H_
