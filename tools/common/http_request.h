// One HTTP/1.1 request as it arrives: its head read under a size cap, then its
// body (Content-Length or chunked) under a cap of its own, both fed from
// whatever bytes have come so far. Free of sockets, so that every hostile
// shape can be tried on it alone.
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

// The request line and headers together, and the trailers of a chunked body
// on their own; a longer head is answered 431.
constexpr size_t kMaxHeadBytes = 16 * 1024;
// Header fields in one head; more is answered 431.
constexpr size_t kMaxHeaderFields = 64;
// A chunk-size line (size and extensions); a longer one is answered 400.
constexpr size_t kMaxChunkLineBytes = 256;

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

enum class Step { kNeedMore, kDone, kRefused };

// Reads one request from the bytes of a connection.
class RequestReader {
 public:
  // `max_body` caps the body, decoded chunks counted as they arrive.
  explicit RequestReader(size_t max_body) : max_body_(max_body) {}

  // Reads the head from the start of `in`. kDone: *request holds the method,
  // target and headers, and *used the head's length; kNeedMore: nothing is
  // taken yet; kRefused: *refusal says why (431 for a head over the cap, 413
  // for a Content-Length over the body cap, 415 for any Content-Encoding,
  // 501 for a transfer coding other than chunked, 400 for anything
  // malformed or ambiguous, such as two lengths).
  Step read_head(std::string_view in, Request* request, size_t* used, Refusal* refusal);

  // Takes body bytes from the start of `in` (after the head), *used of them,
  // appending the body to request->body. kDone once the whole body (and a
  // chunked body's trailers) has come; kRefused with 413 the moment the body
  // would pass the cap, or 400/431 for malformed chunk framing.
  Step read_body(std::string_view in, Request* request, size_t* used, Refusal* refusal);

 private:
  enum class Chunk { kSize, kData, kDataEnd, kTrailers };
  size_t max_body_;
  uint64_t remaining_ = 0;  // of the Content-Length, or of the current chunk
  Chunk chunk_ = Chunk::kSize;
  size_t trailer_bytes_ = 0;
  bool started_ = false;
};

}  // namespace kestrova::tools::http

#endif  // KESTROVA_SQLR_TOOLS_COMMON_HTTP_REQUEST_H_
