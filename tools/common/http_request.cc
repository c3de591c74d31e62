// The request reader's rules. Anything a careful client never sends, and that
// two readers could take two ways, is refused rather than guessed at.
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

// RFC 9110's tchar: what a method or a field name may hold.
bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The next line of `text` from `*pos`, without its LF or CRLF; false when no
// line end has come yet.
bool next_line(std::string_view text, size_t* pos, std::string_view* line) {
  const size_t lf = text.find('\n', *pos);
  if (lf == text.npos) return false;
  size_t end = lf;
  if (end > *pos && text[end - 1] == '\r') --end;
  *line = text.substr(*pos, end - *pos);
  *pos = lf + 1;
  return true;
}

Step refuse(Refusal* refusal, int status, std::string message) {
  refusal->status = status;
  refusal->message = std::move(message);
  return Step::kRefused;
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

std::string body_too_large(size_t max_body) {
  return "the request body is larger than " + std::to_string(max_body) + " bytes";
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
Step RequestReader::read_head(std::string_view in, Request* request, size_t* used,
                              Refusal* refusal) {
  // Blank lines before the request line are ignored (RFC 9112 2.2), within
  // the same cap.
  size_t start = 0;
  while (start < in.size() && (in[start] == '\r' || in[start] == '\n')) ++start;
  const size_t window = std::min(in.size(), kMaxHeadBytes);
  size_t end = in.find("\n\r\n", start);
  size_t end_lf = in.find("\n\n", start);
  size_t head_end =
      std::min(end == in.npos ? in.npos : end + 3, end_lf == in.npos ? in.npos : end_lf + 2);
  if (head_end == in.npos || head_end > window) {
    if (in.size() >= kMaxHeadBytes) {
      return refuse(
          refusal, 431,
          "the request's head is larger than " + std::to_string(kMaxHeadBytes) + " bytes");
    }
    return Step::kNeedMore;
  }
  const std::string_view head = in.substr(0, head_end);
  if (head.find('\0') != head.npos) return refuse(refusal, 400, "a NUL byte in the request's head");

  size_t pos = start;
  std::string_view line;
  next_line(head, &pos, &line);
  // method SP request-target SP HTTP/1.x
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == line.npos ? line.npos : line.find(' ', sp1 + 1);
  if (sp2 == line.npos || line.find(' ', sp2 + 1) != line.npos) {
    return refuse(refusal, 400, "a malformed request line");
  }
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!is_token(method)) return refuse(refusal, 400, "a malformed method");
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return refuse(refusal, 505, "only HTTP/1.0 and HTTP/1.1 are spoken");
  }
  // Only the origin form ("/path?query"): no absolute URL, no "*".
  if (target.empty() || target.front() != '/' ||
      std::any_of(target.begin(), target.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; })) {
    return refuse(refusal, 400, "a malformed request target");
  }
  request->method = std::string(method);
  request->target = std::string(target);
  const size_t q = target.find('?');
  request->path = std::string(target.substr(0, q));
  request->query = q == target.npos ? std::string() : std::string(target.substr(q + 1));
  request->minor_version = version.back() - '0';

  request->headers.clear();
  while (next_line(head, &pos, &line) && !line.empty()) {
    if (request->headers.size() == kMaxHeaderFields) {
      return refuse(refusal, 431,
                    "more than " + std::to_string(kMaxHeaderFields) + " header fields");
    }
    // No folded lines, no blank before the colon, no CR inside.
    const size_t colon = line.find(':');
    if (colon == line.npos || !is_token(line.substr(0, colon)) || line.find('\r') != line.npos) {
      return refuse(refusal, 400, "a malformed header field");
    }
    std::string name(line.substr(0, colon));
    for (char& c : name) c = lower(c);
    request->headers.emplace_back(std::move(name), std::string(trim(line.substr(colon + 1))));
  }

  // The fields whose doubling could make two readers see two requests.
  for (const char* single : {"host", "content-length", "transfer-encoding"}) {
    if (std::count_if(request->headers.begin(), request->headers.end(),
                      [single](const auto& h) { return h.first == single; }) > 1) {
      return refuse(refusal, 400, std::string("more than one ") + single + " header");
    }
  }
  if (request->minor_version == 1 && !request->has_header("host")) {
    return refuse(refusal, 400, "HTTP/1.1 requires a Host header");
  }
  // What the sender compressed would be inflated here, into more than was
  // sent: refused whatever it is.
  if (request->has_header("content-encoding")) {
    return refuse(refusal, 415, "a request body may not be encoded (Content-Encoding)");
  }
  const bool has_length = request->has_header("content-length");
  const bool has_coding = request->has_header("transfer-encoding");
  if (has_length && has_coding) {
    return refuse(refusal, 400, "both Content-Length and Transfer-Encoding");
  }
  request->body_kind = Request::BodyKind::kNone;
  request->content_length = 0;
  if (has_coding) {
    if (!equal_ignoring_case(request->header("transfer-encoding"), "chunked")) {
      return refuse(refusal, 501, "the only transfer coding taken is chunked");
    }
    request->body_kind = Request::BodyKind::kChunked;
  } else if (has_length) {
    const std::string value = request->header("content-length");
    if (value.empty() || value.size() > 18 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return refuse(refusal, 400, "a malformed Content-Length");
    }
    request->content_length = std::stoull(value);
    if (request->content_length > max_body_) return refuse(refusal, 413, body_too_large(max_body_));
    if (request->content_length > 0) request->body_kind = Request::BodyKind::kLength;
  }
  request->body.clear();
  started_ = false;
  *used = head_end;
  return Step::kDone;
}

