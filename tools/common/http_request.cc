// A request's accessors and the head's rules. Anything a careful client never
// sends, and that two readers could take two ways, is refused rather than
// guessed at.
#include "common/http_request.h"

#include <algorithm>

namespace kestrova::tools::http {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// %XX and '+' decoded; a stray '%' is kept as it is.
std::string decode_component(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 &&
               hex_digit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace

// See http_request.h.
std::string Request::header(std::string_view lower_name) const {
  for (const auto& [name, value] : headers) {
    if (name == lower_name) return value;
  }
  return {};
}

// See http_request.h.
bool Request::has_header(std::string_view lower_name) const {
  for (const auto& h : headers) {
    if (h.first == lower_name) return true;
  }
  return false;
}

// See http_request.h.
std::optional<std::string> Request::query_param(std::string_view name) const {
  std::string_view rest(query);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == rest.npos ? std::string_view() : rest.substr(amp + 1);
    const size_t eq = pair.find('=');
    if (decode_component(pair.substr(0, eq)) == name) {
      return eq == pair.npos ? std::string() : decode_component(pair.substr(eq + 1));
    }
  }
  return std::nullopt;
}

// See http_request.h. HTTP/1.0 closes unless asked otherwise; HTTP/1.1 keeps
// the connection unless asked otherwise.
bool Request::keep_alive() const {
  const std::string connection = header("connection");
  std::string_view rest(connection);
  bool close = false, keep = false;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view option = trim(rest.substr(0, comma));
    rest = comma == rest.npos ? std::string_view() : rest.substr(comma + 1);
    close = close || equal_ignoring_case(option, "close");
    keep = keep || equal_ignoring_case(option, "keep-alive");
  }
  if (close) return false;
  return minor_version >= 1 || keep;
}

// See http_request.h.
std::string body_too_large(size_t max_body) {
  return "the request body is larger than " + std::to_string(max_body) + " bytes";
}

// See http_request.h.
std::string head_too_large() {
  return "the request's head is larger than " + std::to_string(kMaxHeadBytes) + " bytes";
}

// See http_request.h. The parser has already refused two differing lengths, a
// length beside chunked, and malformed lines, chunks and lengths.
std::optional<Refusal> check_head(const Request& request, size_t max_body) {
  const auto refuse = [](int status, std::string message) {
    return std::optional<Refusal>(Refusal{status, std::move(message)});
  };
  if (request.headers.size() > kMaxHeaderFields) {
    return refuse(431, "more than " + std::to_string(kMaxHeaderFields) + " header fields");
  }
  // Only the origin form ("/path?query"): no absolute URL, no "*".
  const std::string& target = request.target;
  if (target.empty() || target.front() != '/' ||
      std::any_of(target.begin(), target.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; })) {
    return refuse(400, "a malformed request target");
  }
  // The fields whose doubling could make two readers see two requests.
  for (const char* single : {"host", "content-length", "transfer-encoding"}) {
    if (std::count_if(request.headers.begin(), request.headers.end(),
                      [single](const auto& h) { return h.first == single; }) > 1) {
      return refuse(400, std::string("more than one ") + single + " header");
    }
  }
  if (request.minor_version == 1 && !request.has_header("host")) {
    return refuse(400, "HTTP/1.1 requires a Host header");
  }
  // What the sender compressed would be inflated here, into more than was
  // sent: refused whatever it is.
  if (request.has_header("content-encoding")) {
    return refuse(415, "a request body may not be encoded (Content-Encoding)");
  }
  const bool has_length = request.has_header("content-length");
  const bool has_coding = request.has_header("transfer-encoding");
  if (has_length && has_coding) return refuse(400, "both Content-Length and Transfer-Encoding");
  // The parser takes "gzip, chunked" as chunked, and leaves a body that it
  // would have to decode.
  if (has_coding && !equal_ignoring_case(request.header("transfer-encoding"), "chunked")) {
    return refuse(501, "the only transfer coding taken is chunked");
  }
  if (request.content_length > max_body) return refuse(413, body_too_large(max_body));
  return std::nullopt;
}

}  // namespace kestrova::tools::http
