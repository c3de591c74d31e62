// The Streamable HTTP transport: the checks on a request's head (admit, on
// the server's I/O thread, before any body is read), the answers to whole
// requests (on its workers), and the process around them.
#include "mcp/http_transport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/console_io.h"
#include "common/http_guard.h"
#include "common/http_server.h"
#include "common/json.h"
#include "common/net.h"
#include "mcp/http_sessions.h"
#include "mcp/server.h"

namespace kestrova::tools::mcp {

namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kJsonType[] = "application/json";
constexpr char kSessionHeader[] = "mcp-session-id";
constexpr char kVersionHeader[] = "mcp-protocol-version";

using Clock = std::chrono::steady_clock;

// Headers on every answer: nothing is cached or sniffed, and no CORS header
// is ever sent, so a page of another origin reads nothing.
std::vector<std::pair<std::string, std::string>> plain_headers() {
  return {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
}

// A refusal: `status` with a JSON-RPC error that has no id. The messages are
// the server's own short texts, far within any --max-result-bytes.
http::Response refusal(int status, std::string_view message) {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_str(doc.get(), root, "jsonrpc", "2.0");
  yyjson_mut_obj_add_null(doc.get(), root, "id");
  yyjson_mut_val* error = yyjson_mut_obj_add_obj(doc.get(), root, "error");
  yyjson_mut_obj_add_int(doc.get(), error, "code", kRpcTransportRefused);
  yyjson_mut_obj_add_strn(doc.get(), error, "message", message.data(), message.size());
  http::Response r;
  r.status = status;
  r.content_type = kJsonType;
  std::string why;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &r.body, &why)) r.body.clear();
  return r;
}

