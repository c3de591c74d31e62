// The guard's rules; the HTTP library only hands it the headers.
#include "serve/guard.h"

#include "common/json.h"

namespace kestrova::tools::serve {

namespace {

// The value of cookie `name` in a Cookie header ("a=1; b=2"), or empty.
std::string_view cookie_value(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == header.npos ? std::string_view() : header.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const size_t eq = pair.find('=');
    if (eq != pair.npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
  }
  return {};
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

Admission refuse(int status, std::string message) {
  Admission a;
  a.status = status;
  a.message = std::move(message);
  return a;
}

}  // namespace

Guard::Guard(std::string token, int port)
    : token_(std::move(token)),
      port_(port),
      cookie_name_("kestrova_sqlr_" + std::to_string(port)) {}

// See serve_guard.h.
Admission Guard::admit(const GuardRequest& req) const {
  // A rebinding attacker's name resolves to 127.0.0.1 but arrives under its
  // own Host.
  const std::string port = ":" + std::to_string(port_);
  if (req.host != "127.0.0.1" + port && req.host != "localhost" + port) {
    return refuse(403, "wrong Host: expected 127.0.0.1" + port + " or localhost" + port);
  }
  // Browsers say where a request comes from; another origin (another port of
  // this host is "same-site") gets nothing, whatever it carries.
  if (!req.origin.empty() && req.origin != "http://" + req.host) {
    return refuse(403, "requests from another origin are refused");
  }
  if (req.fetch_site == "cross-site" || req.fetch_site == "same-site") {
    return refuse(403, "requests from another site are refused");
  }

  if (req.has_token_param) {
    if (req.method != "GET" || req.path != "/" ||
        !equal_in_constant_time(req.token_param, token_)) {
      return refuse(403, "wrong token");
    }
    // The first load: the token moves into a cookie and out of the address
    // bar and the history.
    Admission a = refuse(303, "see /");
    a.location = "/";
    a.set_cookie = cookie_name_ + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
    return a;
  }
  const std::string_view header(req.cookie);
  const std::string_view cookie = cookie_value(header, cookie_name_);
  if (cookie.empty()) {
    return refuse(401, "a token is required: open the URL that kestrova-sqlr serve printed");
  }
  if (!equal_in_constant_time(cookie, token_)) return refuse(403, "wrong token");

  // Calls that run SQL: a form on another site can send neither a custom
  // header nor a JSON content type without the browser asking first, and the
  // server never says yes.
  if (starts_with(req.path, "/api/")) {
    if (req.method != "POST") return refuse(405, "API calls are POST requests");
    if (req.api_header != "1") return refuse(403, "API calls need the header X-Kestrova: 1");
    if (!starts_with(req.content_type, "application/json")) {
      return refuse(415, "API calls take a JSON body (Content-Type: application/json)");
    }
  }
  return Admission{};
}

// See serve_guard.h.
std::string hex(const unsigned char* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

// See serve_guard.h. Every byte of the expected text is looked at whatever
// the other holds, so the time tells nothing about how much of a guess was
// right.
bool equal_in_constant_time(std::string_view a, std::string_view b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < b.size(); ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    diff |= x ^ static_cast<unsigned char>(b[i]);
  }
  return diff == 0;
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
