// The data browser's side of the HTTP server (common/http_server.h): the
// guard (serve/guard.h) decides on each request's head before its body is
// read; the routes serve the page's files, the session exchange, the file's
// fingerprints and the API.
#include "serve/server.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "common/console_io.h"
#include "common/http_server.h"
#include "common/json.h"
#include "common/net.h"
#include "serve/api.h"
#include "serve/assets.h"
#include "serve/file_check.h"
#include "serve/guard.h"
#include "serve/platform.h"

namespace kestrova::tools::serve {

namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kJsonType[] = "application/json; charset=utf-8";

// Set by Ctrl+C or a terminate signal (serve_platform.h).
volatile std::sig_atomic_t g_interrupted = 0;

// Headers on every answer. The page loads only its own files (app.js, not
// inline script) and may not be framed; nothing is cached, and no CORS header
// is ever sent, so another origin can read nothing.
std::vector<std::pair<std::string, std::string>> security_headers() {
  return {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
          {"X-Content-Type-Options", "nosniff"},
          {"X-Frame-Options", "DENY"},
          {"Referrer-Policy", "no-referrer"},
          {"Cache-Control", "no-store"}};
}

http::Response json_response(int status, std::string body) {
  http::Response r;
  r.status = status;
  r.content_type = kJsonType;
  r.body = std::move(body);
  return r;
}

http::Response refusal(int status, std::string_view message) {
  return json_response(status, error_json(message));
}

// The guard's view of a request's head.
GuardRequest guard_request(const http::Request& req) {
  GuardRequest g;
  g.method = req.method;
  g.path = req.path;
  g.host = req.header("host");
  const std::optional<std::string> token = req.query_param("token");
  g.has_token_param = token.has_value();
  g.token_param = token.value_or("");
  g.origin = req.header("origin");
  g.fetch_site = req.header("sec-fetch-site");
  g.api_header = req.header(kApiHeader);
  g.launch_header = req.header(kLaunchHeader);
  g.session_header = req.header(kSessionHeader);
  g.content_type = req.header("content-type");
  g.has_body = req.has_body();
  return g;
}

// Whether the JSON object `body` has "check": true (an empty body has not).
bool asks_check(std::string_view body, std::string* error) {
  if (body.empty()) return false;
  const ParsedDoc doc = read_json(body, YYJSON_READ_NOFLAG, error);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) {
    *error = "the request body must be a JSON object";
    return false;
  }
  yyjson_obj_iter iter = yyjson_obj_iter_with(root);
  bool check = false;
  for (yyjson_val* key = yyjson_obj_iter_next(&iter); key != nullptr;
       key = yyjson_obj_iter_next(&iter)) {
    yyjson_val* val = yyjson_obj_iter_get_val(key);
    if (std::string_view(yyjson_get_str(key), yyjson_get_len(key)) != "check" ||
        !yyjson_is_bool(val)) {
      *error = "the only parameter is check (true or false)";
      return false;
    }
    check = yyjson_get_bool(val);
  }
  return check;
}

// Reads standard input to its end, then asks the server to stop. Runs on a
// thread of its own that may still be blocked in a read when the program ends.
void stop_at_end_of_input(std::atomic<bool>* input_ended) {
  char buf[512];
  while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
  }
  input_ended->store(true);
}

// The routes, on the server's worker threads.
class Routes {
 public:
  Routes(Guard* guard, ServeApi* api, FileCheck* file) : guard_(guard), api_(api), file_(file) {}

  http::Response handle(const http::Request& req) {
    if (req.path.rfind("/api/", 0) == 0) return call(req.path.substr(5), req.body);
    if (req.method != "GET") return refusal(405, "the page's files are read with GET");
    for (const ServeAsset* asset = kServeAssets; asset->path != nullptr; ++asset) {
      if (req.path == asset->path) {
        http::Response r;
        r.content_type = asset->content_type;
        r.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
        return r;
      }
    }
    // Browsers ask for an icon on their own; there is none.
    if (req.path == "/favicon.ico") {
      http::Response r;
      r.status = 204;
      return r;
    }
    return refusal(404, "no such page");
  }

