// The HTTP side of serve: cpp-httplib listens; this file decides who is let
// in (serve_guard.h) and routes to the page's files and the API.
#include "serve/server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "serve/api.h"
#include "serve/assets.h"
#include "serve/guard.h"
#include "serve/platform.h"

namespace kestrova::tools::serve {

namespace {

constexpr char kLoopback[] = "127.0.0.1";

// With the charset named, the library leaves API answers uncompressed: over
// loopback, Brotli's default level costs seconds on a page of 1,000 rows and
// saves nothing.
constexpr char kJsonType[] = "application/json; charset=utf-8";

// Set by Ctrl+C or a terminate signal (serve_platform.h).
volatile std::sig_atomic_t g_interrupted = 0;

// Headers on every answer. The page loads only its own files (app.js, not
// inline script) and may not be framed; nothing is cached, and no CORS header
// is ever sent, so another origin can read nothing.
httplib::Headers security_headers() {
  return {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
          {"X-Content-Type-Options", "nosniff"},
          {"X-Frame-Options", "DENY"},
          {"Referrer-Policy", "no-referrer"},
          {"Cache-Control", "no-store"}};
}

// A JSON error body for `status`.
void refuse(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(error_json(message), kJsonType);
}

// Reads standard input to its end, then asks the server to stop. Runs on a
// thread of its own that may still be blocked in a read when the program ends.
void stop_at_end_of_input(std::atomic<bool>* input_ended) {
  char buf[512];
  while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
  }
  input_ended->store(true);
}

}  // namespace

// See serve_server.h.
int serve_http(int32_t handle, const ServeOptions& options) {
  unsigned char secret[kTokenBytes];
  if (!secure_random(secret, sizeof secret)) {
    std::fprintf(stderr, "kestrova-sqlr: cannot read the system's random generator\n");
    return 1;
  }
  httplib::Server server;
  server.set_payload_max_length(kMaxRequestBytes);
  server.set_socket_options([](socket_t sock) { listen_alone(static_cast<std::uintptr_t>(sock)); });
  server.set_default_headers(security_headers());

  const int port = options.port == 0
                       ? server.bind_to_any_port(kLoopback)
                       : (server.bind_to_port(kLoopback, options.port) ? options.port : -1);
  if (port <= 0) {
    std::fprintf(stderr, "kestrova-sqlr: cannot listen on %s:%d\n", kLoopback, options.port);
    return 1;
  }
  const Guard guard(hex(secret, sizeof secret), port);
  ServeApi api(handle, options.writable, options.db_name);

  // Every request passes the guard before it is routed, and before its body
  // is read.
  server.set_pre_routing_handler([&guard](const httplib::Request& req, httplib::Response& res) {
    Admission a = guard.admit(GuardRequest{
        req.method, req.path, req.get_header_value("Host"), req.get_header_value("Cookie"),
        req.has_param("token") ? req.get_param_value("token") : std::string(),
        req.has_param("token"), req.get_header_value("Origin"),
        req.get_header_value("Sec-Fetch-Site"), req.get_header_value("X-Kestrova"),
        req.get_header_value("Content-Type")});
    if (a.status == 0) return httplib::Server::HandlerResponse::Unhandled;
    if (!a.set_cookie.empty()) res.set_header("Set-Cookie", a.set_cookie);
    if (!a.location.empty()) res.set_header("Location", a.location);
    refuse(res, a.status, a.message);
    return httplib::Server::HandlerResponse::Handled;
  });
  for (const ServeAsset* asset = kServeAssets; asset->path != nullptr; ++asset) {
    server.Get(asset->path, [asset](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->content_type);
    });
  }
  // Browsers ask for an icon on their own; there is none.
  server.Get("/favicon.ico",
             [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  server.Post(R"(/api/([a-z]+))", [&api](const httplib::Request& req, httplib::Response& res) {
    const ApiReply reply = api.call(req.matches[1].str(), req.body);
    res.status = reply.status;
    res.set_content(reply.body, kJsonType);
  });
  // What nothing else answered (404, 405, 413, ...), as JSON.
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const std::string why = res.status == 404   ? "no such page"
                              : res.status == 413 ? "the request body is larger than " +
                                                        std::to_string(kMaxRequestBytes) + " bytes"
                                                  : "HTTP status " + std::to_string(res.status);
      res.set_content(error_json(why), kJsonType);
    }
  });

  const std::string url =
      "http://" + std::string(kLoopback) + ":" + std::to_string(port) + "/?token=" + guard.token();
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);

  stop_on_interrupt(&g_interrupted);
  std::atomic<bool> input_ended{false};
  if (!stdin_is_terminal()) {
    std::thread(stop_at_end_of_input, &input_ended).detach();
  }
  // Signal handlers may not call into the server: this thread looks at the
  // flags and stops it.
  std::atomic<bool> served{false};
  // stop() does nothing before the server runs, so a stop asked for early
  // waits until it does.
  std::thread stopper([&] {
    while (!served.load()) {
      if ((g_interrupted != 0 || input_ended.load()) && server.is_running()) {
        server.stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  if (options.open_browser && !open_in_browser(url)) {
    std::fprintf(stderr, "kestrova-sqlr: cannot start a browser; open the URL above\n");
  }
  const bool listened = server.listen_after_bind();
  served.store(true);
  stopper.join();
  if (!listened && g_interrupted == 0 && !input_ended.load()) {
    std::fprintf(stderr, "kestrova-sqlr: the server stopped unexpectedly\n");
    return 1;
  }
  return 0;
}

}  // namespace kestrova::tools::serve