std::string lower_case(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view trimmed(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == s.npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The media type of a Content-Type or Accept item, without its parameters,
// in lower case.
std::string media_type(std::string_view item) {
  return lower_case(trimmed(item.substr(0, item.find(';'))));
}

// Whether an Accept header lets the answer be JSON (no header: anything goes).
bool accepts_json(std::string_view accept) {
  if (trimmed(accept).empty()) return true;
  while (!accept.empty()) {
    const size_t comma = accept.find(',');
    const std::string type = media_type(accept.substr(0, comma));
    if (type == kJsonType || type == "application/*" || type == "*/*") return true;
    if (comma == accept.npos) break;
    accept.remove_prefix(comma + 1);
  }
  return false;
}

size_t header_count(const http::Request& req, std::string_view lower_name) {
  size_t n = 0;
  for (const auto& [name, value] : req.headers) n += name == lower_name ? 1 : 0;
  return n;
}

bool known_version(std::string_view v) {
  for (std::string_view known : kMcpVersions) {
    if (v == known) return true;
  }
  return false;
}

// Whether `body` is an initialize request (the one message that may come
// without a session). A request that names "method" twice is not: the
// conversation refuses it either way.
bool is_initialize(std::string_view body) {
  std::string why;
  const ParsedDoc doc = read_json(body, YYJSON_READ_BIGNUM_AS_RAW, &why);
  yyjson_val* root = doc != nullptr ? yyjson_doc_get_root(doc.get()) : nullptr;
  return yyjson_is_obj(root) && yyjson_equals_str(yyjson_obj_get(root, "method"), "initialize");
}

// The answer to one message as HTTP: 202 when nothing is due, 400 for a
// message that could not be read as a request, 200 otherwise.
http::Response as_http(McpAnswer answer) {
  if (!answer.written) return refusal(500, "the reply could not be written");
  http::Response r;
  if (answer.text.empty()) {
    r.status = 202;
    return r;
  }
  r.status = answer.unreadable ? 400 : 200;
  r.content_type = kJsonType;
  if (answer.text.back() == '\n') answer.text.pop_back();
  r.body = std::move(answer.text);
  return r;
}

class McpHttp {
 public:
  McpHttp(McpDatabase* db, size_t max_result_bytes, std::string_view version, std::string token,
          int port)
      : db_(db),
        max_result_bytes_(max_result_bytes),
        version_(version),
        token_(std::move(token)),
        port_(port) {}

  // The checks on a head (see http_transport.h), in their order; nullopt
  // lets the request on to handle().
  std::optional<http::Response> admit(const http::Request& req) {
    const http::Provenance from{req.header("host"), req.header("origin"),
                                req.header("sec-fetch-site")};
    if (std::optional<std::string> why = http::check_provenance(from, port_)) {
      return refusal(403, *why);
    }
    if (std::optional<http::Response> no = check_token(req)) return no;
    if (req.path != kMcpHttpPath) return refusal(404, "the endpoint is /mcp");
    if (req.target != req.path) {
      return refusal(400,
                     "the endpoint takes no query string: send the token as Authorization: "
                     "Bearer TOKEN");
    }
    if (req.method != "POST" && req.method != "DELETE") {
      http::Response r = refusal(
          405, req.method == "GET" ? "this server sends nothing unasked: there is no stream to "
                                     "open; POST each message"
                                   : "the endpoint takes POST and DELETE");
      r.headers.emplace_back("Allow", "POST, DELETE");
      return r;
    }
    if (header_count(req, kSessionHeader) > 1 || header_count(req, kVersionHeader) > 1) {
      return refusal(400, "Mcp-Session-Id and MCP-Protocol-Version are given once");
    }
    const std::string version = req.header(kVersionHeader);
    if (req.has_header(kVersionHeader) && !known_version(version)) {
      return refusal(400, "unsupported MCP-Protocol-Version: this server speaks " + speaks());
    }
    if (req.method == "POST") {
      if (media_type(req.header("content-type")) != kJsonType) {
        return refusal(415, "the body must be one JSON-RPC message as application/json");
      }
      if (!accepts_json(req.header("accept"))) {
        return refusal(406, "the answers are application/json: accept it");
      }
    }
    // An unknown session is refused before its body is read.
    if (req.has_header(kSessionHeader) &&
        sessions_.find(req.header(kSessionHeader), Clock::now()) == nullptr) {
      return unknown_session();
    }
    return std::nullopt;
  }

  // Answers a request that admit() let through.
  http::Response handle(const http::Request& req) {
    const bool named = req.has_header(kSessionHeader);
    const std::string id = req.header(kSessionHeader);
    if (req.method == "DELETE") {
      if (!named) return refusal(400, "DELETE ends a session: name it in Mcp-Session-Id");
      if (!sessions_.end(id)) return unknown_session();
      // 200 and no body (a 204 may carry no Content-Length, which every answer here has).
      http::Response r;
      return r;
    }
    if (trimmed(req.body).find_first_not_of("\r\n") == std::string_view::npos) {
      return refusal(400, "the body must hold one JSON-RPC message");
    }
    if (!named) return open_session(req.body);
    const std::shared_ptr<HttpSession> session = sessions_.find(id, Clock::now());
    if (session == nullptr) return unknown_session();
    const std::lock_guard<std::mutex> hold(answering_);
    const std::string_view agreed = session->mcp->agreed_version();
    if (req.has_header(kVersionHeader) && req.header(kVersionHeader) != agreed) {
      return refusal(400, "MCP-Protocol-Version differs from the version this session agreed, " +
                              std::string(agreed));
    }
    return as_http(session->mcp->answer(req.body));
  }

 private:
  // 401 for a missing or wrong token, which is taken only from the
  // Authorization header's Bearer scheme (any case, as HTTP's schemes are).
  std::optional<http::Response> check_token(const http::Request& req) const {
    const std::string value = req.header("authorization");
    const size_t space = value.find(' ');
    const bool bearer = space != value.npos && lower_case(value.substr(0, space)) == "bearer";
    const std::string_view given =
        bearer ? trimmed(std::string_view(value).substr(space + 1)) : std::string_view();
    if (header_count(req, "authorization") == 1 && bearer &&
        http::equal_in_constant_time(given, token_)) {
      return std::nullopt;
    }
    const bool sent = req.has_header("authorization");
    http::Response r = refusal(401, sent ? "wrong token"
                                         : "send the token printed at start as "
                                           "Authorization: Bearer TOKEN");
    r.headers.emplace_back("WWW-Authenticate", sent ? "Bearer error=\"invalid_token\"" : "Bearer");
    return r;
  }

  // initialize without a session: a new conversation, kept under a new id
  // once it has agreed on a version.
  http::Response open_session(std::string_view body) {
    if (!is_initialize(body)) {
      return refusal(400, "Mcp-Session-Id is required: send initialize first to open a session");
    }
    auto mcp = std::make_unique<McpSession>(db_, max_result_bytes_, version_);
    McpAnswer answer;
    {
      const std::lock_guard<std::mutex> hold(answering_);
      answer = mcp->answer(body);
    }
    if (mcp->agreed_version().empty()) return as_http(std::move(answer));
    const std::shared_ptr<HttpSession> session = sessions_.add(std::move(mcp), Clock::now());
    if (session == nullptr) return refusal(500, "cannot read the system's random generator");
    http::Response r = as_http(std::move(answer));
    r.headers.emplace_back("Mcp-Session-Id", session->id);
    return r;
  }

  http::Response unknown_session() const {
    return refusal(404, "no such session (it ended or expired): initialize again");
  }

  static std::string speaks() {
    std::string list;
    for (std::string_view v : kMcpVersions) list += (list.empty() ? "" : ", ") + std::string(v);
    return list;
  }

  McpDatabase* db_;
  size_t max_result_bytes_;
  std::string_view version_;
  const std::string token_;
  const int port_;
  HttpSessionStore sessions_;
  // The database answers one message at a time, whichever session asks.
  std::mutex answering_;
};

// Reads standard input to its end, then sets `ended`. Runs on a thread of
// its own that may still be blocked in a read when the program ends.
void watch_input(std::atomic<bool>* ended) {
  char buf[512];
  while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
  }
  ended->store(true);
}

}  // namespace

