// The guard's rules; the HTTP server only hands it the headers.
#include "serve/guard.h"

#include "common/json.h"

namespace kestrova::tools::serve {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

Admission refuse(int status, std::string message) {
  Admission a;
  a.status = status;
  a.message = std::move(message);
  return a;
}

constexpr char kLaunchUsed[] =
    "this launch URL has been used: it opens one tab; restart kestrova-sqlr serve for a new one";

}  // namespace

Guard::Guard(std::string launch_token, std::string session, int port)
    : launch_token_(std::move(launch_token)), session_(std::move(session)), port_(port) {}

// See serve_guard.h.
Admission Guard::admit(const GuardRequest& req) {
  if (auto why = http::check_provenance({req.host, req.origin, req.fetch_site}, port_)) {
    return refuse(403, *why);
  }
  // The launch URL opens the page while its token is unused; the page then
  // trades it. Read from /proc/PID/cmdline afterwards, it opens nothing.
  if (req.has_token_param) {
    if (req.method != "GET" || req.path != "/" ||
        !equal_in_constant_time(req.token_param, launch_token_)) {
      return refuse(403, "wrong token");
    }
    if (launch_used_.load()) return refuse(403, kLaunchUsed);
    return Admission{};
  }
  const bool api = starts_with(req.path, "/api/");
  // Only API calls carry a body: nothing else is made to hold one.
  if (!api) {
    if (req.has_body) return refuse(400, "only API calls take a request body");
    return Admission{};
  }
  // Calls that run SQL: a form on another site can send neither a custom
  // header nor a JSON content type without the browser asking first, and the
  // server never says yes.
  if (req.method != "POST") return refuse(405, "API calls are POST requests");
  if (req.api_header != "1") return refuse(403, "API calls need the header X-Kestrova: 1");
  if (!starts_with(req.content_type, "application/json")) {
    return refuse(415, "API calls take a JSON body (Content-Type: application/json)");
  }
  if (req.path == kSessionPath) {
    if (!equal_in_constant_time(req.launch_header, launch_token_)) {
      return refuse(403, "wrong token");
    }
    // Exactly one caller wins the exchange.
    if (launch_used_.exchange(true)) return refuse(403, kLaunchUsed);
    return Admission{};
  }
  if (req.session_header.empty()) {
    return refuse(401,
                  "a session is required: open the URL that kestrova-sqlr serve printed, once, "
                  "in the tab that is to use it");
  }
  if (!equal_in_constant_time(req.session_header, session_)) return refuse(403, "wrong session");
  return Admission{};
}

// See serve_guard.h.
std::string error_json(std::string_view message) {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  const std::string text = valid_utf8(message);
  yyjson_mut_obj_add_strncpy(doc.get(), root, "error", text.data(), text.size());
  std::string out, unused;
  if (!write_json(doc.get(), YYJSON_WRITE_NOFLAG, &out, &unused)) {
    out = R"({"error":"cannot write the message"})";
  }
  return out;
}

}  // namespace kestrova::tools::serve