 private:
  http::Response call(const std::string& name, std::string_view body) {
    if (name == "session") {
      // The guard has just used the launch token up for this caller.
      const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
      yyjson_mut_val* root = yyjson_mut_obj(doc.get());
      yyjson_mut_doc_set_root(doc.get(), root);
      yyjson_mut_obj_add_strcpy(doc.get(), root, "session", guard_->session().c_str());
      std::string out, why;
      if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &out, &why)) return refusal(500, why);
      return json_response(200, out);
    }
    if (name == "file") {
      std::string why;
      const bool check = asks_check(body, &why);
      if (!why.empty()) return refusal(400, why);
      return json_response(200, file_->status_json(check));
    }
    // The fingerprint at start must show the file before any write.
    if (name == "exec" && !file_->wait_for_start(kWriteWaitsForFingerprint)) {
      return refusal(503,
                     "the file is still being fingerprinted as it was at start; try again in a "
                     "moment");
    }
    if (name == "export") {
      StreamReply stream;
      const ApiReply reply = api_->export_rows(body, &stream);
      if (!stream.produce) return json_response(reply.status, reply.body);
      http::Response r;
      r.content_type = stream.content_type;
      r.stream = [produce = std::move(stream.produce)](http::BodySink* sink) {
        return produce([sink](std::string piece) { return sink->write(std::move(piece)); });
      };
      return r;
    }
    const ApiReply reply = api_->call(name, body);
    return json_response(reply.status, reply.body);
  }

  Guard* guard_;
  ServeApi* api_;
  FileCheck* file_;
};

}  // namespace

// See serve_server.h.
int serve_http(int32_t handle, const ServeOptions& options) {
  unsigned char secrets[2 * kTokenBytes];
  if (!net::secure_random(secrets, sizeof secrets)) {
    std::fprintf(stderr, "kestrova-sqlr: cannot read the system's random generator\n");
    return 1;
  }
  // Set once the guard exists; the server sees it only after listen().
  std::unique_ptr<Guard> guard;
  http::ServerOptions server_options;
  server_options.max_body_bytes = kMaxRequestBytes;
  server_options.default_headers = security_headers();
  server_options.refusal = refusal;
  server_options.admit = [&guard](const http::Request& req) -> std::optional<http::Response> {
    const Admission a = guard->admit(guard_request(req));
    if (a.status == 0) return std::nullopt;
    return refusal(a.status, a.message);
  };
  std::unique_ptr<Routes> routes;
  server_options.handle = [&routes](const http::Request& req) { return routes->handle(req); };
  http::Server server(std::move(server_options));

  std::string why;
  const int port = server.listen(options.port, &why);
  if (port <= 0) {
    std::fprintf(stderr, "kestrova-sqlr: cannot listen on %s:%d\n", kLoopback, options.port);
    return 1;
  }
  guard = std::make_unique<Guard>(hex(secrets, kTokenBytes),
                                  hex(secrets + kTokenBytes, kTokenBytes), port);
  ServeApi api(handle, options.writable, options.db_name);
  FileCheck file(options.db_path, options.db_name);
  routes = std::make_unique<Routes>(guard.get(), &api, &file);

  const std::string url = "http://" + std::string(kLoopback) + ":" + std::to_string(port) +
                          "/?token=" + guard->launch_token();
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);

  stop_on_interrupt(&g_interrupted);
  std::atomic<bool> input_ended{false};
  if (!stdin_is_terminal()) {
    std::thread(stop_at_end_of_input, &input_ended).detach();
  }
  // Signal handlers may not call into the server: this thread looks at the
  // flags and stops it (a stop asked for before run() holds).
  std::atomic<bool> served{false};
  std::thread stopper([&] {
    while (!served.load()) {
      if (g_interrupted != 0 || input_ended.load()) {
        server.stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  if (options.open_browser && !open_in_browser(url)) {
    std::fprintf(stderr, "kestrova-sqlr: cannot start a browser; open the URL above\n");
  }
  const bool ran = server.run(&why);
  served.store(true);
  stopper.join();
  if (!ran) {
    std::fprintf(stderr, "kestrova-sqlr: the server stopped unexpectedly: %s\n", why.c_str());
    return 1;
  }
  std::fprintf(stderr, "kestrova-sqlr: %s\n", file.exit_report().c_str());
  return 0;
}

}  // namespace kestrova::tools::serve
