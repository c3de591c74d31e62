// The JSON API of `kestrova-sqlr serve`: one function per call under /api/,
// free of HTTP so that the server only routes. Each passes the library's JSON
// through unchanged, and each failure carries the library's (or the
// request's) message.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_API_H_
#define KESTROVA_SQLR_TOOLS_SERVE_API_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/catalogue.h"
#include "common/pager.h"

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
  size_t width = 0;     // the table's columns, which lead the select list
};

// The parameters of one call, as read from its body.
struct Params;

// Rows an export reads per page (each page one operation of the library, so
// under its deadline and its 100 MB cap).
constexpr int32_t kExportPageRows = 20000;
// The size of the pieces an export hands on; with the HTTP server's queue of
// pieces, what one export holds beyond its page.
constexpr size_t kExportPieceBytes = size_t{1} << 20;
// Exports running at once: each keeps a worker thread for its length.
constexpr int kMaxExports = 2;

// Hands one piece of a streamed answer on; false once the stream has ended
// (the client went away), when the producer stops.
using PieceWriter = std::function<bool(std::string piece)>;
// Writes a whole streamed answer through a PieceWriter; false when it failed
// partway.
using StreamProducer = std::function<bool(const PieceWriter&)>;

// A streamed answer: its content type and its producer.
struct StreamReply {
  std::string content_type;
  StreamProducer produce;
};

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

  // The export of {"format":"csv"|"json"|"jsonl"} and the view a page call
  // takes (a "table" with its "sort", "desc", "filters", "search" and
  // "syntax", or a "sql" statement), every row from the first, in the
  // command line's CSV and JSON Lines (common/row_formats.h) or as one JSON
  // array of row objects. The first page is read here: a failure before any
  // row is the reply (status 4xx); otherwise `stream` is set and the rows
  // follow page by page as it runs, the library held only while a page is
  // read.
  ApiReply export_rows(std::string_view body, StreamReply* stream);

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
  // The pager of a table view (a search pages as a statement). Under library_.
  Pager view_pager(const Params& params, const ViewSql& view);
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
  std::atomic<int> exports_{0};
};

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_API_H_