// See http_request.h.
Step RequestReader::read_body(std::string_view in, Request* request, size_t* used,
                              Refusal* refusal) {
  *used = 0;
  if (!started_) {
    started_ = true;
    remaining_ = request->content_length;
    chunk_ = Chunk::kSize;
    trailer_bytes_ = 0;
  }
  if (request->body_kind == Request::BodyKind::kNone) return Step::kDone;
  if (request->body_kind == Request::BodyKind::kLength) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, in.size()));
    request->body.append(in.data(), take);
    remaining_ -= take;
    *used = take;
    return remaining_ == 0 ? Step::kDone : Step::kNeedMore;
  }
  size_t pos = 0;
  for (;;) {
    std::string_view line;
    switch (chunk_) {
      case Chunk::kSize: {
        const size_t before = pos;
        if (!next_line(in, &pos, &line)) {
          if (in.size() - before > kMaxChunkLineBytes) {
            return refuse(refusal, 400, "a chunk-size line is too long");
          }
          *used = before;
          return Step::kNeedMore;
        }
        if (pos - before > kMaxChunkLineBytes) {
          return refuse(refusal, 400, "a chunk-size line is too long");
        }
        // Hex digits, then extensions after ';', which are ignored.
        const std::string_view digits = trim(line.substr(0, line.find(';')));
        if (digits.empty() || digits.size() > 15)
          return refuse(refusal, 400, "a malformed chunk size");
        uint64_t size = 0;
        for (char c : digits) {
          const int d = hex_digit(c);
          if (d < 0) return refuse(refusal, 400, "a malformed chunk size");
          size = size * 16 + static_cast<uint64_t>(d);
        }
        // Refused before the chunk's bytes are taken: the cap holds as the
        // body arrives, not after.
        if (size > max_body_ - request->body.size()) {
          return refuse(refusal, 413, body_too_large(max_body_));
        }
        remaining_ = size;
        chunk_ = size == 0 ? Chunk::kTrailers : Chunk::kData;
        break;
      }
      case Chunk::kData: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, in.size() - pos));
        request->body.append(in.data() + pos, take);
        pos += take;
        remaining_ -= take;
        if (remaining_ > 0) {
          *used = pos;
          return Step::kNeedMore;
        }
        chunk_ = Chunk::kDataEnd;
        break;
      }
      case Chunk::kDataEnd: {
        const size_t before = pos;
        if (!next_line(in, &pos, &line)) {
          if (in.size() - before > 2)
            return refuse(refusal, 400, "a chunk is longer than its size");
          *used = before;
          return Step::kNeedMore;
        }
        if (!line.empty()) return refuse(refusal, 400, "a chunk is longer than its size");
        chunk_ = Chunk::kSize;
        break;
      }
      case Chunk::kTrailers: {
        const size_t before = pos;
        if (!next_line(in, &pos, &line)) {
          if (trailer_bytes_ + (in.size() - before) > kMaxHeadBytes) {
            return refuse(refusal, 431, "the chunked body's trailers are too large");
          }
          *used = before;
          return Step::kNeedMore;
        }
        trailer_bytes_ += pos - before;
        if (trailer_bytes_ > kMaxHeadBytes) {
          return refuse(refusal, 431, "the chunked body's trailers are too large");
        }
        if (line.empty()) {
          *used = pos;
          return Step::kDone;
        }
        break;  // a trailer field, ignored
      }
    }
  }
}

}  // namespace kestrova::tools::http
