// One HTTP/1.1 request as the tool's hosts see it, and the rules its head
// must meet beyond what Boost.Beast's parser checks: the tool's own caps on
// the head, and refusals of any shape that two readers could take two ways.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_HTTP_REQUEST_H_
#define KESTROVA_SQLR_TOOLS_COMMON_HTTP_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::tools::http {

// The request line and headers together (blank lines before them counted),
// and what a chunked body holds unread at once: a chunk-size line or the
// trailers; more is answered 431.
constexpr size_t kMaxHeadBytes = 16 * 1024;
// Header fields in one head; more is answered 431.
constexpr size_t kMaxHeaderFields = 64;

struct Request {
  std::string method;
  std::string target;     // as sent: path and query
  std::string path;       // up to '?', not decoded
  std::string query;      // after '?', not decoded
  int minor_version = 1;  // HTTP/1.x
  // Field names in lower case, values with the surrounding blanks removed,
  // in the order sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The value of header `lower_name`, or empty when it is absent.
  std::string header(std::string_view lower_name) const;
  bool has_header(std::string_view lower_name) const;
  // Query parameter `name`, %XX and '+' decoded; nullopt when absent.
  std::optional<std::string> query_param(std::string_view name) const;
  // Whether the client keeps the connection for another request.
  bool keep_alive() const;
  // Whether a body follows the head (a Content-Length above 0, or chunked).
  bool has_body() const { return body_kind != BodyKind::kNone; }

  enum class BodyKind { kNone, kLength, kChunked };
  BodyKind body_kind = BodyKind::kNone;
  uint64_t content_length = 0;
};

// Why a request cannot be served: the status to answer and a message.
struct Refusal {
  int status = 400;
  std::string message;
};

// The refusal for a head that the parser took but the server does not:
// 431 for more than kMaxHeaderFields fields; 400 for a target not of the form "/path?query", a
// second Host, Content-Length or Transfer-Encoding, no Host in HTTP/1.1, or both a length and a
// transfer coding; 415 for any Content-Encoding (never inflated); 501 for a transfer coding other
// than chunked; 413 for a Content-Length over `max_body`. (The parser itself takes HTTP/1.0 and 1.1
// only.)
std::optional<Refusal> check_head(const Request& request, size_t max_body);

// The message of a 413 for a body over `max_body` bytes.
std::string body_too_large(size_t max_body);

// The message of a 431 for a head over kMaxHeadBytes.
std::string head_too_large();

}  // namespace kestrova::tools::http

#endif  // KESTROVA_SQLR_TOOLS_COMMON_HTTP_REQUEST_H_
