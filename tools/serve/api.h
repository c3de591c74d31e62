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

#include "common/catalogue.h"

namespace kestrova::tools::serve {

// What one call answers: an HTTP status and a JSON body. Failures are 4xx
// with {"error":"message"}.
struct ApiReply {
  int status = 200;
  std::string body;
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
  // "query", "exec")
  // with the JSON object `body` as its parameters. An unknown call is 404;
  // an unreadable body, an unknown or mistyped parameter, or a page outside
  // the allowed range is 400 before the library is called.
  ApiReply call(std::string_view name, std::string_view body);

 private:
  ApiReply info(std::string_view body);
  ApiReply tables(std::string_view body);
  ApiReply schema(std::string_view body);
  ApiReply count(std::string_view body);
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
