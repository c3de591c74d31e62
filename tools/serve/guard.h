// Who may talk to `kestrova-sqlr serve`: the one tab that took the launch
// URL, through the loopback address, from the page itself. A page on another
// site or another port, another user of the machine who read the launch URL
// after it was used, or a DNS-rebinding attack gets nothing.
//
// The launch URL's token is good once: the page trades it (POST
// /api/session with X-Kestrova-Launch) for the session secret, which it keeps
// in its tab's sessionStorage, where only this origin can read it, and sends
// as X-Kestrova-Session on every API call. No cookie is ever set: browsers
// send cookies to every port of a host. The page's own files hold no data and
// are served to anyone who passes the Host and Origin checks, so that a
// reload finds its script again.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_
#define KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/http_guard.h"

namespace kestrova::tools::serve {

// 128 bits for the launch token and for the session secret.
constexpr size_t kTokenBytes = 16;

// The headers that carry the secrets, and the API's mark.
constexpr char kLaunchHeader[] = "x-kestrova-launch";
constexpr char kSessionHeader[] = "x-kestrova-session";
constexpr char kApiHeader[] = "x-kestrova";

// The call that trades the launch token for the session secret.
constexpr char kSessionPath[] = "/api/session";

// What the guard looks at in a request; empty strings for absent headers.
struct GuardRequest {
  std::string method;
  std::string path;
  std::string host;
  std::string token_param;  // ?token=, when has_token_param
  bool has_token_param = false;
  std::string origin;
  std::string fetch_site;  // Sec-Fetch-Site
  std::string api_header;  // X-Kestrova
  std::string launch_header;
  std::string session_header;
  std::string content_type;
  bool has_body = false;
};

// The guard's answer: status 0 lets the request through; otherwise it is
// answered with `status` and `message`.
struct Admission {
  int status = 0;
  std::string message;
};

class Guard {
 public:
  // `launch_token` and `session` are the hex texts of two secrets; `port`
  // the one listened on.
  Guard(std::string launch_token, std::string session, int port);

  // Decides on one request, in this order: the Host header; where the
  // request comes from (Origin, Sec-Fetch-Site); the launch token in the URL
  // (only on "/", only while unused); a body only on the API; for /api/,
  // POST with the X-Kestrova header and a JSON body; then the launch token
  // for /api/session, which this call uses up, or the session secret for
  // every other call. Safe from any thread.
  Admission admit(const GuardRequest& req);

  const std::string& launch_token() const { return launch_token_; }
  const std::string& session() const { return session_; }
  bool launch_used() const { return launch_used_.load(); }

 private:
  std::string launch_token_;
  std::string session_;
  int port_;
  std::atomic<bool> launch_used_{false};
};

// {"error":"message"}.
std::string error_json(std::string_view message);

// Kept under their old names for the API's callers.
using http::equal_in_constant_time;
using http::hex;

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_GUARD_H_