// See http_transport.h.
int run_mcp_http_server(const std::string& path, bool writable, size_t max_result_bytes,
                        std::string_view version, int port) {
  McpDatabase db(path, writable);
  if (!first_open(&db)) return 1;
  use_stdio_for_protocol();
  unsigned char secret[kMcpTokenBytes];
  if (!net::secure_random(secret, sizeof secret)) {
    std::fprintf(stderr, "kestrova-sqlr: cannot read the system's random generator\n");
    return 1;
  }
  // Set once the port is known; the server calls it only after listen().
  std::unique_ptr<McpHttp> mcp;
  http::ServerOptions options;
  options.max_body_bytes = kMaxHttpMessageBytes;
  options.default_headers = plain_headers();
  options.refusal = refusal;
  options.admit = [&mcp](const http::Request& req) { return mcp->admit(req); };
  options.handle = [&mcp](const http::Request& req) { return mcp->handle(req); };
  http::Server server(std::move(options));
  std::string why;
  const int bound = server.listen(port, &why);
  if (bound <= 0) {
    std::fprintf(stderr, "kestrova-sqlr: cannot listen on %s:%d: %s\n", kLoopback, port,
                 why.c_str());
    return 1;
  }
  const std::string token = http::hex(secret, sizeof secret);
  mcp = std::make_unique<McpHttp>(&db, max_result_bytes, version, token, bound);
  const std::string url =
      "http://" + std::string(kLoopback) + ":" + std::to_string(bound) + kMcpHttpPath;
  std::printf("%s %s\n", url.c_str(), token.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "kestrova-sqlr: serving %s (%s) over MCP on %s\n", path.c_str(),
               writable ? "writable" : "read-only", url.c_str());

  // The watcher may still read after this returns.
  static std::atomic<bool> input_ended{false};
  if (!stdin_is_terminal()) std::thread(watch_input, &input_ended).detach();
  // The watcher may outlive the server: this thread, joined below, stops it.
  std::atomic<bool> served{false};
  std::thread stopper([&] {
    while (!served.load()) {
      if (input_ended.load()) {
        server.stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const bool ran = server.run(&why);
  served.store(true);
  stopper.join();
  if (!ran) {
    std::fprintf(stderr, "kestrova-sqlr: the server stopped unexpectedly: %s\n", why.c_str());
    return 1;
  }
  return 0;
}

}  // namespace kestrova::tools::mcp
